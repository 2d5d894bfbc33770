#pragma once

#include "platform/WindowServer.h"
#include "platform/linux/x11/X11Connection.h"

namespace orvo::platform::x11 {

// The window list of an X display (see readTopLevelWindows for how windows are found and
// ordered, and the `layer` namespace for the layers). Each entry carries:
//   number     the client window's id (not its window manager frame's)
//   layer      0 for normal application windows, another value for the rest
//   ownerName  class part of WM_CLASS, else the process name of _NET_WM_PID
//   ownerPID   _NET_WM_PID; for a window without it, the negative of its window id (see
//              applicationOf), which X11WindowActivation takes as that window alone
//   name       _NET_WM_NAME (UTF-8), else WM_NAME (Latin-1 / COMPOUND_TEXT), as UTF-8
//   bounds     the client area in root coordinates, also inside a frame, without the
//              shadow margins of a client-side decorated window (_GTK_FRAME_EXTENTS);
//              or, for a server made with Bounds::frame, the area the window covers on
//              screen: that client area with the window manager's decorations
//              (_NET_FRAME_EXTENTS), as the topmost-window test of input admission needs
// A window is on screen when it is viewable and not _NET_WM_STATE_HIDDEN.
//
// Keeps no state: every call reads the server afresh through the connection, which it
// does not own and which must outlive it. Any thread; callers on different queues are
// best served by different connections (X11Connection.h).
class X11WindowServer final : public WindowServer {
 public:
  enum class Bounds { clientArea, frame };

  explicit X11WindowServer(X11Connection& connection, Bounds bounds = Bounds::clientArea)
      : connection_(connection), bounds_(bounds) {}
  X11WindowServer(const X11WindowServer&) = delete;
  X11WindowServer& operator=(const X11WindowServer&) = delete;

  std::vector<WindowInfo> copyWindowInfo(WindowListOption option) override;

 private:
  X11Connection& connection_;
  const Bounds bounds_;
};

}  // namespace orvo::platform::x11
