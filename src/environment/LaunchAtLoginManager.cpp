#include "environment/LaunchAtLoginManager.h"

namespace orvo {

LaunchAtLoginManager::LaunchAtLoginManager(platform::LoginItemService& service) : service_(service) {
  isEnabled_.set(readIsEnabled());
}

bool LaunchAtLoginManager::readIsEnabled() { return service_.status() == platform::LoginItemStatus::enabled; }

void LaunchAtLoginManager::setEnabled(bool wanted) {
  const bool currentlyOn = readIsEnabled();
  std::optional<std::string> failure;
  if (wanted && !currentlyOn) failure = service_.registerItem();
  if (!wanted && currentlyOn) failure = service_.unregisterItem();
  errorMessage_.set(failure);
  isEnabled_.set(readIsEnabled());
}

void LaunchAtLoginManager::refresh() {
  const bool now = readIsEnabled();
  if (now != *isEnabled_) isEnabled_.set(now);
}

}  // namespace orvo
