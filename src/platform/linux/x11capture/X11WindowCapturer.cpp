#include "platform/linux/x11capture/X11WindowCapturer.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <array>
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

// The invisible shadow margins a client-side decorated window draws around itself
// (_GTK_FRAME_EXTENTS: left, right, top, bottom) that leave something of a picture of
// `width` × `height`; zeros when there are none or they would leave nothing.
std::array<std::uint32_t, 4> shadowMargins(const Reply<xcb_get_property_reply_t>& extents, int width, int height) {
  if (!extents || extents->format != 32 || xcb_get_property_value_length(extents.get()) != 16) return {};
  const auto* m = static_cast<const std::uint32_t*>(xcb_get_property_value(extents.get()));
  if (std::int64_t{m[0]} + m[1] >= width || std::int64_t{m[2]} + m[3] >= height) return {};
  return {m[0], m[1], m[2], m[3]};
}

// The picture without its shadow margins, as the window list describes the window.
ImageView withoutShadow(const ImageView& image, const std::array<std::uint32_t, 4>& margins) {
  const int left = static_cast<int>(margins[0]), right = static_cast<int>(margins[1]);
  const int top = static_cast<int>(margins[2]), bottom = static_cast<int>(margins[3]);
  return ImageView{image.pixels + static_cast<std::ptrdiff_t>(top) * image.stride + left * 4,
                   image.width - left - right, image.height - top - bottom, image.stride};
}

// Damage rectangles gathered for one window are merged into their bounding box past this
// many: still correct, and a busy screen cannot make the list grow.
constexpr std::size_t maxPendingRectangles = 64;

