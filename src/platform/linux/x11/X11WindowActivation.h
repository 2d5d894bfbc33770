#pragma once

#include "platform/WindowActivation.h"
#include "platform/linux/x11/X11Connection.h"

namespace orvo::platform::x11 {

// Bringing applications and windows forward on an X display.
//
// An application is a process; its windows are the top-level windows whose _NET_WM_PID
// names it (override-redirect windows such as menus excluded), front first. A window
// without _NET_WM_PID is an application of its own, named by the negative of its window
// id (applicationOf), and is activated through _NET_ACTIVE_WINDOW on itself. With an EWMH
// window manager every request goes through it: _NET_ACTIVE_WINDOW (source indication 2,
// a pager acting for the user, with the server's current time) to activate or focus,
// _NET_RESTACK_WINDOW to raise (or _NET_ACTIVE_WINDOW when it lacks that). Without one the
// window is stacked on top with ConfigureWindow and given the input focus.
//
// "Trusted" means input can be injected: the XTEST extension is present.
//
// Result codes: 0 success; an X error code (3 BadWindow, 8 BadMatch, ...) when the server
// refused; kNoDisplay when the display cannot be reached. Requests are flushed before
// returning; what a window manager then does with a message happens asynchronously.
//
// Keeps no state; uses the connection, which must outlive it. Main queue (any one thread).
class X11WindowActivation final : public WindowActivation {
 public:
  static constexpr int kNoDisplay = -1;

  explicit X11WindowActivation(X11Connection& connection) : connection_(connection) {}
  X11WindowActivation(const X11WindowActivation&) = delete;
  X11WindowActivation& operator=(const X11WindowActivation&) = delete;

  bool isTrusted() override;
  // Known while some top-level window names the process; its name is the owner name of
  // its frontmost window (WM_CLASS class, else the process name).
  std::optional<RunningApplication> runningApplication(std::int32_t pid) override;
  // Activates the application's frontmost normal window, preferring one on screen. A
  // minimised one is restored by the window manager. False without any window (or, with
  // no window manager, without a window on screen).
  bool activate(std::int32_t pid) override;
  int applicationWindows(std::int32_t pid, std::vector<std::uint32_t>& windows) override;
  // Makes `window` the active (focused) window; `pid` is not consulted, the window is
  // what counts.
  int setFocusedWindow(std::int32_t pid, std::uint32_t window) override;
  int raise(std::uint32_t window) override;

 private:
  X11Connection& connection_;
};

}  // namespace orvo::platform::x11
