#include "platform/linux/x11capture/X11WindowCapturer.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/shm.h>

#include <algorithm>
#include <cstring>

#include "core/Log.h"

namespace orvo::platform::x11 {
namespace {

// Larger pictures are refused: no window the host mirrors comes near it, and a window
// that claims such a size must not make the host allocate gigabytes.
constexpr std::int64_t maxCapturePixels = 8192LL * 8192LL;
constexpr int maxAncestorDepth = 32;

bool usableDepth(std::uint8_t depth) { return depth == 24 || depth == 32; }

// Whether 24- and 32-bit pictures arrive as 32-bit little-endian pixels (B, G, R, X bytes)
// with rows that need no padding beyond 4 bytes.
bool hasUsableFormat(const X11Display& display) {
  const xcb_setup_t* setup = xcb_get_setup(display.connection());
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  int found = 0;
  for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem > 0; xcb_format_next(&formats)) {
    const xcb_format_t& format = *formats.data;
    if (!usableDepth(format.depth)) continue;
    if (format.bits_per_pixel != 32 || format.scanline_pad != 32) return false;
    ++found;
  }
  return found > 0;
}

// The window's size when it is viewable, asking for its state and geometry together.
template <class Size>
std::optional<Size> viewableWindow(xcb_connection_t* c, xcb_window_t window) {
  const auto attributesCookie = xcb_get_window_attributes(c, window);
  const auto geometryCookie = xcb_get_geometry(c, window);
  const auto attributes = replyOf(c, xcb_get_window_attributes_reply, attributesCookie);
  const auto geometry = replyOf(c, xcb_get_geometry_reply, geometryCookie);
  if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE) return std::nullopt;
  if (geometry->width < 1 || geometry->height < 1) return std::nullopt;
  if (static_cast<std::int64_t>(geometry->width) * geometry->height > maxCapturePixels) return std::nullopt;
  return Size{geometry->width, geometry->height};
}

// The picture without the invisible shadow margins a client-side decorated window draws
// around itself (_GTK_FRAME_EXTENTS: left, right, top, bottom), as the window list
// describes the window. Unchanged when there are none or they leave nothing.
ImageView withoutShadow(const ImageView& image, const Reply<xcb_get_property_reply_t>& extents) {
  if (!extents || extents->format != 32 || xcb_get_property_value_length(extents.get()) != 16) return image;
  const auto* m = static_cast<const std::uint32_t*>(xcb_get_property_value(extents.get()));
  const std::int64_t left = m[0], right = m[1], top = m[2], bottom = m[3];
  if (left + right >= image.width || top + bottom >= image.height) return image;
  return ImageView{image.pixels + top * image.stride + left * 4, image.width - static_cast<int>(left + right),
                   image.height - static_cast<int>(top + bottom), image.stride};
}

}  // namespace

// A System V shared-memory segment attached to the X server and to this process. Detached
// from both when destroyed; the segment itself is marked for removal as soon as the server
// has attached it, so it vanishes with its last user even if the process dies.
class X11WindowCapturer::ShmSegment {
 public:
  enum class Failure { none, local, server };

  static std::unique_ptr<ShmSegment> create(const std::shared_ptr<X11Display>& display, std::size_t size,
                                            Failure& failure) {
    failure = Failure::local;
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return nullptr;
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
      shmctl(id, IPC_RMID, nullptr);
      return nullptr;
    }
    auto segment = std::make_unique<ShmSegment>(display, static_cast<std::uint8_t*>(address), size);
    xcb_connection_t* c = display->connection();
    const xcb_shm_seg_t seg = xcb_generate_id(c);
    const Error error = checkOf(c, xcb_shm_attach_checked(c, seg, static_cast<std::uint32_t>(id), 0));
    shmctl(id, IPC_RMID, nullptr);
    if (error || display->hasFailed()) {
      failure = Failure::server;
      return nullptr;
    }
    segment->seg_ = seg;
    failure = Failure::none;
    return segment;
  }

  ShmSegment(std::shared_ptr<X11Display> display, std::uint8_t* address, std::size_t size)
      : display_(std::move(display)), address_(address), size_(size) {}
  ~ShmSegment() {
    if (seg_ != XCB_NONE) {
      xcb_shm_detach(display_->connection(), seg_);
      xcb_flush(display_->connection());
    }
    shmdt(address_);
  }
  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;

  xcb_shm_seg_t id() const { return seg_; }
  std::uint8_t* data() const { return address_; }
  std::size_t size() const { return size_; }

 private:
  std::shared_ptr<X11Display> display_;  // the connection the segment is attached to
  std::uint8_t* address_;
  std::size_t size_;
  xcb_shm_seg_t seg_ = XCB_NONE;
};

X11WindowCapturer::WindowState::WindowState() = default;
X11WindowCapturer::WindowState::~WindowState() = default;
X11WindowCapturer::WindowState::WindowState(WindowState&&) noexcept = default;
X11WindowCapturer::WindowState& X11WindowCapturer::WindowState::operator=(WindowState&&) noexcept = default;

