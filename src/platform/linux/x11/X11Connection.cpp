#include "platform/linux/x11/X11Connection.h"

#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/screensaver.h>
#include <xcb/shm.h>
#include <xcb/xtest.h>

#include <vector>

namespace orvo::platform::x11 {
namespace {

constexpr const char* kAtomNames[] = {
#define ORVO_X11_ATOM_NAME(id, name) name,
    ORVO_X11_ATOMS(ORVO_X11_ATOM_NAME)
#undef ORVO_X11_ATOM_NAME
};
static_assert(std::size(kAtomNames) == static_cast<std::size_t>(Atom::count));

const char* connectionErrorText(int code) {
  switch (code) {
    case XCB_CONN_ERROR:
      return "socket, pipe or stream error";
    case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
      return "extension not supported";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
      return "out of memory";
    case XCB_CONN_CLOSED_REQ_LEN_EXCEED:
      return "request too long";
    case XCB_CONN_CLOSED_PARSE_ERR:
      return "invalid display name";
    case XCB_CONN_CLOSED_INVALID_SCREEN:
      return "no such screen";
    default:
      return "connection refused";
  }
}

}  // namespace

std::shared_ptr<X11Display> X11Display::open(const std::string& displayName, EventObserver observer,
                                             std::string& failure) {
  int screenNumber = 0;
  ConnectionHandle connection(xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber));
  if (const int code = xcb_connection_has_error(connection.get())) {
    failure = connectionErrorText(code);
    return nullptr;
  }
  auto display = std::make_shared<X11Display>(Key{}, std::move(connection), screenNumber, std::move(observer));
  if (!display->setUp(failure)) return nullptr;
  if (displayName.empty()) {
    const char* env = std::getenv("DISPLAY");
    display->name_ = env ? env : "";
  } else {
    display->name_ = displayName;
  }
  return display;
}

X11Display::X11Display(Key, ConnectionHandle connection, int screenNumber, EventObserver observer)
    : connection_(std::move(connection)), screenNumber_(screenNumber), observer_(std::move(observer)) {}

bool X11Display::setUp(std::string& failure) {
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection()));
  for (int i = 0; i < screenNumber_ && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem <= 0) {
    failure = "no such screen";
    return false;
  }
  screen_ = *screens.data;
  root_ = screen_.root;
  width_ = screen_.width_in_pixels;
  height_ = screen_.height_in_pixels;

  // One batch: every atom, and the presence of every extension we use.
  std::array<xcb_intern_atom_cookie_t, static_cast<std::size_t>(Atom::count)> atomCookies{};
  for (std::size_t i = 0; i < atomCookies.size(); ++i) {
    const std::string_view name = kAtomNames[i];
    atomCookies[i] = xcb_intern_atom(connection(), 0, static_cast<std::uint16_t>(name.size()), name.data());
  }
  xcb_prefetch_extension_data(connection(), &xcb_composite_id);
  xcb_prefetch_extension_data(connection(), &xcb_shm_id);
  xcb_prefetch_extension_data(connection(), &xcb_test_id);
  xcb_prefetch_extension_data(connection(), &xcb_screensaver_id);
  xcb_prefetch_extension_data(connection(), &xcb_randr_id);

  for (std::size_t i = 0; i < atomCookies.size(); ++i) {
    auto reply = replyOf(connection(), xcb_intern_atom_reply, atomCookies[i]);
    if (!reply) {
      failure = "cannot intern atoms";
      return false;
    }
    atoms_[i] = reply->atom;
  }
  auto present = [&](xcb_extension_t* id) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection(), id);
    return data && data->present;
  };
  extensions_.composite = present(&xcb_composite_id);
  extensions_.shm = present(&xcb_shm_id);
  extensions_.xtest = present(&xcb_test_id);
  extensions_.screenSaver = present(&xcb_screensaver_id);
  if (present(&xcb_randr_id)) {
    // RandR wants the client's version announced first; then the size changes of the
    // screen arrive as events, and the size is asked once now in case it changed before.
    auto version = replyOf(connection(), xcb_randr_query_version_reply, xcb_randr_query_version(connection(), 1, 2));
    if (version) {
      randrEventBase_ = xcb_get_extension_data(connection(), &xcb_randr_id)->first_event;
      xcb_randr_select_input(connection(), root_, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
      if (auto geometry = replyOf(connection(), xcb_get_geometry_reply, xcb_get_geometry(connection(), root_))) {
        width_ = geometry->width;
        height_ = geometry->height;
      }
      extensions_.randr = true;
    }
  }

  // Composite wants the client's version announced before its other requests.
  std::optional<xcb_composite_query_version_cookie_t> compositeCookie;
  std::optional<xcb_shm_query_version_cookie_t> shmCookie;
  if (extensions_.composite) compositeCookie = xcb_composite_query_version(connection(), 0, 4);
  if (extensions_.shm) shmCookie = xcb_shm_query_version(connection());
  if (compositeCookie) {
    if (auto reply = replyOf(connection(), xcb_composite_query_version_reply, *compositeCookie)) {
      extensions_.compositeMajor = reply->major_version;
      extensions_.compositeMinor = reply->minor_version;
    } else {
      extensions_.composite = false;
    }
  }
  if (shmCookie) {
    if (auto reply = replyOf(connection(), xcb_shm_query_version_reply, *shmCookie)) {
      extensions_.shmSharedPixmaps = reply->shared_pixmaps != 0;
    } else {
      extensions_.shm = false;
    }
  }
  if (hasFailed()) {
    failure = connectionErrorText(xcb_connection_has_error(connection()));
    return false;
  }
  return true;
}

