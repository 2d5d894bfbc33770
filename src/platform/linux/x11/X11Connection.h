#pragma once

// One connection to an X display, shared by the X11 pieces of the host (window list,
// activation, input, capture, screen saver).
//
// Ownership and threads. `X11Connection` owns the connection and reconnects after a loss.
// `display()` hands out the live `X11Display` as a shared pointer: a caller keeps it for the
// duration of one operation, so a loss seen by another thread never frees it underneath.
// Every member of both classes is safe to call from any thread (xcb itself is thread-safe;
// the little mutable state here is behind a mutex). The host nevertheless opens one
// X11Connection per queue that talks to X: one for the main queue (window list,
// activation, input) and one for the capture queue, so that reading a large picture never
// delays a window-list round trip.
//
// Errors. xcb reports an X error per request: as the error of a reply (`replyOf`) or of a
// checked void request (`checkOf`). No global handler exists and no X error ends the
// process. Errors of unchecked requests and events arrive on the event queue, which
// `display()` drains on every use so it never grows.
//
// Loss. When the display goes away (server killed, socket closed) the next `display()`
// logs the loss once, drops the connection and tries to connect again; while that fails
// it returns null, and users answer as if the display were empty.

#include <xcb/xcb.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/Log.h"

namespace orvo::platform::x11 {

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};

// A reply, error or event that xcb allocated with malloc and the caller must free.
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;
using Error = Reply<xcb_generic_error_t>;
using Event = Reply<xcb_generic_event_t>;

struct DisconnectDeleter {
  void operator()(xcb_connection_t* c) const noexcept { xcb_disconnect(c); }
};
// An xcb connection object; xcb_connect returns one even on failure, and it must be freed.
using ConnectionHandle = std::unique_ptr<xcb_connection_t, DisconnectDeleter>;
// Waits for the reply of `cookie`; on failure the reply is null and `error` (when given)
// holds the X error, or stays null when the connection broke.
//   auto geometry = replyOf(c, xcb_get_geometry_reply, xcb_get_geometry(c, window));
template <class T, class Cookie>
Reply<T> replyOf(xcb_connection_t* connection, T* (*fetch)(xcb_connection_t*, Cookie, xcb_generic_error_t**),
                 Cookie cookie, Error* error = nullptr) {
  xcb_generic_error_t* raw = nullptr;
  Reply<T> reply(fetch(connection, cookie, &raw));
  Error owned(raw);
  if (error) *error = std::move(owned);
  return reply;
}

// Waits for the outcome of a checked void request (one made with a *_checked function):
// null on success, else the X error.
inline Error checkOf(xcb_connection_t* connection, xcb_void_cookie_t cookie) {
  return Error(xcb_request_check(connection, cookie));
}

// The atoms the X11 pieces use, interned together in one batch per connection. Add a name
// here when a new one is needed; predefined atoms (WM_NAME, WM_CLASS, STRING, CARDINAL,
// WINDOW, ATOM, ...) come from xproto.h as XCB_ATOM_*.
#define ORVO_X11_ATOMS(X)                                                  \
  X(UTF8_STRING, "UTF8_STRING")                                            \
  X(COMPOUND_TEXT, "COMPOUND_TEXT")                                        \
  X(WM_STATE, "WM_STATE")                                                  \
  X(WM_PROTOCOLS, "WM_PROTOCOLS")                                          \
  X(WM_DELETE_WINDOW, "WM_DELETE_WINDOW")                                  \
  X(WM_S0, "WM_S0")                                                        \
  X(NET_SUPPORTED, "_NET_SUPPORTED")                                       \
  X(NET_SUPPORTING_WM_CHECK, "_NET_SUPPORTING_WM_CHECK")                   \
  X(NET_CLIENT_LIST, "_NET_CLIENT_LIST")                                   \
  X(NET_CLIENT_LIST_STACKING, "_NET_CLIENT_LIST_STACKING")                 \
  X(NET_ACTIVE_WINDOW, "_NET_ACTIVE_WINDOW")                               \
  X(NET_RESTACK_WINDOW, "_NET_RESTACK_WINDOW")                             \
  X(NET_WM_NAME, "_NET_WM_NAME")                                           \
  X(NET_WM_PID, "_NET_WM_PID")                                             \
  X(NET_WM_STATE, "_NET_WM_STATE")                                         \
  X(NET_FRAME_EXTENTS, "_NET_FRAME_EXTENTS")                               \
  X(GTK_FRAME_EXTENTS, "_GTK_FRAME_EXTENTS")                               \
  X(NET_WM_STATE_HIDDEN, "_NET_WM_STATE_HIDDEN")                           \
  X(NET_WM_WINDOW_TYPE, "_NET_WM_WINDOW_TYPE")                             \
  X(NET_WM_WINDOW_TYPE_DESKTOP, "_NET_WM_WINDOW_TYPE_DESKTOP")             \
  X(NET_WM_WINDOW_TYPE_DOCK, "_NET_WM_WINDOW_TYPE_DOCK")                   \
  X(NET_WM_WINDOW_TYPE_TOOLBAR, "_NET_WM_WINDOW_TYPE_TOOLBAR")             \
  X(NET_WM_WINDOW_TYPE_MENU, "_NET_WM_WINDOW_TYPE_MENU")                   \
  X(NET_WM_WINDOW_TYPE_UTILITY, "_NET_WM_WINDOW_TYPE_UTILITY")             \
  X(NET_WM_WINDOW_TYPE_SPLASH, "_NET_WM_WINDOW_TYPE_SPLASH")               \
  X(NET_WM_WINDOW_TYPE_DIALOG, "_NET_WM_WINDOW_TYPE_DIALOG")               \
  X(NET_WM_WINDOW_TYPE_DROPDOWN_MENU, "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU") \
  X(NET_WM_WINDOW_TYPE_POPUP_MENU, "_NET_WM_WINDOW_TYPE_POPUP_MENU")       \
  X(NET_WM_WINDOW_TYPE_TOOLTIP, "_NET_WM_WINDOW_TYPE_TOOLTIP")             \
  X(NET_WM_WINDOW_TYPE_NOTIFICATION, "_NET_WM_WINDOW_TYPE_NOTIFICATION")   \
  X(NET_WM_WINDOW_TYPE_COMBO, "_NET_WM_WINDOW_TYPE_COMBO")                 \
  X(NET_WM_WINDOW_TYPE_DND, "_NET_WM_WINDOW_TYPE_DND")                     \
  X(NET_WM_WINDOW_TYPE_NORMAL, "_NET_WM_WINDOW_TYPE_NORMAL")               \
  X(ORVO_TIMESTAMP, "_ORVO_TIMESTAMP")

