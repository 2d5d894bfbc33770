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
// ".unreadable-<unix time>" and logged, never silently overwritten. A file that exists but
// cannot be read at all (permission denied, an I/O error) is never written: loadError()
// says why, and the host does not start on it.
class FileSettingsStore final : public SettingsStore {
 public:
  FileSettingsStore(std::string path, Logger& logger);
  static std::string defaultPath();

  std::optional<json::Json> value(std::string_view key) const override;
  void setValue(std::string_view key, json::Json value) override;
  void removeValue(std::string_view key) override;

  const std::string& path() const { return path_; }
  std::string location() const override { return path_; }
  // Why the existing file could not be read; nothing when it was read or does not exist.
  const std::optional<std::string>& loadError() const { return loadError_; }

 private:
  void load();
  void save();

  std::string path_;
  Logger& logger_;
  mutable std::mutex mutex_;
  json::Json document_ = json::Json::object();
  bool writable_ = true;
  std::optional<std::string> loadError_;
};

}  // namespace orvo::platform
