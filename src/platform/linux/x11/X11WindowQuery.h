#pragma once

// Reading the top-level windows of a display in batches: every request for every window is
// sent before the first reply is read, so a desktop of a hundred windows costs two or three
// round trips. Used by the window list and by activation. Pure functions over an
// X11Display; any thread (see X11Connection.h).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Geometry.h"
#include "platform/linux/x11/X11Connection.h"

namespace orvo::platform::x11 {

// Layers of the window list. Only normal application windows (no type, NORMAL, DIALOG)
// are on layer 0; the others rank roughly as a desktop stacks them.
namespace layer {
inline constexpr std::int64_t normal = 0;         // no type, NORMAL, DIALOG
inline constexpr std::int64_t floating = 3;       // UTILITY, TOOLBAR (tool palettes)
inline constexpr std::int64_t dock = 20;          // DOCK (panels, task bars)
inline constexpr std::int64_t notification = 25;  // NOTIFICATION
inline constexpr std::int64_t menu = 101;         // MENU, DROPDOWN_MENU, POPUP_MENU, COMBO
inline constexpr std::int64_t overlay = 102;      // SPLASH; override-redirect windows of no other type
inline constexpr std::int64_t tooltip = 200;      // TOOLTIP
inline constexpr std::int64_t dragging = 500;     // DND
}  // namespace layer

// One top-level client window as read from the server.
struct X11Window {
  xcb_window_t window = XCB_NONE;
  std::int64_t layer = layer::normal;
  bool viewable = false;  // mapped, and every ancestor too
  bool hidden = false;    // _NET_WM_STATE_HIDDEN (minimised)
  bool overrideRedirect = false;
  std::optional<std::int32_t> pid;       // _NET_WM_PID
  std::optional<std::string> className;  // class part of WM_CLASS, UTF-8
  std::optional<std::string> title;      // _NET_WM_NAME, else WM_NAME, UTF-8
  // The client area in root coordinates; for a client-side decorated window
  // (_GTK_FRAME_EXTENTS) without its invisible shadow margins.
  std::optional<Rect> bounds;
  // What covers the screen: the client area with the window manager's decorations around
  // it (_NET_FRAME_EXTENTS: title bar, borders).
  std::optional<Rect> frame;

  bool onScreen() const { return viewable && !hidden; }
};

// The EWMH window manager that runs the display, when one does.
struct WindowManager {
  xcb_window_t checkWindow = XCB_NONE;  // its _NET_SUPPORTING_WM_CHECK window
  std::vector<xcb_atom_t> supported;    // _NET_SUPPORTED
  bool supports(xcb_atom_t atom) const;
};

// The window manager, after checking that its check window names itself (a stale property
// left by a window manager that has gone counts as none). Two round trips.
std::optional<WindowManager> findWindowManager(X11Display& display);

struct TopLevelWindows {
  bool windowManager = false;      // read from the window manager's client list
  std::vector<X11Window> windows;  // front to back; desktop windows left out
};

// The top-level client windows, front to back.
//  - With an EWMH window manager: the managed clients in _NET_CLIENT_LIST_STACKING order,
//    reversed, behind the mapped override-redirect windows (menus, tooltips) that sit
//    directly on the root, frontmost first.
//  - Without one: the root's children, reversed; mapped ones always, unmapped ones only
//    with `includeUnmapped` and when they look like client windows (WM_STATE or WM_CLASS
//    set, not override-redirect).
// With `includeUnmapped` false only windows on screen (viewable, not hidden) are kept.
// Windows destroyed while being read are left out. Empty when the connection fails.
TopLevelWindows readTopLevelWindows(X11Display& display, bool includeUnmapped);

// The application a window belongs to, as a process id: its _NET_WM_PID; for a window
// without one (Java, Xt and other clients that never set it) an id no process can have,
// the negative of its window id, so that the window is an application of its own and can
// still be activated and focused through the window manager.
std::int32_t applicationOf(const X11Window& window);

// The name of the application that owns a window: the class part of WM_CLASS, else the
// process name of its _NET_WM_PID (/proc/PID/comm), else nothing.
std::optional<std::string> ownerNameOf(const X11Window& window);

// The process name of a local process, UTF-8; nothing when it is not running.
std::optional<std::string> processName(std::int32_t pid);

}  // namespace orvo::platform::x11
