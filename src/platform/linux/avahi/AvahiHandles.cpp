#include "platform/linux/avahi/AvahiHandles.h"

#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include <cstdint>
#include <memory>

namespace orvo::platform::avahi {

StringListHandle makeStringList(const TXTRecord& record) {
  // avahi_string_list_add prepends, and the list keeps its strings last-first: adding
  // in record order gives the record's order on the wire.
  AvahiStringList* list = nullptr;
  for (const auto& [key, value] : record) {
    std::string entry = key + "=" + value;
    AvahiStringList* longer =
        avahi_string_list_add_arbitrary(list, reinterpret_cast<const std::uint8_t*>(entry.data()), entry.size());
    if (!longer) {  // out of memory: keep what we have rather than leak it
      break;
    }
    list = longer;
  }
  return StringListHandle(list);
}

TXTRecord recordFromStringList(const AvahiStringList* list) {
  TXTRecord record;
  // The client library rebuilds a resolved record first-first (its D-Bus reader
  // prepends what the daemon sent last-first), so the list is read from its head.
  for (const AvahiStringList* item = list; item; item = item->next) {
    if (item->size == 0) continue;
    std::string_view text(reinterpret_cast<const char*>(item->text), item->size);
    auto equals = text.find('=');
    if (equals == std::string_view::npos) {
      record.emplace_back(std::string(text), std::string());
    } else {
      record.emplace_back(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
  }
  return record;
}

std::string avahiServiceType(std::string_view type) {
  if (!type.empty() && type.back() == '.') type.remove_suffix(1);
  return std::string(type);
}

std::optional<std::string> avahiDomain(std::string_view domain) {
  if (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
  if (domain.empty() || domain == "local") return std::nullopt;
  return std::string(domain);
}

std::string withTrailingDot(std::string_view name) {
  std::string result(name);
  if (result.empty() || result.back() != '.') result += '.';
  return result;
}

std::string alternativeServiceName(const std::string& name) {
  std::unique_ptr<char, decltype(&avahi_free)> next(avahi_alternative_service_name(name.c_str()), &avahi_free);
  // Only fails when out of memory; a visible suffix still ends the collision.
  return next ? std::string(next.get()) : name + " #2";
}

std::string errorText(int avahiError) { return avahi_strerror(avahiError); }

}  // namespace orvo::platform::avahi
