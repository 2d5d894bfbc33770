#pragma once

#include <optional>
#include <string>

#include "core/Published.h"
#include "platform/LoginItems.h"

namespace orvo {

// Whether the host starts when the user logs in, mirrored from the system's login-item
// service for the settings toggle, with the text of the last failed change.
//
// `isEnabled` always shows what the system reports (re-read after every attempt), never
// what was asked for: a change that failed, or that waits for approval, reads as off.
//
// Everything runs on the thread that owns the manager (the host's main queue); observers
// on another thread re-post what they receive. The service must outlive the manager.
class LaunchAtLoginManager {
 public:
  // Reads the current state into `isEnabled`.
  explicit LaunchAtLoginManager(platform::LoginItemService& service);
  LaunchAtLoginManager(const LaunchAtLoginManager&) = delete;
  LaunchAtLoginManager& operator=(const LaunchAtLoginManager&) = delete;

  // Registered and enabled as a login item.
  const Published<bool>& isEnabled() const { return isEnabled_; }
  // Description of the last failed register or unregister; none after a success.
  const Published<std::optional<std::string>>& errorMessage() const { return errorMessage_; }

  // Registers or unregisters as needed (nothing when the state already matches), then
  // re-reads the state. A failure sets `errorMessage`; a success or no call clears it.
  void setEnabled(bool wanted);
  // Re-reads the state, for when it may have changed outside the host (the user edited
  // or removed the entry). Announces only a change; `errorMessage` stays.
  void refresh();

 private:
  bool readIsEnabled();

  platform::LoginItemService& service_;
  Published<bool> isEnabled_{false};
  Published<std::optional<std::string>> errorMessage_;
};

}  // namespace orvo
