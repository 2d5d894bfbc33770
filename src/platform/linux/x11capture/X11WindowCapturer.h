#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include <xcb/xfixes.h>

#include "platform/WindowServer.h"
#include "platform/linux/x11/X11Connection.h"

namespace orvo {
class Logger;
}

namespace orvo::platform::x11 {

// Window pictures from an X display.
//
// Isolated: the window's own pixels, even where other windows cover it. The top-level
// windows are redirected off screen (Composite, automatic: the server still draws the
// screen as before), and the window's top-level ancestor (the window manager's frame, or
// the window itself without one) is named as a pixmap and read, cropped to the client
// area. Composited: the window's rectangle of the screen as shown, windows in front
// included, read from the root window; parts off the screen are black.
//
// Pixels are read through MIT-SHM into a shared segment kept per window and reused (a
// new one only when a larger picture is needed). Where MIT-SHM cannot be used (remote
// display, no extension) plain GetImage serves, and that is logged once. Without
// Composite, isolated pictures are read from the window itself (covered parts show
// whatever covers them); also logged once.
//
// A client-side decorated window is pictured without the invisible shadow margins it
// declares (_GTK_FRAME_EXTENTS), as the window list describes it.
//
// A window that is gone, unmapped or not 24/32-bit gives no picture. X errors are
// answered per request and never end the process; a lost display gives no picture until
// the connection owner reconnects, and then the redirect and segments are set up afresh.
//
// Changes. Where the display offers XDamage (with XFixes regions), each window is watched
// from its first picture on: isolated pictures by a damage object on the window itself,
// composited ones by one on the root window, whose rectangles are handed to every window
// pictured that way. takeChanges subtracts what gathered since the previous call and
// turns it into rows of the picture; captureRows then reads just those rows, full width,
// into the window's segment, where the previous picture still is. An isolated window
// that changed mostly last time (a scrolling listing) is read whole in the same round
// trip as its changes, and the capture that follows returns that picture. Anything that
// moves the picture (another mode, size, position on the screen for composited pictures,
// shadow margins, a new connection), a picture not read through MIT-SHM or one put
// together from a partly off-screen window gives `everything`, and the caller captures
// it all.
//
// Threads: used by one queue at a time (the host's capture queue), over its own
// X11Connection, which must outlive the capturer. A returned picture stays valid until
// the next capture of the same window. Segments are kept for the few most recently
// captured windows and released when the capturer goes.
class X11WindowCapturer final : public WindowCapturer {
 public:
  // `allowSharedMemory` false reads every picture with plain GetImage, as on a display
  // without MIT-SHM; `allowChangeTracking` false reports every picture as wholly changed,
  // as on a display without XDamage.
  X11WindowCapturer(X11Connection& connection, Logger& logger, bool allowSharedMemory = true,
                    bool allowChangeTracking = true);
  ~X11WindowCapturer() override;
  X11WindowCapturer(const X11WindowCapturer&) = delete;
  X11WindowCapturer& operator=(const X11WindowCapturer&) = delete;

  std::optional<ImageView> captureWindow(std::uint32_t window, const std::optional<Rect>& bounds,
                                         CaptureMode mode) override;
  PictureChanges takeChanges(std::uint32_t window, const std::optional<Rect>& bounds, CaptureMode mode) override;
  std::optional<ImageView> captureRows(std::uint32_t window, const std::optional<Rect>& bounds, CaptureMode mode,
                                       const std::vector<RowSpan>& rows) override;
  // Windows are found by their id; their place is asked along with each picture.
  bool usesBounds() const override { return false; }

  // Whether the display offers change tracking (known after the first capture).
  bool tracksChanges() const { return damage_; }

  // Whether captures read through MIT-SHM (known after the first capture).
  bool usesSharedMemory() const { return useShm_; }

  // How many pictures were read whole together with their changes.
  std::uint64_t picturesReadWithChanges() const { return readWithChanges_; }

  static constexpr std::size_t maxCapturedWindows = 8;

