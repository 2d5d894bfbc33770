#pragma once

#include <mutex>
#include <string>

#include "platform/SettingsStore.h"

namespace orvo {
class Logger;
}

namespace orvo::platform {

// The user defaults as one JSON document (an object of key -> value), by default
// $XDG_CONFIG_HOME/orvo-host/defaults.json. Each write replaces the file atomically. A
// file that cannot be read as a JSON object is renamed aside with the suffix
// ".unreadable-<unix time>" and logged, never silently overwritten.
class FileSettingsStore final : public SettingsStore {
 public:
  FileSettingsStore(std::string path, Logger& logger);
  static std::string defaultPath();

  std::optional<json::Json> value(std::string_view key) const override;
  void setValue(std::string_view key, json::Json value) override;
  void removeValue(std::string_view key) override;

  const std::string& path() const { return path_; }

 private:
  void load();
  void save();

  std::string path_;
  Logger& logger_;
  mutable std::mutex mutex_;
  json::Json document_ = json::Json::object();
  bool writable_ = true;
};

}  // namespace orvo::platform