enum class Atom : std::size_t {
#define ORVO_X11_ATOM_ENUM(id, name) id,
  ORVO_X11_ATOMS(ORVO_X11_ATOM_ENUM)
#undef ORVO_X11_ATOM_ENUM
      count
};

// Which extensions the display offers, found once per connection.
struct Extensions {
  bool composite = false;  // version negotiated below (NameWindowPixmap needs 0.2)
  std::uint32_t compositeMajor = 0;
  std::uint32_t compositeMinor = 0;
  bool shm = false;  // MIT-SHM
  bool shmSharedPixmaps = false;
  bool xtest = false;
  bool screenSaver = false;  // MIT-SCREEN-SAVER
  bool randr = false;        // RandR: screen size changes are followed
};

// Receives every event and unchecked-request error that arrives on a connection, on the
// thread that drained it. Must not call back into the connection.
using EventObserver = std::function<void(const xcb_generic_event_t&)>;

// One live connection to a display, with what was learnt about it when it was opened.
// Immutable apart from the event queue; see the file comment for threads.
class X11Display {
 public:
  // Opens `displayName` (empty: $DISPLAY). Null when the display cannot be reached; the
  // reason is in `failure`.
  static std::shared_ptr<X11Display> open(const std::string& displayName, EventObserver observer, std::string& failure);
  X11Display(const X11Display&) = delete;
  X11Display& operator=(const X11Display&) = delete;

  xcb_connection_t* connection() const { return connection_.get(); }
  xcb_window_t root() const { return root_; }
  const xcb_screen_t& screen() const { return screen_; }
  // The screen's size now: it follows RandR screen changes (resolution switches, monitors
  // plugged in or out), as seen by the last drain of events.
  int width() const { return width_.load(std::memory_order_relaxed); }
  int height() const { return height_.load(std::memory_order_relaxed); }
  xcb_atom_t atom(Atom atom) const { return atoms_[static_cast<std::size_t>(atom)]; }
  const Extensions& extensions() const { return extensions_; }
  // The name it was opened with, as xcb resolved it (":1" when $DISPLAY was ":1").
  const std::string& name() const { return name_; }

  // Whether xcb has given up on this connection (server gone, protocol error).
  bool hasFailed() const { return xcb_connection_has_error(connection_.get()) != 0; }

  // The server's current time, for requests that want a real timestamp (_NET_ACTIVE_WINDOW).
  // Costs one round trip through a property change on a private window, and never waits on
  // anything but that round trip, so another thread using the connection cannot delay it.
  // Absent when the connection failed.
  std::optional<xcb_timestamp_t> serverTime();

  // Takes every event already received off the queue and hands it to the observer.
  void drainEvents();

  // One line that says what was found, for the log.
  std::string describe() const;

 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  // Use open().
  X11Display(Key, ConnectionHandle connection, int screenNumber, EventObserver observer);

 private:
  bool setUp(std::string& failure);
  // Takes note of a screen size change; true when the event was one.
  bool noteScreenChange(const xcb_generic_event_t& event);

  ConnectionHandle connection_;
  int screenNumber_;
  EventObserver observer_;
  std::string name_;
  xcb_window_t root_ = XCB_NONE;
  xcb_screen_t screen_{};
  std::array<xcb_atom_t, static_cast<std::size_t>(Atom::count)> atoms_{};
  Extensions extensions_;
  std::uint8_t randrEventBase_ = 0;
  std::atomic<int> width_{0};
  std::atomic<int> height_{0};

  std::mutex eventMutex_;                    // one reader of the event queue at a time
  xcb_window_t timestampWindow_ = XCB_NONE;  // created on first serverTime(), under eventMutex_
};

// The owner of the connection to one display; reconnects after a loss. Any thread.
class X11Connection {
 public:
  // `displayName` empty means $DISPLAY. `label` names this connection in log lines
  // ("main", "capture"). Connects on first use, not here.
  X11Connection(Logger& logger, std::string displayName = {}, std::string label = "main", EventObserver observer = {});
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  // The live display, after draining its event queue; connects (again) when there is
  // none or the last one failed. Null while the display cannot be reached. Logs a lost
  // display once, a failing connect once until one succeeds, and each new connection once.
  std::shared_ptr<X11Display> display();

  // Whether a live connection exists now, without trying to connect.
  bool isConnected();

 private:
  Logger& logger_;
  const std::string displayName_;
  const std::string label_;
  const EventObserver observer_;
  std::mutex mutex_;
  std::shared_ptr<X11Display> current_;
  bool connectFailureLogged_ = false;
};

}  // namespace orvo::platform::x11