 private:
  class ShmSegment;
  class DamageObject;
  // Where a window's picture lies: what must stay the same for the picture in the segment
  // to be updated row by row.
  struct PictureKey {
    CaptureMode mode = CaptureMode::isolated;
    int width = 0;
    int height = 0;
    int originX = 0;  // on the screen; composited pictures only
    int originY = 0;
    std::uint32_t shadow[4] = {0, 0, 0, 0};  // left, right, top, bottom
    friend bool operator==(const PictureKey&, const PictureKey&) = default;
  };
  struct Region {
    xcb_drawable_t drawable = XCB_NONE;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
  };
  // The window's size, when it exists and is viewable.
  struct WindowSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const WindowSize&, const WindowSize&) = default;
  };
  struct WindowState {
    WindowState();
    ~WindowState();
    WindowState(WindowState&&) noexcept;
    WindowState& operator=(WindowState&&) noexcept;
    std::unique_ptr<ShmSegment> segment;
    Reply<xcb_get_image_reply_t> plainImage;  // the last GetImage answer, when not shared
    std::vector<std::uint8_t> canvas;          // a partly off-screen picture, put together
    std::uint64_t lastUsed = 0;
    // The picture in the segment, when it can be updated row by row: its key, the region
    // it was read from (the drawable is named afresh for each read) and the top-level
    // window whose pixmap holds isolated pictures.
    std::optional<PictureKey> picture;
    Region source;
    xcb_window_t top = XCB_NONE;
    // How the last isolated picture was read through the top-level's pixmap: the window
    // and its ancestors up to the top-level, and the geometry that placed the window in
    // it. While all of it holds, the next picture is read in one round trip.
    struct Route {
      std::vector<xcb_window_t> chain;  // each one's parent is the next; the last's is the root
      WindowSize size;
      int topWidth = 0;
      int topHeight = 0;
      int topBorder = 0;
      int offsetX = 0;  // the window's origin within the top-level
      int offsetY = 0;
      Region region;    // read from the pixmap, drawable unset
    };
    std::optional<Route> route;
    // What takeChanges saw of the window last, for captureRows.
    std::optional<PictureKey> checked;
    // Whether most of the picture changed last time: the next changes are then taken with
    // a whole read along the route, in one round trip.
    bool mostlyChanged = false;
    // A picture read whole with the changes, for the capture that follows them.
    std::optional<PictureKey> prefetched;
    std::unique_ptr<DamageObject> damage;       // isolated: on the window
    bool rootWatched = false;                   // composited: rectangles of the root's damage are kept
    std::vector<xcb_rectangle_t> rootChanges;   // screen coordinates, since the previous picture
  };


  bool prepare(const std::shared_ptr<X11Display>& display);
  // The window's picture key now, with its size; nothing when it is not viewable.
  std::optional<PictureKey> currentKey(X11Display& display, std::uint32_t window, CaptureMode mode);
  // Subtracting a damage object's region into the scratch region and fetching it: sent
  // first, answered with the requests that follow.
  struct DamageRequest {
    xcb_void_cookie_t subtract;
    xcb_xfixes_fetch_region_cookie_t fetch;
  };
  DamageRequest requestDamage(X11Display& display, std::uint32_t damage);
  // The region's rectangles; nothing on failure.
  std::optional<std::vector<xcb_rectangle_t>> collectDamage(X11Display& display, const DamageRequest& request);
  std::optional<ImageView> captureIsolated(X11Display& display, std::uint32_t window, WindowSize size,
                                           WindowState& state);
  // The window's picture along its known route, every request sent at once and the
  // answers read after one round trip; nothing when the route no longer holds (the caller
  // then reads it afresh). Sets `size` and `shadow` as captureWindow's own requests would.
  // With `origin`, the window's origin on the screen is asked for in the same batch.
  std::optional<ImageView> captureAlongRoute(X11Display& display, std::uint32_t window, WindowState& state,
                                             WindowSize& size, Reply<xcb_get_property_reply_t>& shadow,
                                             xcb_translate_coordinates_reply_t* origin = nullptr);
  // The picture read with the window's changes just before, once; nothing otherwise.
  std::optional<ImageView> takePrefetched(const std::shared_ptr<X11Display>& display, std::uint32_t window,
                                          CaptureMode mode);
  std::optional<ImageView> captureComposited(X11Display& display, std::uint32_t window, WindowSize size,
                                             WindowState& state);
  // Reads a region of a drawable (32 bits per pixel) into the window's segment or a
  // GetImage answer.
  std::optional<ImageView> read(X11Display& display, const Region& region, WindowState& state);
  WindowState& stateFor(std::uint32_t window);

  X11Connection& connection_;
  Logger& logger_;
  const bool allowSharedMemory_;
  const bool allowChangeTracking_;
  // The display the redirect and segments belong to; anything else starts afresh.
  std::shared_ptr<X11Display> display_;
  bool composite_ = false;
  bool useShm_ = false;
  bool formatUsable_ = false;
  bool noShmLogged_ = false;
  bool noCompositeLogged_ = false;
  bool damage_ = false;                       // XDamage 1.1 and XFixes 2.0 are usable
  std::uint32_t scratchRegion_ = XCB_NONE;    // XFixes region the damage is subtracted into
  std::unique_ptr<DamageObject> rootDamage_;  // composited pictures
  std::unordered_map<std::uint32_t, WindowState> windows_;
  std::uint64_t useCounter_ = 0;
  std::uint64_t readWithChanges_ = 0;
};

}  // namespace orvo::platform::x11
