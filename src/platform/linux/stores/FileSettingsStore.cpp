#include "platform/linux/stores/FileSettingsStore.h"

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "core/AtomicFile.h"
#include "core/Log.h"
#include "platform/linux/stores/StandardPaths.h"

namespace orvo::platform {

FileSettingsStore::FileSettingsStore(std::string path, Logger& logger) : path_(std::move(path)), logger_(logger) {
  load();
}

std::string FileSettingsStore::defaultPath() { return linux_paths::configHome() + "/orvo-host/defaults.json"; }

void FileSettingsStore::load() {
  std::string error;
  const auto content = readFile(path_, &error);
  if (!content) {
    if (!error.empty()) {
      // Replacing a file we could not read would lose it: leave it exactly as it is.
      writable_ = false;
      loadError_ = "the settings file " + path_ + " exists but cannot be read (" + error +
                   "); it was left as it is. Fix its permissions or move it away, then start again.";
      logLine(logger_, "OrvoHost: cannot read settings:", error);
    }
    return;
  }
  std::string parseError;
  auto parsed = json::parseDocument(*content, &parseError);
  if (parsed && parsed->is_object()) {
    document_ = std::move(*parsed);
    return;
  }
  if (parseError.empty()) parseError = "not a JSON object";
  const std::string aside = path_ + ".unreadable-" + std::to_string(std::time(nullptr));
  if (std::rename(path_.c_str(), aside.c_str()) == 0) {
    logLine(logger_, "OrvoHost: settings file", path_, "is unreadable (" + parseError + "); kept as", aside);
  } else {
    // Never overwrite what we could not read: leave the file alone and keep changes in memory.
    writable_ = false;
    logLine(logger_, "OrvoHost: settings file", path_, "is unreadable (" + parseError +
                                                           ") and could not be moved aside; changes will not be saved");
  }
}

void FileSettingsStore::save() {
  if (!writable_) return;
  if (auto error = makeDirectories(std::filesystem::path(path_).parent_path().string(), 0700)) {
    logLine(logger_, "OrvoHost: cannot save settings:", *error);
    return;
  }
  if (auto error = writeFileAtomically(path_, document_.dump(2) + "\n", 0600)) {
    logLine(logger_, "OrvoHost: cannot save settings:", *error);
  }
}

std::optional<json::Json> FileSettingsStore::value(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const auto found = document_.find(key);
  if (found == document_.end()) return std::nullopt;
  return *found;
}

void FileSettingsStore::setValue(std::string_view key, json::Json value) {
  std::lock_guard lock(mutex_);
  document_[std::string(key)] = std::move(value);
  save();
}

void FileSettingsStore::removeValue(std::string_view key) {
  std::lock_guard lock(mutex_);
  if (document_.erase(std::string(key)) > 0) save();
}

}  // namespace orvo::platform