void addRectangles(std::vector<xcb_rectangle_t>& to, const std::vector<xcb_rectangle_t>& rectangles) {
  to.insert(to.end(), rectangles.begin(), rectangles.end());
  if (to.size() <= maxPendingRectangles) return;
  int left = to[0].x, top = to[0].y, right = to[0].x + to[0].width, bottom = to[0].y + to[0].height;
  for (const auto& r : to) {
    left = std::min<int>(left, r.x);
    top = std::min<int>(top, r.y);
    right = std::max<int>(right, r.x + r.width);
    bottom = std::max<int>(bottom, r.y + r.height);
  }
  to.assign(1, xcb_rectangle_t{static_cast<std::int16_t>(left), static_cast<std::int16_t>(top),
                               static_cast<std::uint16_t>(right - left), static_cast<std::uint16_t>(bottom - top)});
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

// A damage object: gathers what is drawn into a drawable until subtracted. Destroyed with
// the owner; the server frees it by itself when the drawable goes (destroying it then
// only earns an error that the connection's event drain discards).
class X11WindowCapturer::DamageObject {
 public:
  DamageObject(std::shared_ptr<X11Display> display, xcb_drawable_t drawable) : display_(std::move(display)) {
    xcb_connection_t* c = display_->connection();
    id_ = xcb_generate_id(c);
    // One event when it turns non-empty: the connection drains and drops them; the
    // region is read on demand.
    xcb_damage_create(c, id_, drawable, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  }
  ~DamageObject() {
    if (!display_->hasFailed()) {
      xcb_damage_destroy(display_->connection(), id_);
      xcb_flush(display_->connection());
    }
  }
  DamageObject(const DamageObject&) = delete;
  DamageObject& operator=(const DamageObject&) = delete;

  xcb_damage_damage_t id() const { return id_; }

 private:
  std::shared_ptr<X11Display> display_;
  xcb_damage_damage_t id_ = XCB_NONE;
};

X11WindowCapturer::WindowState::WindowState() = default;
X11WindowCapturer::WindowState::~WindowState() = default;
X11WindowCapturer::WindowState::WindowState(WindowState&&) noexcept = default;
X11WindowCapturer::WindowState& X11WindowCapturer::WindowState::operator=(WindowState&&) noexcept = default;

X11WindowCapturer::X11WindowCapturer(X11Connection& connection, Logger& logger, bool allowSharedMemory,
                                     bool allowChangeTracking)
    : connection_(connection),
      logger_(logger),
      allowSharedMemory_(allowSharedMemory),
      allowChangeTracking_(allowChangeTracking) {}

X11WindowCapturer::~X11WindowCapturer() = default;

std::optional<ImageView> X11WindowCapturer::captureWindow(std::uint32_t window, const std::optional<Rect>&,
                                                          CaptureMode mode) {
  const auto display = connection_.display();
  if (!display || !prepare(display)) return std::nullopt;
  if (auto picture = takePrefetched(display, window, mode)) return picture;
  xcb_connection_t* c = display->connection();
  std::optional<WindowSize> size;
  Reply<xcb_get_property_reply_t> shadow;
  std::optional<ImageView> image;
  WindowState* state = nullptr;
  if (const auto known = windows_.find(window);
      mode == CaptureMode::isolated && known != windows_.end() && known->second.route) {
    state = &known->second;
    state->lastUsed = ++useCounter_;
    WindowSize routeSize;
    image = captureAlongRoute(*display, window, *state, routeSize, shadow);
    if (image) size = routeSize;
  }
  if (!image) {
    const auto shadowCookie =
        xcb_get_property(c, 0, window, display->atom(Atom::GTK_FRAME_EXTENTS), XCB_ATOM_CARDINAL, 0, 4);
    // Only a window that exists takes one of the few per-window states.
    size = viewableWindow<WindowSize>(c, window);
    shadow = replyOf(c, xcb_get_property_reply, shadowCookie);
    if (!size) return std::nullopt;
    state = &stateFor(window);
    state->picture.reset();
    state->source = {};
    state->top = XCB_NONE;
    state->route.reset();
    image = mode == CaptureMode::isolated ? captureIsolated(*display, window, *size, *state)
                                          : captureComposited(*display, window, *size, *state);
  }
  // A failed request may have broken the connection; the owner reconnects on next use.
  if (display->hasFailed() || !image) return std::nullopt;
  const auto margins = shadowMargins(shadow, image->width, image->height);
  // Read whole into the segment: later changes can be read row by row into it.
  if (state->segment && image->pixels == state->segment->data() && state->source.drawable != XCB_NONE) {
    // Kept for row updates only when takeChanges saw the window as it is now just before
    // (its position comes from there; composited pictures are read at it).
    PictureKey key{mode, size->width, size->height, 0, 0, {margins[0], margins[1], margins[2], margins[3]}};
    if (state->checked) {
      key.originX = state->checked->originX;
      key.originY = state->checked->originY;
    }
    if (mode == CaptureMode::composited) {
      key.originX = state->source.x;
      key.originY = state->source.y;
    }
    if (state->checked == key) state->picture = key;
  }
  return withoutShadow(*image, margins);
}

PictureChanges X11WindowCapturer::takeChanges(std::uint32_t window, const std::optional<Rect>&, CaptureMode mode) {
  const auto display = connection_.display();
  if (!display || !prepare(display) || !damage_) return {};
  const auto existing = windows_.find(window);
  WindowState* const watched = existing != windows_.end() ? &existing->second : nullptr;
  if (watched) watched->prefetched.reset();
  // The damage is taken in the same round trip as the window's place: both requests go
  // out before either answer is awaited.
  std::optional<DamageRequest> pending;
  if (mode == CaptureMode::isolated) {
    if (watched && watched->damage) pending = requestDamage(*display, watched->damage->id());
  } else if (rootDamage_) {
    pending = requestDamage(*display, rootDamage_->id());
  }
  // The picture the changes are relative to.
  bool hasPrevious = watched && watched->picture;
  const PictureKey previous = hasPrevious ? *watched->picture : PictureKey{};
  std::optional<PictureKey> key;
  bool readWhole = false;
  if (pending && mode == CaptureMode::isolated && watched->mostlyChanged && watched->route && hasPrevious) {
    // Most likely changed everywhere again: read whole along the route with the changes
    // (sent after the subtraction, so that the picture holds at least what they cover).
    WindowSize size;
    Reply<xcb_get_property_reply_t> shadow;
    xcb_translate_coordinates_reply_t origin{};
    if (captureAlongRoute(*display, window, *watched, size, shadow, &origin)) {
      const auto margins = shadowMargins(shadow, size.width, size.height);
      key = PictureKey{mode, size.width, size.height, origin.dst_x, origin.dst_y,
                       {margins[0], margins[1], margins[2], margins[3]}};
      readWhole = true;
      ++readWithChanges_;
    } else {
      hasPrevious = false;  // the segment may hold part of a read at the old place
      watched->picture.reset();
    }
  }
  if (!readWhole) key = currentKey(*display, window, mode);
  std::optional<std::vector<xcb_rectangle_t>> taken;
  if (pending) taken = collectDamage(*display, *pending);
  if (!key) {
    // What was taken is not kept: the window's picture must be read whole next time, and
    // the root's rectangles still go to the windows that watch it.
    if (watched) {
      watched->picture.reset();
      watched->mostlyChanged = false;
    }
    if (mode == CaptureMode::composited && taken) {
      for (auto& [id, other] : windows_) {
        if (other.rootWatched) addRectangles(other.rootChanges, *taken);
      }
    }
    return {};
  }
  WindowState& state = stateFor(window);
  state.checked = key;
  state.mostlyChanged = false;
  if (readWhole) {
    state.picture = key;
    state.prefetched = key;
  }
  std::vector<xcb_rectangle_t> rectangles;
  bool known = true;
  if (mode == CaptureMode::isolated) {
    if (taken) {
      rectangles = std::move(*taken);
    } else {
      // Watched from now on: everything drawn after this point is reported next time.
      state.damage = std::make_unique<DamageObject>(display, window);
      known = false;
    }
  } else {
    if (taken) {
      for (auto& [id, other] : windows_) {
        if (other.rootWatched) addRectangles(other.rootChanges, *taken);
      }
    } else {
      rootDamage_ = std::make_unique<DamageObject>(display, display->root());
      for (auto& [id, other] : windows_) other.rootWatched = false;
    }
    if (state.rootWatched) {
      rectangles = std::move(state.rootChanges);
    } else {
      state.rootWatched = true;
      known = false;
    }
    state.rootChanges.clear();
  }
  if (!known || !hasPrevious || previous != *key) return {};

  // The rectangles as rows of the picture (the window's area without its shadow margins).
  const int left = static_cast<int>(key->shadow[0]), top = static_cast<int>(key->shadow[2]);
  const int width = key->width - left - static_cast<int>(key->shadow[1]);
  const int height = key->height - top - static_cast<int>(key->shadow[3]);
  const int offsetX = (mode == CaptureMode::composited ? key->originX : 0) + left;
  const int offsetY = (mode == CaptureMode::composited ? key->originY : 0) + top;
  std::vector<RowSpan> spans;
  for (const auto& r : rectangles) {
    const int x0 = std::max(r.x - offsetX, 0), x1 = std::min(r.x + r.width - offsetX, width);
    const int y0 = std::max(r.y - offsetY, 0), y1 = std::min(r.y + r.height - offsetY, height);
    if (x0 < x1 && y0 < y1) spans.push_back({y0, y1});
  }
  std::sort(spans.begin(), spans.end(), [](const RowSpan& a, const RowSpan& b) { return a.top < b.top; });
  PictureChanges changes{false, {}};
  for (const auto& span : spans) {
    if (!changes.rows.empty() && span.top <= changes.rows.back().bottom) {
      changes.rows.back().bottom = std::max(changes.rows.back().bottom, span.bottom);
    } else {
      changes.rows.push_back(span);
    }
  }
  int changedRows = 0;
  for (const auto& span : changes.rows) changedRows += span.bottom - span.top;
  state.mostlyChanged = changedRows * 2 > height;
  return changes;
}

std::optional<ImageView> X11WindowCapturer::captureRows(std::uint32_t window, const std::optional<Rect>&,
                                                        CaptureMode mode, const std::vector<RowSpan>& rows) {
  const auto display = connection_.display();
  if (!display || display != display_ || !useShm_) return std::nullopt;
  if (auto picture = takePrefetched(display, window, mode)) return picture;
  const auto it = windows_.find(window);
  if (it == windows_.end()) return std::nullopt;
  WindowState& state = it->second;
  if (!state.picture || state.picture->mode != mode || state.checked != state.picture || !state.segment) {
    return std::nullopt;
  }
  const PictureKey key = *state.picture;
  xcb_connection_t* c = display->connection();
  xcb_drawable_t drawable = display->root();
  xcb_pixmap_t pixmap = XCB_NONE;
  if (mode == CaptureMode::isolated) {
    drawable = window;
    if (composite_) {
      pixmap = xcb_generate_id(c);
      xcb_composite_name_window_pixmap(c, state.top, pixmap);
      drawable = pixmap;
    }
  }
  const Region& region = state.source;
  const int stride = region.width * 4;
  const int shadowTop = static_cast<int>(key.shadow[2]);
  std::vector<xcb_shm_get_image_cookie_t> cookies;
  for (const auto& span : rows) {
    const int y0 = std::clamp(span.top + shadowTop, 0, region.height);
    const int y1 = std::clamp(span.bottom + shadowTop, 0, region.height);
    if (y0 >= y1) continue;
    cookies.push_back(xcb_shm_get_image(c, drawable, static_cast<std::int16_t>(region.x),
                                        static_cast<std::int16_t>(region.y + y0), static_cast<std::uint16_t>(region.width),
                                        static_cast<std::uint16_t>(y1 - y0), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                        state.segment->id(), static_cast<std::uint32_t>(y0 * stride)));
  }
  bool ok = true;
  for (const auto cookie : cookies) {
    const auto reply = replyOf(c, xcb_shm_get_image_reply, cookie);
    ok = ok && reply && usableDepth(reply->depth);
  }
  if (pixmap != XCB_NONE) {
    xcb_free_pixmap(c, pixmap);
    xcb_flush(c);
  }
  if (!ok || display->hasFailed()) {
    // Part of the picture may be new and part old: it must be read whole next time.
    state.picture.reset();
    return std::nullopt;
  }
  state.lastUsed = ++useCounter_;
  const ImageView whole{state.segment->data(), region.width, region.height, stride};
  return withoutShadow(whole, {key.shadow[0], key.shadow[1], key.shadow[2], key.shadow[3]});
}

std::optional<ImageView> X11WindowCapturer::takePrefetched(const std::shared_ptr<X11Display>& display,
                                                           std::uint32_t window, CaptureMode mode) {
  const auto it = windows_.find(window);
  if (display != display_ || it == windows_.end() || !it->second.prefetched) return std::nullopt;
  WindowState& state = it->second;
  const PictureKey key = *state.prefetched;
  state.prefetched.reset();
  if (key.mode != mode || !state.segment) return std::nullopt;
  state.lastUsed = ++useCounter_;
  const Region& region = state.source;
  const ImageView whole{state.segment->data(), region.width, region.height, region.width * 4};
  return withoutShadow(whole, {key.shadow[0], key.shadow[1], key.shadow[2], key.shadow[3]});
}

std::optional<X11WindowCapturer::PictureKey> X11WindowCapturer::currentKey(X11Display& display, std::uint32_t window,
                                                                           CaptureMode mode) {
  xcb_connection_t* c = display.connection();
  const auto shadowCookie =
      xcb_get_property(c, 0, window, display.atom(Atom::GTK_FRAME_EXTENTS), XCB_ATOM_CARDINAL, 0, 4);
  const auto originCookie = xcb_translate_coordinates(c, window, display.root(), 0, 0);
  const auto size = viewableWindow<WindowSize>(c, window);
  const auto shadow = replyOf(c, xcb_get_property_reply, shadowCookie);
  const auto origin = replyOf(c, xcb_translate_coordinates_reply, originCookie);
  if (!size || !origin) return std::nullopt;
  const auto margins = shadowMargins(shadow, size->width, size->height);
  // The position counts in both modes: composited pictures are read from the screen there,
  // and an isolated window that moved may sit differently in a new frame of the window
  // manager (decorations), where its pixels are read from.
  return PictureKey{mode, size->width, size->height, origin->dst_x, origin->dst_y,
                    {margins[0], margins[1], margins[2], margins[3]}};
}

X11WindowCapturer::DamageRequest X11WindowCapturer::requestDamage(X11Display& display, std::uint32_t damage) {
  xcb_connection_t* c = display.connection();
  // Checked, so that a damage object the server no longer knows (its window went) is not
  // read as "nothing changed"; the fetch's reply answers for both.
  return {xcb_damage_subtract_checked(c, damage, XCB_NONE, scratchRegion_), xcb_xfixes_fetch_region(c, scratchRegion_)};
}

std::optional<std::vector<xcb_rectangle_t>> X11WindowCapturer::collectDamage(X11Display& display,
                                                                             const DamageRequest& request) {
  xcb_connection_t* c = display.connection();
  const Error error = checkOf(c, request.subtract);
  const auto region = replyOf(c, xcb_xfixes_fetch_region_reply, request.fetch);
  if (error || !region) return std::nullopt;
  const xcb_rectangle_t* rectangles = xcb_xfixes_fetch_region_rectangles(region.get());
  const int count = xcb_xfixes_fetch_region_rectangles_length(region.get());
  return std::vector<xcb_rectangle_t>(rectangles, rectangles + std::max(count, 0));
}

bool X11WindowCapturer::prepare(const std::shared_ptr<X11Display>& display) {
  if (display == display_) return formatUsable_;
  // A new connection: segments, damage objects and the redirect of the old one are gone
  // with it.
  windows_.clear();
  rootDamage_.reset();
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
  damage_ = false;
  scratchRegion_ = XCB_NONE;
  const auto* damageData = xcb_get_extension_data(c, &xcb_damage_id);
  const auto* fixesData = xcb_get_extension_data(c, &xcb_xfixes_id);
  if (allowChangeTracking_ && damageData && damageData->present && fixesData && fixesData->present) {
    // Both must be told the version this client speaks before any other request.
    const auto fixesCookie = xcb_xfixes_query_version(c, 5, 0);
    const auto damageCookie = xcb_damage_query_version(c, 1, 1);
    const auto fixes = replyOf(c, xcb_xfixes_query_version_reply, fixesCookie);
    const auto damage = replyOf(c, xcb_damage_query_version_reply, damageCookie);
    if (fixes && damage && fixes->major_version >= 2 && (damage->major_version > 1 || damage->minor_version >= 1)) {
      scratchRegion_ = xcb_generate_id(c);
      damage_ = !checkOf(c, xcb_xfixes_create_region_checked(c, scratchRegion_, 0, nullptr));
    }
  }
  if (allowChangeTracking_ && !damage_) logLine(logger_, "OrvoHost: X11 DAMAGE unavailable; every frame is captured whole");
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
  std::vector<xcb_window_t> chain;
  for (int depth = 0;; ++depth) {
    const auto tree = replyOf(c, xcb_query_tree_reply, xcb_query_tree(c, top));
    if (!tree || depth == maxAncestorDepth) return std::nullopt;
    chain.push_back(top);
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
  state.top = top;
  auto image = read(display, region, state);
  xcb_free_pixmap(c, pixmap);
  xcb_flush(c);
  if (image && state.segment && image->pixels == state.segment->data()) {
    Region unnamed = region;
    unnamed.drawable = XCB_NONE;
    state.route = WindowState::Route{std::move(chain), size, topGeometry->width, topGeometry->height,
                                     topGeometry->border_width, offset->dst_x, offset->dst_y, unnamed};
  }
  return image;
}

std::optional<ImageView> X11WindowCapturer::captureAlongRoute(X11Display& display, std::uint32_t window,
                                                              WindowState& state, WindowSize& size,
                                                              Reply<xcb_get_property_reply_t>& shadow,
                                                              xcb_translate_coordinates_reply_t* origin) {
  const WindowState::Route route = *state.route;
  state.route.reset();  // set again below only if it still holds
  const Region& region = route.region;
  const int stride = region.width * 4;
  const std::size_t bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(region.height);
  if (!state.segment || state.segment->size() < bytes || route.chain.empty() || route.chain.front() != window) {
    return std::nullopt;
  }
  xcb_connection_t* c = display.connection();
  const xcb_window_t top = route.chain.back();
  const auto shadowCookie =
      xcb_get_property(c, 0, window, display.atom(Atom::GTK_FRAME_EXTENTS), XCB_ATOM_CARDINAL, 0, 4);
  const auto attributesCookie = xcb_get_window_attributes(c, window);
  const auto geometryCookie = xcb_get_geometry(c, window);
  std::vector<xcb_query_tree_cookie_t> trees;
  for (const xcb_window_t w : route.chain) trees.push_back(xcb_query_tree(c, w));
  const auto topGeometryCookie = xcb_get_geometry(c, top);
  const auto offsetCookie = xcb_translate_coordinates(c, window, top, 0, 0);
  std::optional<xcb_translate_coordinates_cookie_t> originCookie;
  if (origin) originCookie = xcb_translate_coordinates(c, window, display.root(), 0, 0);
  const xcb_pixmap_t pixmap = xcb_generate_id(c);
  const auto nameCookie = xcb_composite_name_window_pixmap_checked(c, top, pixmap);
  const auto imageCookie =
      xcb_shm_get_image(c, pixmap, static_cast<std::int16_t>(region.x), static_cast<std::int16_t>(region.y),
                        static_cast<std::uint16_t>(region.width), static_cast<std::uint16_t>(region.height), ~0u,
                        XCB_IMAGE_FORMAT_Z_PIXMAP, state.segment->id(), 0);
  xcb_free_pixmap(c, pixmap);

  // Every answer is read, so that none is left behind, before any is judged.
  shadow = replyOf(c, xcb_get_property_reply, shadowCookie);
  const auto attributes = replyOf(c, xcb_get_window_attributes_reply, attributesCookie);
  const auto geometry = replyOf(c, xcb_get_geometry_reply, geometryCookie);
  bool holds = true;
  for (std::size_t i = 0; i < trees.size(); ++i) {
    const auto tree = replyOf(c, xcb_query_tree_reply, trees[i]);
    const bool last = i + 1 == trees.size();
    holds = holds && tree && (last ? tree->parent == tree->root : tree->parent == route.chain[i + 1]);
  }
  const auto topGeometry = replyOf(c, xcb_get_geometry_reply, topGeometryCookie);
  const auto offset = replyOf(c, xcb_translate_coordinates_reply, offsetCookie);
  Reply<xcb_translate_coordinates_reply_t> screenOrigin;
  if (originCookie) screenOrigin = replyOf(c, xcb_translate_coordinates_reply, *originCookie);
  const Error nameError = checkOf(c, nameCookie);
  const auto image = replyOf(c, xcb_shm_get_image_reply, imageCookie);
  xcb_flush(c);
  holds = holds && attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE && geometry &&
          WindowSize{geometry->width, geometry->height} == route.size && topGeometry &&
          topGeometry->width == route.topWidth && topGeometry->height == route.topHeight &&
          topGeometry->border_width == route.topBorder && offset && offset->dst_x == route.offsetX &&
          offset->dst_y == route.offsetY && !nameError && image && usableDepth(image->depth) && image->size >= bytes &&
          (!origin || screenOrigin);
  if (!holds || display.hasFailed()) return std::nullopt;
  if (origin) *origin = *screenOrigin;
  size = route.size;
  state.picture.reset();
  state.plainImage.reset();
  state.top = top;
  state.source = region;
  state.source.drawable = pixmap;  // named for this read only; marks the segment as read whole
  state.route = route;
  return ImageView{state.segment->data(), region.width, region.height, stride};
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
      state.source = region;
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
