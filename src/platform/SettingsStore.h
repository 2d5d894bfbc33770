#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/Json.h"

namespace orvo::platform {

// The user-defaults store: persistent JSON values by key. Every write is persisted before
// it returns, atomically (a crash leaves the old or the new document, never a torn one).
// Safe to call from any thread.
class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  virtual std::optional<json::Json> value(std::string_view key) const = 0;
  virtual void setValue(std::string_view key, json::Json value) = 0;
  virtual void removeValue(std::string_view key) = 0;
  // Where the values live, for messages (a file path).
  virtual std::string location() const { return "the settings"; }

  // The value when it is present and of that JSON type.
  std::optional<bool> boolean(std::string_view key) const {
    const auto v = value(key);
    if (v && v->is_boolean()) return v->get<bool>();
    return std::nullopt;
  }
  std::optional<std::string> string(std::string_view key) const {
    const auto v = value(key);
    if (v && v->is_string()) return v->get<std::string>();
    return std::nullopt;
  }
};

}  // namespace orvo::platform