X11WindowCapturer::X11WindowCapturer(X11Connection& connection, Logger& logger, bool allowSharedMemory)
    : connection_(connection), logger_(logger), allowSharedMemory_(allowSharedMemory) {}

X11WindowCapturer::~X11WindowCapturer() = default;

std::optional<ImageView> X11WindowCapturer::captureWindow(std::uint32_t window, const std::optional<Rect>&,
                                                          CaptureMode mode) {
  const auto display = connection_.display();
  if (!display || !prepare(display)) return std::nullopt;
  xcb_connection_t* c = display->connection();
  const auto shadowCookie =
      xcb_get_property(c, 0, window, display->atom(Atom::GTK_FRAME_EXTENTS), XCB_ATOM_CARDINAL, 0, 4);
  // Only a window that exists takes one of the few per-window states.
  const auto size = viewableWindow<WindowSize>(c, window);
  const auto shadow = replyOf(c, xcb_get_property_reply, shadowCookie);
  if (!size) return std::nullopt;
  WindowState& state = stateFor(window);
  auto image = mode == CaptureMode::isolated ? captureIsolated(*display, window, *size, state)
                                             : captureComposited(*display, window, *size, state);
  // A failed request may have broken the connection; the owner reconnects on next use.
  if (display->hasFailed() || !image) return std::nullopt;
  return withoutShadow(*image, shadow);
}

bool X11WindowCapturer::prepare(const std::shared_ptr<X11Display>& display) {
  if (display == display_) return formatUsable_;
  // A new connection: segments and the redirect of the old one are gone with it.
  windows_.clear();
  display_ = display;
  formatUsable_ = hasUsableFormat(*display);
  if (!formatUsable_) logLine(logger_, "OrvoHost: X11 display has no 32-bit pixel format; cannot capture windows");

  xcb_connection_t* c = display->connection();
  const Extensions& extensions = display->extensions();
  composite_ = extensions.composite && (extensions.compositeMajor > 0 || extensions.compositeMinor >= 2);
  if (composite_) {
    // Automatic redirection keeps the screen as it was while every top-level window also
    // keeps its own pixels; it ends with this connection.
    composite_ = !checkOf(c, xcb_composite_redirect_subwindows_checked(c, display->root(),
                                                                      XCB_COMPOSITE_REDIRECT_AUTOMATIC));
  }
  if (!composite_ && !noCompositeLogged_) {
    noCompositeLogged_ = true;
    logLine(logger_, "OrvoHost: X11 Composite unavailable; isolated captures show what covers a window");
  }
  useShm_ = allowSharedMemory_ && extensions.shm;
  if (allowSharedMemory_ && !useShm_ && !noShmLogged_) {
    noShmLogged_ = true;
    logLine(logger_, "OrvoHost: MIT-SHM unavailable; capturing with GetImage");
  }
  return formatUsable_;
}

X11WindowCapturer::WindowState& X11WindowCapturer::stateFor(std::uint32_t window) {
  auto it = windows_.find(window);
  if (it == windows_.end()) {
    if (windows_.size() >= maxCapturedWindows) {
      auto oldest = windows_.begin();
      for (auto candidate = windows_.begin(); candidate != windows_.end(); ++candidate) {
        if (candidate->second.lastUsed < oldest->second.lastUsed) oldest = candidate;
      }
      windows_.erase(oldest);
    }
    it = windows_.try_emplace(window).first;
  }
  it->second.lastUsed = ++useCounter_;
  return it->second;
}

std::optional<ImageView> X11WindowCapturer::captureIsolated(X11Display& display, std::uint32_t window,
                                                            WindowSize size, WindowState& state) {
  xcb_connection_t* c = display.connection();
  if (!composite_) return read(display, {window, 0, 0, size.width, size.height}, state);

  // The top-level ancestor is what the server redirected: the frame under a window
  // manager, the window itself without one.
  xcb_window_t top = window;
  for (int depth = 0;; ++depth) {
    const auto tree = replyOf(c, xcb_query_tree_reply, xcb_query_tree(c, top));
    if (!tree || depth == maxAncestorDepth) return std::nullopt;
    if (tree->parent == XCB_NONE || tree->parent == tree->root) break;
    top = tree->parent;
  }
  const auto topGeometryCookie = xcb_get_geometry(c, top);
  const auto offsetCookie = xcb_translate_coordinates(c, window, top, 0, 0);
  const auto topGeometry = replyOf(c, xcb_get_geometry_reply, topGeometryCookie);
  const auto offset = replyOf(c, xcb_translate_coordinates_reply, offsetCookie);
  if (!topGeometry || !offset) return std::nullopt;

  // The named pixmap holds the top-level window with its border; the client area starts
  // at its offset inside the top-level plus that border, and never leaves the pixmap.
  const int pixmapWidth = topGeometry->width + 2 * topGeometry->border_width;
  const int pixmapHeight = topGeometry->height + 2 * topGeometry->border_width;
  Region region{XCB_NONE, offset->dst_x + topGeometry->border_width, offset->dst_y + topGeometry->border_width,
                size.width, size.height};
  region.x = std::clamp(region.x, 0, pixmapWidth - 1);
  region.y = std::clamp(region.y, 0, pixmapHeight - 1);
  region.width = std::min(region.width, pixmapWidth - region.x);
  region.height = std::min(region.height, pixmapHeight - region.y);

  const xcb_pixmap_t pixmap = xcb_generate_id(c);
  if (checkOf(c, xcb_composite_name_window_pixmap_checked(c, top, pixmap))) return std::nullopt;
  region.drawable = pixmap;
  auto image = read(display, region, state);
  xcb_free_pixmap(c, pixmap);
  xcb_flush(c);
  return image;
}

