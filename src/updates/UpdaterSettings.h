#pragma once

#include <optional>
#include <string>

#include "core/Published.h"

namespace orvo {
namespace platform {
class SettingsStore;
}

// The user's update preferences, kept in the host's settings file under the updater's own
// keys. Each preference is published so that the update controller can mirror it.
//
// Keys (absent or of the wrong type means the default):
//   "SUEnableAutomaticChecks"   boolean, default true: scheduled checks run
//   "SUAutomaticallyUpdate"     boolean, default false: a found update is downloaded and
//                               verified in the background (only when allowed, below)
//   "SUAllowsAutomaticUpdates"  boolean, default false: whether automatic downloads may happen
//   "SUScheduledCheckInterval"  number of seconds between scheduled checks, default one day
//   "SUFeedURL"                 text: the appcast address, replacing the one built in
//
// Main queue only.
class UpdaterSettings {
 public:
  static constexpr double kDefaultCheckInterval = 86400.0;
  // Shorter intervals are raised to this: a feed is not polled more than once an hour.
  static constexpr double kMinimumCheckInterval = 3600.0;

  explicit UpdaterSettings(platform::SettingsStore& store);
  UpdaterSettings(const UpdaterSettings&) = delete;
  UpdaterSettings& operator=(const UpdaterSettings&) = delete;

  const Published<bool>& automaticallyChecksForUpdates() const { return automaticallyChecks_; }
  const Published<bool>& automaticallyDownloadsUpdates() const { return automaticallyDownloads_; }
  const Published<bool>& allowsAutomaticUpdates() const { return allowsAutomatic_; }

  // Persists the preference and announces the stored value.
  void setAutomaticallyChecksForUpdates(bool enabled);
  void setAutomaticallyDownloadsUpdates(bool enabled);

  // Read from the store on every call, so a changed file takes effect at the next check.
  double updateCheckInterval() const;
  std::optional<std::string> feedURL() const;

 private:
  bool readBoolean(const char* key, bool fallback) const;

  platform::SettingsStore& store_;
  Published<bool> automaticallyChecks_;
  Published<bool> automaticallyDownloads_;
  Published<bool> allowsAutomatic_;
};

}  // namespace orvo
