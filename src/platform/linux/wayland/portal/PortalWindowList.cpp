#include "platform/linux/wayland/portal/PortalWindowList.h"

#include <algorithm>
#include <cmath>

namespace orvo::platform::portal {

void PortalWindowList::publish(std::vector<PortalWindow> windows) {
  windows_.store(std::make_shared<const std::vector<PortalWindow>>(std::move(windows)));
}

std::vector<WindowInfo> PortalWindowList::copyWindowInfo(WindowListOption) {
  std::vector<WindowInfo> list;
  const auto windows = windows_.load();
  if (!windows) return list;
  for (const auto& window : *windows) {
    if (window.width <= 0 || window.height <= 0) continue;
    WindowInfo info;
    info.layer = 0;
    info.number = window.windowId;
    if (!window.appName.empty()) info.ownerName = window.appName;
    info.name = window.title;
    info.bounds = Rect{window.slot * slotWidth, 0, static_cast<double>(window.width),
                       static_cast<double>(window.height)};
    list.push_back(std::move(info));
  }
  return list;
}

std::optional<PortalWindowList::StreamPoint> PortalWindowList::streamAt(Point point) const {
  const auto windows = windows_.load();
  if (!windows || !std::isfinite(point.x) || !std::isfinite(point.y)) return std::nullopt;
  const double slot = std::floor(point.x / slotWidth);
  for (const auto& window : *windows) {
    if (window.slot != slot || window.width <= 0 || window.height <= 0) continue;
    // Off-picture points land on its edge, as pointer positions do on a screen's.
    return StreamPoint{window.nodeId, std::clamp(point.x - slot * slotWidth, 0.0, window.width - 1.0),
                       std::clamp(point.y, 0.0, window.height - 1.0)};
  }
  return std::nullopt;
}

}  // namespace orvo::platform::portal
