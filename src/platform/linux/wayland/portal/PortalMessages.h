#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace orvo::platform::portal {

// The values of the portal's option maps (a{sv}) that the host writes or reads: b, u, i,
// d, s, o and (ii). Values of other types are skipped when read.
struct IntPair {
  std::int32_t first = 0;
  std::int32_t second = 0;
  friend bool operator==(const IntPair&, const IntPair&) = default;
};
using OptionValue = std::variant<bool, std::uint32_t, std::int32_t, double, std::string, IntPair>;
using Options = std::map<std::string, OptionValue>;

// One stream of a started session: a PipeWire node and its properties ("size", "position",
// "source_type", "id", "mapping_id", ...).
struct PortalStream {
  std::uint32_t nodeId = 0;
  Options properties;
};

// What a Request's Response carries (a{sv}), with "streams" (a(ua{sv})) read apart.
struct PortalResults {
  Options values;
  std::vector<PortalStream> streams;
};

// Appends `options` as an a{sv}. A negative errno on failure.
int appendOptions(sd_bus_message* message, const Options& options);
// Reads an a{sv} (the message's next argument). A negative errno on failure.
int readResults(sd_bus_message* message, PortalResults& results);

template <class T>
std::optional<T> optionValue(const Options& options, const std::string& key) {
  const auto it = options.find(key);
  if (it == options.end()) return std::nullopt;
  if (const T* value = std::get_if<T>(&it->second)) return *value;
  return std::nullopt;
}

// The path of the Request object that a call with `token` as its handle_token will create:
// /org/freedesktop/portal/desktop/request/SENDER/TOKEN, SENDER being the caller's unique
// bus name without its ':' and with '_' for each '.'.
std::string requestPath(const std::string& uniqueName, const std::string& token);
// Likewise /org/freedesktop/portal/desktop/session/SENDER/TOKEN.
std::string sessionPath(const std::string& uniqueName, const std::string& token);

}  // namespace orvo::platform::portal
