#include "integration/panel/AccessibilityTree.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
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

void walk(sd_bus* bus, const std::string& destination, const std::string& path, int depth,
          std::vector<std::string>& names) {
  if (depth > 40 || names.size() > 5000) return;
  names.push_back(accessibleName(bus, destination, path));
  for (const auto& [child, childPath] : children(bus, destination, path)) {
    walk(bus, child.empty() ? destination : child, childPath, depth + 1, names);
  }
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
  for (const auto& [application, path] :
       children(bus.get(), "org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root")) {
    walk(bus.get(), application, path, 0, out);
  }
  return out;
}

bool AccessibilityTree::contains(const std::string& name) const {
  const auto all = names();
  return std::find(all.begin(), all.end(), name) != all.end();
}

}  // namespace orvo::testing