std::optional<ImageView> X11WindowCapturer::captureComposited(X11Display& display, std::uint32_t window,
                                                              WindowSize size, WindowState& state) {
  xcb_connection_t* c = display.connection();
  const auto origin = replyOf(c, xcb_translate_coordinates_reply, xcb_translate_coordinates(c, window, display.root(), 0, 0));
  if (!origin) return std::nullopt;

  const int left = origin->dst_x;
  const int top = origin->dst_y;
  const int clipLeft = std::max(left, 0);
  const int clipTop = std::max(top, 0);
  const int clipRight = std::min(left + size.width, display.width());
  const int clipBottom = std::min(top + size.height, display.height());
  const bool whollyOnScreen = clipLeft == left && clipTop == top && clipRight == left + size.width &&
                              clipBottom == top + size.height;
  if (whollyOnScreen) return read(display, {display.root(), left, top, size.width, size.height}, state);

  // Partly or wholly off the screen: what is visible, on black, at the window's size.
  const std::size_t rowBytes = static_cast<std::size_t>(size.width) * 4;
  state.canvas.assign(rowBytes * static_cast<std::size_t>(size.height), 0);
  if (clipRight > clipLeft && clipBottom > clipTop) {
    const auto visible =
        read(display, {display.root(), clipLeft, clipTop, clipRight - clipLeft, clipBottom - clipTop}, state);
    if (!visible) return std::nullopt;
    for (int y = 0; y < visible->height; ++y) {
      std::memcpy(&state.canvas[static_cast<std::size_t>(clipTop - top + y) * rowBytes +
                                static_cast<std::size_t>(clipLeft - left) * 4],
                  visible->pixels + static_cast<std::size_t>(y) * visible->stride,
                  static_cast<std::size_t>(visible->width) * 4);
    }
  }
  return ImageView{state.canvas.data(), size.width, size.height, static_cast<int>(rowBytes)};
}

std::optional<ImageView> X11WindowCapturer::read(X11Display& display, const Region& region, WindowState& state) {
  if (region.width < 1 || region.height < 1) return std::nullopt;
  xcb_connection_t* c = display.connection();
  const int stride = region.width * 4;
  const std::size_t bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(region.height);

  if (useShm_) {
    if (!state.segment || state.segment->size() < bytes) {
      state.segment.reset();
      ShmSegment::Failure failure = ShmSegment::Failure::none;
      state.segment = ShmSegment::create(display_, bytes, failure);
      if (failure == ShmSegment::Failure::server) {
        // The server cannot reach our memory (a remote display): plain requests from now on.
        useShm_ = false;
        if (!noShmLogged_) {
          noShmLogged_ = true;
          logLine(logger_, "OrvoHost: MIT-SHM unavailable; capturing with GetImage");
        }
      }
    }
    if (state.segment) {
      const auto reply = replyOf(c, xcb_shm_get_image_reply,
                                 xcb_shm_get_image(c, region.drawable, static_cast<std::int16_t>(region.x),
                                                   static_cast<std::int16_t>(region.y),
                                                   static_cast<std::uint16_t>(region.width),
                                                   static_cast<std::uint16_t>(region.height), ~0u,
                                                   XCB_IMAGE_FORMAT_Z_PIXMAP, state.segment->id(), 0));
      if (!reply || !usableDepth(reply->depth) || reply->size < bytes) return std::nullopt;
      state.plainImage.reset();
      return ImageView{state.segment->data(), region.width, region.height, stride};
    }
  }

  auto reply = replyOf(c, xcb_get_image_reply,
                       xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, region.drawable, static_cast<std::int16_t>(region.x),
                                     static_cast<std::int16_t>(region.y), static_cast<std::uint16_t>(region.width),
                                     static_cast<std::uint16_t>(region.height), ~0u));
  if (!reply || !usableDepth(reply->depth) || static_cast<std::size_t>(xcb_get_image_data_length(reply.get())) < bytes) {
    return std::nullopt;
  }
  state.plainImage = std::move(reply);
  return ImageView{xcb_get_image_data(state.plainImage.get()), region.width, region.height, stride};
}

}  // namespace orvo::platform::x11
