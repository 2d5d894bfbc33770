#pragma once

#include <optional>
#include <string>

namespace orvo::platform {

// What the system says about the program starting at login. Only `enabled` means it will
// start; a registration that still waits for the user's approval counts as off.
enum class LoginItemStatus {
  notRegistered = 0,
  enabled = 1,
  requiresApproval = 2,
  notFound = 3,
};

// The system's login-item service for this program. Main queue (one thread at a time).
class LoginItemService {
 public:
  virtual ~LoginItemService() = default;
  virtual LoginItemStatus status() = 0;
  // Each returns a description of the failure, or nothing on success. A failure leaves
  // the registration as it was.
  virtual std::optional<std::string> registerItem() = 0;
  virtual std::optional<std::string> unregisterItem() = 0;
};

}  // namespace orvo::platform
