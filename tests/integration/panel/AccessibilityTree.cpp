#include "integration/panel/AccessibilityTree.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>

namespace orvo::testing {
namespace {

struct BusClose {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// An sd_bus_error freed when it goes.
struct BusError {
  sd_bus_error value = SD_BUS_ERROR_NULL;
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { sd_bus_error_free(&value); }
};

Bus connect(const std::string& address) {
  sd_bus* raw = nullptr;
  if (sd_bus_new(&raw) < 0) return nullptr;
  Bus bus(raw);
  if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 || sd_bus_start(raw) < 0) {
    return nullptr;
  }
  return bus;
}

constexpr const char* kAccessible = "org.a11y.atspi.Accessible";

std::vector<std::pair<std::string, std::string>> children(sd_bus* bus, const std::string& destination,
                                                          const std::string& path) {
  BusError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_call_method(bus, destination.c_str(), path.c_str(), kAccessible, "GetChildren", &error.value, &raw, "") <
      0) {
    return {};
  }
  Message reply(raw);
  std::vector<std::pair<std::string, std::string>> out;
  if (sd_bus_message_enter_container(raw, 'a', "(so)") < 0) return {};
  const char* name = nullptr;
  const char* objectPath = nullptr;
  while (sd_bus_message_read(raw, "(so)", &name, &objectPath) > 0) out.emplace_back(name, objectPath);
  return out;
}

std::string accessibleName(sd_bus* bus, const std::string& destination, const std::string& path) {
  BusError error;
  char* value = nullptr;
  if (sd_bus_get_property_string(bus, destination.c_str(), path.c_str(), kAccessible, "Name", &error.value, &value) <
      0) {
    return {};
  }
  std::string name(value);
  std::free(value);
  return name;
}

// One accessible object: its bus name and path, and its name.
struct Node {
  std::string destination;
  std::string path;
  std::string name;
};

void walk(sd_bus* bus, const std::string& destination, const std::string& path, int depth, std::vector<Node>& nodes) {
  if (depth > 40 || nodes.size() > 5000) return;
  nodes.push_back({destination, path, accessibleName(bus, destination, path)});
  for (const auto& [child, childPath] : children(bus, destination, path)) {
    walk(bus, child.empty() ? destination : child, childPath, depth + 1, nodes);
  }
}

std::vector<Node> allNodes(sd_bus* bus) {
  std::vector<Node> out;
  for (const auto& [application, path] : children(bus, "org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root")) {
    walk(bus, application, path, 0, out);
  }
  return out;
}

constexpr const char* kAction = "org.a11y.atspi.Action";

// The index of the object's action named `action`, by org.a11y.atspi.Action.GetName.
std::optional<int> actionIndex(sd_bus* bus, const Node& node, const std::string& action) {
  for (int i = 0; i < 16; ++i) {
    BusError error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_call_method(bus, node.destination.c_str(), node.path.c_str(), kAction, "GetName", &error.value, &raw,
                           "i", i) < 0) {
      return std::nullopt;
    }
    Message reply(raw);
    const char* name = nullptr;
    if (sd_bus_message_read(raw, "s", &name) < 0 || !name || !*name) return std::nullopt;
    if (action == name) return i;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> AccessibilityTree::busAddress() const {
  auto session = connect(sessionBus_);
  if (!session) return std::nullopt;
  BusError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_call_method(session.get(), "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", &error.value,
                         &raw, "") < 0) {
    return std::nullopt;
  }
  Message reply(raw);
  const char* address = nullptr;
  if (sd_bus_message_read(raw, "s", &address) < 0 || !address) return std::nullopt;
  return std::string(address);
}

std::vector<std::string> AccessibilityTree::names() const {
  const auto address = busAddress();
  if (!address) return {};
  auto bus = connect(*address);
  if (!bus) return {};
  std::vector<std::string> out;
  for (auto& node : allNodes(bus.get())) out.push_back(std::move(node.name));
  return out;
}

bool AccessibilityTree::doAction(const std::string& name, const std::string& action) const {
  const auto address = busAddress();
  if (!address) return false;
  auto bus = connect(*address);
  if (!bus) return false;
  for (const auto& node : allNodes(bus.get())) {
    if (node.name != name) continue;
    const auto index = actionIndex(bus.get(), node, action);
    if (!index) return false;
    BusError error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_call_method(bus.get(), node.destination.c_str(), node.path.c_str(), kAction, "DoAction", &error.value,
                           &raw, "i", *index) < 0) {
      return false;
    }
    Message reply(raw);
    int done = 0;
    return sd_bus_message_read(raw, "b", &done) >= 0 && done;
  }
  return false;
}

bool AccessibilityTree::contains(const std::string& name) const {
  const auto all = names();
  return std::find(all.begin(), all.end(), name) != all.end();
}

}  // namespace orvo::testing
