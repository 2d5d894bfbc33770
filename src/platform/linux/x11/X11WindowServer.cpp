#include "platform/linux/x11/X11WindowServer.h"

#include "platform/linux/x11/X11WindowQuery.h"

namespace orvo::platform::x11 {

std::vector<WindowInfo> X11WindowServer::copyWindowInfo(WindowListOption option) {
  const auto display = connection_.display();
  if (!display) return {};
  TopLevelWindows found = readTopLevelWindows(*display, option == WindowListOption::all);
  // A display lost halfway through gives a partial answer; report it as the empty one.
  if (display->hasFailed()) return {};
  std::vector<WindowInfo> list;
  list.reserve(found.windows.size());
  for (X11Window& window : found.windows) {
    WindowInfo info;
    info.layer = window.layer;
    info.number = window.window;
    info.ownerName = ownerNameOf(window);
    info.ownerPID = applicationOf(window);
    info.name = std::move(window.title);
    info.bounds = bounds_ == Bounds::frame ? window.frame : window.bounds;
    list.push_back(std::move(info));
  }
  return list;
}

}  // namespace orvo::platform::x11