std::string X11Display::describe() const {
  std::string present;
  std::string missing;
  auto note = [&](bool has, const std::string& name) {
    std::string& list = has ? present : missing;
    list += (list.empty() ? "" : ", ") + name;
  };
  note(extensions_.composite, extensions_.composite ? "Composite " + std::to_string(extensions_.compositeMajor) + "." +
                                                          std::to_string(extensions_.compositeMinor)
                                                    : "Composite");
  note(extensions_.shm, extensions_.shmSharedPixmaps ? "MIT-SHM (shared pixmaps)" : "MIT-SHM");
  note(extensions_.xtest, "XTEST");
  note(extensions_.screenSaver, "MIT-SCREEN-SAVER");
  note(extensions_.randr, "RandR");
  return std::to_string(width()) + "x" + std::to_string(height()) +
         "; extensions: " + (present.empty() ? "none" : present) + "; missing: " + (missing.empty() ? "none" : missing);
}

void X11Display::drainEvents() {
  std::lock_guard lock(eventMutex_);
  while (Event event{xcb_poll_for_event(connection())}) {
    if (!noteScreenChange(*event) && observer_) observer_(*event);
  }
}

bool X11Display::noteScreenChange(const xcb_generic_event_t& event) {
  if (!extensions_.randr || (event.response_type & 0x7f) != randrEventBase_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
    return false;
  }
  const auto& change = reinterpret_cast<const xcb_randr_screen_change_notify_event_t&>(event);
  if (change.root != root_) return true;
  // The size is given unrotated.
  const bool turned = (change.rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270)) != 0;
  width_ = turned ? change.height : change.width;
  height_ = turned ? change.width : change.height;
  return true;
}

std::optional<xcb_timestamp_t> X11Display::serverTime() {
  std::lock_guard lock(eventMutex_);
  if (timestampWindow_ == XCB_NONE) {
    const xcb_window_t window = xcb_generate_id(connection());
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_PROPERTY_CHANGE};
    auto error = checkOf(connection(), xcb_create_window_checked(connection(), 0, window, root_, -1, -1, 1, 1, 0,
                                                                 XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                                                                 XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values));
    if (error || hasFailed()) return std::nullopt;
    timestampWindow_ = window;
  }
  // Appending nothing to a property changes nothing, yet the server answers with a
  // PropertyNotify that carries its current time. The server sends that notice before the
  // answer to any later request, and xcb queues it while reading towards that answer,
  // whichever thread does the reading: once the answer is in, the notice is queued. No
  // waiting on the socket, which another thread of this connection may be draining.
  xcb_connection_t* c = connection();
  xcb_change_property(c, XCB_PROP_MODE_APPEND, timestampWindow_, atom(Atom::ORVO_TIMESTAMP), XCB_ATOM_STRING, 8, 0,
                      nullptr);
  if (!replyOf(c, xcb_get_input_focus_reply, xcb_get_input_focus(c))) return std::nullopt;
  std::optional<xcb_timestamp_t> time;
  while (Event event{xcb_poll_for_queued_event(c)}) {
    if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
      const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event.get());
      if (notify->window == timestampWindow_) {
        time = notify->time;
        continue;
      }
    }
    if (!noteScreenChange(*event) && observer_) observer_(*event);
  }
  return time;
}

X11Connection::X11Connection(Logger& logger, std::string displayName, std::string label, EventObserver observer)
    : logger_(logger), displayName_(std::move(displayName)), label_(std::move(label)), observer_(std::move(observer)) {}

std::shared_ptr<X11Display> X11Connection::display() {
  std::shared_ptr<X11Display> display;
  {
    std::lock_guard lock(mutex_);
    if (current_ && current_->hasFailed()) {
      logLine(logger_, "OrvoHost: X11 display", current_->name(), "(" + label_ + ") lost");
      current_.reset();
    }
    if (!current_) {
      std::string failure;
      current_ = X11Display::open(displayName_, observer_, failure);
      if (current_) {
        connectFailureLogged_ = false;
        logLine(logger_, "OrvoHost: X11 display", current_->name(),
                "(" + label_ + ") connected:", current_->describe());
      } else if (!connectFailureLogged_) {
        connectFailureLogged_ = true;
        const char* env = std::getenv("DISPLAY");
        const std::string name = displayName_.empty() ? (env ? env : "(unset)") : displayName_;
        logLine(logger_, "OrvoHost: cannot open X11 display", name, "(" + label_ + "):", failure);
      }
    }
    display = current_;
  }
  if (display) display->drainEvents();
  return display;
}

bool X11Connection::isConnected() {
  std::lock_guard lock(mutex_);
  return current_ && !current_->hasFailed();
}

}  // namespace orvo::platform::x11
