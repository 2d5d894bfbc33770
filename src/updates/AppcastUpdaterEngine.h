#pragma once

#include <chrono>
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
class PackageReader;
class PackageInstaller;
class SettingsStore;
class UpdateVerifier;
}  // namespace platform

// The updater engine: an RSS appcast read over HTTPS, versions compared with
// compareVersions, and the project's own package downloaded, checked and handed to the
// package installer.
//
// Nothing is fetched unless a valid public key is built in: without one every check and
// install answers kUpdatesNotConfigured. The HTTP client fetches https only and refuses
// redirects from https to http.
//
// A download must end within kDownloadDeadlineAllowance seconds plus its announced length
// at kMinimumDownloadRate, and cancelDownload() stops it. The package it leaves is
// accepted only when its length is the announced one, its ed25519 signature holds under
// the built-in key, and the package says of itself (its control data, read after the
// signature check) that it is `packageName` in exactly the version the appcast announced,
// newer than the running one both by compareVersions and by the package manager's order. The same checks run again right before the package is
// handed over, also for one downloaded days before. A package that fails is deleted.
// These checks read the whole file and run on the `worker` queue, never the main queue.
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
    // The name every update package must carry.
    std::string packageName = "orvo-host";
    // A download may take kDownloadDeadlineAllowance plus its length at this rate (bytes
    // per second); tests make them small.
    double minimumDownloadRate = kMinimumDownloadRate;
    double downloadDeadlineAllowance = kDownloadDeadlineAllowance;
  };
  struct Services {
    MainQueue& main;
    Logger& logger;
    platform::SettingsStore& settings;
    platform::HttpClient& http;
    platform::UpdateVerifier& verifier;
    platform::PackageReader& packageReader;
    platform::PackageInstaller& installer;
    // Runs the checks of downloaded packages (they read the whole file).
    SerialQueue& worker;
  };

  static constexpr double kMinimumDownloadRate = 64 * 1024;
  static constexpr double kDownloadDeadlineAllowance = 60;
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
  std::optional<std::string> cancelDownload() override;
  bool isConfigured() const override { return configured_; }

  // The appcast address in use: the settings' one, else the built-in one; empty when none.
  std::string feedURL() const;
  // How long a download of `length` bytes (the largest allowed when not announced) may take.
  std::chrono::milliseconds downloadDeadline(std::optional<std::uint64_t> length) const;

 private:
  struct Alive {};
  using VerifiedHandler = std::function<void(std::optional<std::string> error, std::filesystem::path package)>;
  using CheckedHandler = std::function<void(std::optional<std::string> error)>;

  void scheduleCheck(double delay);
  void scheduledCheck();
  void runCheck(bool userInitiated, CheckHandler done);
  void finishCheck(bool userInitiated, const CheckHandler& done, const platform::HttpClient::Response& response);
  void downloadAndVerify(const AppcastItem& item, ProgressHandler progress, VerifiedHandler done);
  void finishDownload(const std::filesystem::path& partial, const std::filesystem::path& package,
                      const std::string& versionString, std::optional<std::string> failure, const VerifiedHandler& done);
  // Checks `package` against `item` on the worker queue; `done` runs on the main queue
  // (not once the engine is gone) with the reason it failed, if it did.
  void checkPackage(const std::filesystem::path& package, const AppcastItem& item, CheckedHandler done);
  void handOver(const std::filesystem::path& package, const AppcastItem& item, InstallHandler done);
  void setBusy(bool busy);
  std::filesystem::path packagePath(const AppcastItem& item) const;

  Services services_;
  Config config_;
  UpdaterSettings settings_;
  UpdaterDelegate* delegate_ = nullptr;
  const bool configured_;
  Published<bool> canCheck_{false};
  bool busy_ = false;
  // The download under way, from its start until its package is checked.
  struct Running {
    std::string displayVersion;
    std::optional<platform::HttpClient::TransferId> transfer;  // until the transfer ends
    bool cancelled = false;
  };
  std::optional<Running> download_;
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
