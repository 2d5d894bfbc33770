#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Geometry.h"

namespace orvo {

// How a window's picture is taken: its own pixels even where others cover it, or its
// rectangle of the screen as shown, windows in front included.
enum class CaptureMode { isolated, composited };

}  // namespace orvo

namespace orvo::platform {

// One window as the window server describes it. Fields the server cannot give are absent.
struct WindowInfo {
  // 0 for normal application windows; docks, panels, menus, tooltips, notifications,
  // splash screens and override-redirect windows are on other layers.
  std::optional<std::int64_t> layer;
  std::uint32_t number = 0;  // the window id
  std::optional<std::string> ownerName;
  std::optional<std::int32_t> ownerPID;
  std::optional<std::string> name;  // title, UTF-8
  std::optional<Rect> bounds;       // client area in global display coordinates
};

enum class WindowListOption {
  onScreenOnly,  // viewable and not hidden (minimised)
  all,           // minimised and off-screen windows included
};

// The window list. Desktop windows are excluded from both flavours. Safe to call from any
// thread; each call makes a fresh query (nothing is cached between calls).
class WindowServer {
 public:
  virtual ~WindowServer() = default;
  // Windows front to back. A lost display gives an empty list.
  virtual std::vector<WindowInfo> copyWindowInfo(WindowListOption option) = 0;
};

// A captured picture: 32-bit pixels, bytes B, G, R, X in memory, `stride` bytes per row.
// The pixels belong to the capturer and stay valid until the next capture of the same
// window by the same capturer.
struct ImageView {
  const std::uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
};

// Rows [top, bottom) of a picture.
struct RowSpan {
  int top = 0;
  int bottom = 0;
  friend bool operator==(const RowSpan&, const RowSpan&) = default;
};

// What has changed in a window's picture since the capturer's previous picture of it.
// `everything` when that is not known (no change tracking on the display, no previous
// picture in this mode, the window resized or moved in a way that moves its picture, the
// display reconnected); otherwise the changed rows of the picture, sorted and disjoint,
// and none when nothing changed.
struct PictureChanges {
  bool everything = true;
  std::vector<RowSpan> rows;
};

// Window capture. Used by one queue at a time (the host's capture queue).
class WindowCapturer {
 public:
  virtual ~WindowCapturer() = default;
  // The window's picture in the given mode, or nothing when the window is gone, unmapped
  // or cannot be read. `bounds` is the window's rectangle when known.
  virtual std::optional<ImageView> captureWindow(std::uint32_t window, const std::optional<Rect>& bounds,
                                                 CaptureMode mode) = 0;

  // Whether captures need `bounds`. One that finds the window by itself spares the caller
  // the lookup (a walk of the whole window list) on every frame.
  virtual bool usesBounds() const { return true; }

  // The changes since the previous picture of the window, taken: what is drawn from now
  // on (during the capture that follows too) is reported by the next call. Call it just
  // before capturing. A capturer without change tracking always answers `everything`.
  virtual PictureChanges takeChanges(std::uint32_t /*window*/, const std::optional<Rect>& /*bounds*/,
                                     CaptureMode /*mode*/) {
    return {};
  }

  // Reads only `rows` (from takeChanges, just before) into the previous picture of the
  // window in `mode` and returns the whole picture, now current. Nothing when that picture
  // is no longer at hand; the caller then captures the whole window.
  virtual std::optional<ImageView> captureRows(std::uint32_t /*window*/, const std::optional<Rect>& /*bounds*/,
                                               CaptureMode /*mode*/, const std::vector<RowSpan>& /*rows*/) {
    return std::nullopt;
  }
};

}  // namespace orvo::platform
