#include "platform/linux/wayland/portal/PortalMessages.h"

#include <cerrno>
#include <cstring>

namespace orvo::platform::portal {
namespace {

int appendValue(sd_bus_message* m, const OptionValue& value) {
  return std::visit(
      [m](const auto& v) -> int {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) return sd_bus_message_append(m, "v", "b", static_cast<int>(v));
        if constexpr (std::is_same_v<T, std::uint32_t>) return sd_bus_message_append(m, "v", "u", v);
        if constexpr (std::is_same_v<T, std::int32_t>) return sd_bus_message_append(m, "v", "i", v);
        if constexpr (std::is_same_v<T, double>) return sd_bus_message_append(m, "v", "d", v);
        if constexpr (std::is_same_v<T, std::string>) return sd_bus_message_append(m, "v", "s", v.c_str());
        if constexpr (std::is_same_v<T, IntPair>) return sd_bus_message_append(m, "v", "(ii)", v.first, v.second);
      },
      value);
}

// Reads the variant at the current position into `value`; false (the variant skipped)
// when its type is not one the host reads.
int readVariant(sd_bus_message* m, std::optional<OptionValue>& value) {
  const char* contents = nullptr;
  char type = 0;
  int r = sd_bus_message_peek_type(m, &type, &contents);
  if (r < 0) return r;
  if (type != SD_BUS_TYPE_VARIANT || !contents) return -EINVAL;
  const std::string signature = contents;
  if (signature == "b") {
    int v = 0;
    r = sd_bus_message_read(m, "v", "b", &v);
    if (r >= 0) value = v != 0;
  } else if (signature == "u") {
    std::uint32_t v = 0;
    r = sd_bus_message_read(m, "v", "u", &v);
    if (r >= 0) value = v;
  } else if (signature == "i") {
    std::int32_t v = 0;
    r = sd_bus_message_read(m, "v", "i", &v);
    if (r >= 0) value = v;
  } else if (signature == "d") {
    double v = 0;
    r = sd_bus_message_read(m, "v", "d", &v);
    if (r >= 0) value = v;
  } else if (signature == "s" || signature == "o") {
    const char* v = nullptr;
    r = sd_bus_message_read(m, "v", signature.c_str(), &v);
    if (r >= 0) value = std::string(v ? v : "");
  } else if (signature == "(ii)") {
    std::int32_t a = 0, b = 0;
    r = sd_bus_message_read(m, "v", "(ii)", &a, &b);
    if (r >= 0) value = IntPair{a, b};
  } else {
    r = sd_bus_message_skip(m, "v");
  }
  return r;
}

int readOptionEntries(sd_bus_message* m, Options& options, std::vector<PortalStream>* streams) {
  int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
    if (streams && key && std::strcmp(key, "streams") == 0) {
      if ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, "a(ua{sv})")) < 0) return r;
      if ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "(ua{sv})")) < 0) return r;
      while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_STRUCT, "ua{sv}")) > 0) {
        PortalStream stream;
        if ((r = sd_bus_message_read(m, "u", &stream.nodeId)) < 0) return r;
        if ((r = readOptionEntries(m, stream.properties, nullptr)) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        streams->push_back(std::move(stream));
      }
      if (r < 0) return r;
      if ((r = sd_bus_message_exit_container(m)) < 0) return r;
      if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    } else {
      std::optional<OptionValue> value;
      if ((r = readVariant(m, value)) < 0) return r;
      if (value && key) options[key] = std::move(*value);
    }
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

std::string senderPart(const std::string& uniqueName) {
  std::string sender = uniqueName.starts_with(':') ? uniqueName.substr(1) : uniqueName;
  for (char& c : sender) {
    if (c == '.') c = '_';
  }
  return sender;
}

}  // namespace

int appendOptions(sd_bus_message* m, const Options& options) {
  int r = sd_bus_message_open_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
  if (r < 0) return r;
  for (const auto& [key, value] : options) {
    if ((r = sd_bus_message_open_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv")) < 0) return r;
    if ((r = sd_bus_message_append(m, "s", key.c_str())) < 0) return r;
    if ((r = appendValue(m, value)) < 0) return r;
    if ((r = sd_bus_message_close_container(m)) < 0) return r;
  }
  return sd_bus_message_close_container(m);
}

int readResults(sd_bus_message* message, PortalResults& results) {
  return readOptionEntries(message, results.values, &results.streams);
}

std::string requestPath(const std::string& uniqueName, const std::string& token) {
  return "/org/freedesktop/portal/desktop/request/" + senderPart(uniqueName) + "/" + token;
}

std::string sessionPath(const std::string& uniqueName, const std::string& token) {
  return "/org/freedesktop/portal/desktop/session/" + senderPart(uniqueName) + "/" + token;
}

}  // namespace orvo::platform::portal
