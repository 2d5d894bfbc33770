#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "core/Published.h"
#include "core/Queues.h"
#include "platform/HttpClient.h"
#include "updates/UpdaterEngine.h"
#include "updates/UpdaterSettings.h"

namespace orvo {

class Logger;
namespace platform {
class PackageInstaller;
class SettingsStore;
class UpdateVerifier;
}  // namespace platform

// The updater engine: an RSS appcast read over HTTP(S), versions compared with
// compareVersions, and the project's own package downloaded, checked against its length
// and its ed25519 signature, and handed to the package installer.
//
// Scheduled checks run on the main queue's clock, the first one a minute after start, then
// every SUScheduledCheckInterval seconds while SUEnableAutomaticChecks is on. An update they
// find is offered to the delegate without a window of its own; when both automatic
// downloads and automatic updates are allowed it is also downloaded and verified in the
// background, so that installing it later needs no download. A user-initiated check
// reports to its caller. Errors are logged (lines beginning "Updater: ") and, for
// user-initiated checks and installs, reported to the caller; they never change what was
// found before.
//
// Threading: main queue only. Transfers run on the HTTP client's worker; their results
// come back to the main queue and are dropped once the engine is gone.
class AppcastUpdaterEngine final : public UpdaterEngine {
 public:
  struct Config {
    std::string currentVersion;
    // The appcast address built into the program; SUFeedURL in the settings replaces it.
    std::string builtInFeedURL;
    // Base64 of the 32-byte ed25519 public key that release packages are signed with.
    std::string publicKey;
    // Where downloads go (created 0700 when needed).
    std::filesystem::path downloadDirectory;
  };
  struct Services {
    MainQueue& main;
    Logger& logger;
    platform::SettingsStore& settings;
    platform::HttpClient& http;
    platform::UpdateVerifier& verifier;
    platform::PackageInstaller& installer;
  };

  static constexpr double kFirstCheckDelay = 60.0;
  static constexpr std::size_t kMaxAppcastBytes = 4 * 1024 * 1024;
  static constexpr std::uint64_t kMaxPackageBytes = 256ull * 1024 * 1024;

  AppcastUpdaterEngine(Services services, Config config);
  ~AppcastUpdaterEngine() override;
  AppcastUpdaterEngine(const AppcastUpdaterEngine&) = delete;
  AppcastUpdaterEngine& operator=(const AppcastUpdaterEngine&) = delete;

  void start(UpdaterDelegate& delegate) override;
  const Published<bool>& canCheckForUpdates() const override { return canCheck_; }
  UpdaterSettings& settings() override { return settings_; }
  const std::string& currentVersion() const override { return config_.currentVersion; }
  void checkForUpdates(CheckHandler done) override;
  void installUpdate(const std::string& versionString, ProgressHandler progress, InstallHandler done) override;

  // The appcast address in use: the settings' one, else the built-in one; empty when none.
  std::string feedURL() const;

 private:
  struct Alive {};
  using VerifiedHandler = std::function<void(std::optional<std::string> error, std::filesystem::path package)>;

  void scheduleCheck(double delay);
  void scheduledCheck();
  void runCheck(bool userInitiated, CheckHandler done);
  void finishCheck(bool userInitiated, const CheckHandler& done, const platform::HttpClient::Response& response);
  void downloadAndVerify(const AppcastItem& item, ProgressHandler progress, VerifiedHandler done);
  void handOver(const std::filesystem::path& package, const InstallHandler& done);
  void setBusy(bool busy);
  std::filesystem::path packagePath(const AppcastItem& item) const;

  Services services_;
  Config config_;
  UpdaterSettings settings_;
  UpdaterDelegate* delegate_ = nullptr;
  Published<bool> canCheck_{false};
  bool busy_ = false;
  std::optional<AppcastItem> lastFound_;
  // A verified package, kept so that installing that version again needs no download.
  struct Prepared {
    std::string versionString;
    std::filesystem::path package;
  };
  std::optional<Prepared> prepared_;
  std::shared_ptr<Alive> alive_ = std::make_shared<Alive>();
};

}  // namespace orvo
