#pragma once

#include <optional>
#include <string>
#include <vector>

namespace orvo::testing {

// Reads what a screen reader sees: the names of the accessible objects of every
// application registered on the AT-SPI accessibility bus, found through the session bus
// at `sessionBusAddress`. Test thread only.
class AccessibilityTree {
 public:
  explicit AccessibilityTree(std::string sessionBusAddress) : sessionBus_(std::move(sessionBusAddress)) {}

  // The accessibility bus address (org.a11y.Bus.GetAddress), once the bus is up.
  std::optional<std::string> busAddress() const;
  // Every accessible name, depth first; empty when the bus cannot be read.
  std::vector<std::string> names() const;
  bool contains(const std::string& name) const;
  // Runs the action named `action` ("Press", "Toggle") of the first object named `name`, as
  // a screen reader does; false when there is no such object or action, or it failed.
  bool doAction(const std::string& name, const std::string& action) const;

 private:
  std::string sessionBus_;
};

}  // namespace orvo::testing
