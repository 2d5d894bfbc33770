#include "updates/UpdaterSettings.h"

#include <algorithm>
#include <cmath>

#include "platform/SettingsStore.h"

namespace orvo {
namespace {

constexpr const char* kAutomaticChecksKey = "SUEnableAutomaticChecks";
constexpr const char* kAutomaticDownloadsKey = "SUAutomaticallyUpdate";
constexpr const char* kAllowsAutomaticKey = "SUAllowsAutomaticUpdates";
constexpr const char* kIntervalKey = "SUScheduledCheckInterval";
constexpr const char* kFeedURLKey = "SUFeedURL";

}  // namespace

UpdaterSettings::UpdaterSettings(platform::SettingsStore& store)
    : store_(store),
      automaticallyChecks_(readBoolean(kAutomaticChecksKey, true)),
      automaticallyDownloads_(readBoolean(kAutomaticDownloadsKey, false)),
      allowsAutomatic_(readBoolean(kAllowsAutomaticKey, false)) {}

bool UpdaterSettings::readBoolean(const char* key, bool fallback) const { return store_.boolean(key).value_or(fallback); }

void UpdaterSettings::setAutomaticallyChecksForUpdates(bool enabled) {
  store_.setValue(kAutomaticChecksKey, enabled);
  automaticallyChecks_.set(readBoolean(kAutomaticChecksKey, true));
}

void UpdaterSettings::setAutomaticallyDownloadsUpdates(bool enabled) {
  store_.setValue(kAutomaticDownloadsKey, enabled);
  automaticallyDownloads_.set(readBoolean(kAutomaticDownloadsKey, false));
}

double UpdaterSettings::updateCheckInterval() const {
  const auto value = store_.value(kIntervalKey);
  if (!value || !value->is_number()) return kDefaultCheckInterval;
  const double seconds = value->get<double>();
  if (!std::isfinite(seconds) || seconds <= 0) return kDefaultCheckInterval;
  return std::max(seconds, kMinimumCheckInterval);
}

std::optional<std::string> UpdaterSettings::feedURL() const {
  auto url = store_.string(kFeedURLKey);
  if (url && url->empty()) return std::nullopt;
  return url;
}

}  // namespace orvo
