#include "updates/AppcastUpdaterEngine.h"

#include <sys/stat.h>

#include <cctype>
#include <system_error>

#include "core/Coding.h"
#include "core/Log.h"
#include "platform/PackageReader.h"
#include "platform/PackageInstaller.h"
#include "platform/UpdateVerifier.h"
#include "updates/Appcast.h"
#include "updates/VersionComparison.h"

namespace orvo {
namespace {

constexpr const char* kSignatureFailure = "The downloaded update failed its signature check and was deleted.";
constexpr const char* kBusy = "A check for updates or a download is already running.";
constexpr const char* kCancelled = "The update download was cancelled.";

bool isValidPublicKey(const std::string& base64) {
  const auto key = base64Decode(base64);
  return key && key->size() == 32;
}

bool isSuccess(long status) { return status >= 200 && status < 300; }

// The file name a package is kept under: the last part of its URL when it is a plain
// package name, else a fixed name with the version.
std::string packageFileName(const AppcastItem& item) {
  std::string url = item.enclosure->url;
  url = url.substr(0, url.find_first_of("?#"));
  std::string name = url.substr(url.find_last_of('/') + 1);
  const bool plain = !name.empty() && name.front() != '.' && name.size() <= 200 &&
                     name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._+-~") ==
                         std::string::npos;
  if (plain && name.ends_with(".deb")) return name;
  std::string version;
  for (char c : item.versionString) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' || c == '~') version += c;
  }
  return "orvo-host-update-" + version.substr(0, 64) + ".deb";
}

void removeFile(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

}  // namespace

AppcastUpdaterEngine::AppcastUpdaterEngine(Services services, Config config)
    : services_(services),
      config_(std::move(config)),
      settings_(services.settings),
      configured_(isValidPublicKey(config_.publicKey)) {}

AppcastUpdaterEngine::~AppcastUpdaterEngine() = default;

std::string AppcastUpdaterEngine::feedURL() const {
  if (auto url = settings_.feedURL()) return *url;
  return config_.builtInFeedURL;
}

void AppcastUpdaterEngine::start(UpdaterDelegate& delegate) {
  delegate_ = &delegate;
  setBusy(false);
  if (!configured_) {
    logLine(services_.logger, std::string("Updater: ") + kUpdatesNotConfigured +
                                  " (no key to verify packages with is built in); nothing is fetched");
    return;
  }
  // The schedule runs regardless; each turn fetches only when an address is set by then.
  if (feedURL().empty()) logLine(services_.logger, "Updater: no appcast address is set; nothing is checked");
  scheduleCheck(kFirstCheckDelay);
}

void AppcastUpdaterEngine::setBusy(bool busy) {
  busy_ = busy;
  canCheck_.set(configured_ && !busy_ && !feedURL().empty());
}

void AppcastUpdaterEngine::scheduleCheck(double delay) {
  services_.main.asyncAfter(delay, [this, alive = std::weak_ptr(alive_)] {
    if (!alive.expired()) scheduledCheck();
  });
}

void AppcastUpdaterEngine::scheduledCheck() {
  scheduleCheck(settings_.updateCheckInterval());
  if (!*settings_.automaticallyChecksForUpdates() || busy_ || feedURL().empty()) return;
  runCheck(false, {});
}

void AppcastUpdaterEngine::checkForUpdates(CheckHandler done) {
  UpdateCheckResult refused{.currentVersion = config_.currentVersion};
  if (!configured_) {
    refused.error = kUpdatesNotConfigured;
    if (done) done(refused);
    return;
  }
  if (feedURL().empty()) refused.error = "No appcast address is set (SUFeedURL), so updates cannot be checked.";
  if (busy_) refused.error = kBusy;
  if (refused.failed()) {
    if (done) done(refused);
    return;
  }
  runCheck(true, std::move(done));
}

void AppcastUpdaterEngine::runCheck(bool userInitiated, CheckHandler done) {
  const auto url = feedURL();
  setBusy(true);
  delegate_->willCheckForUpdates();
  logLine(services_.logger, "Updater: checking for updates at", escapeForLog(url));
  services_.http.get(url, kMaxAppcastBytes,
                     [this, alive = std::weak_ptr(alive_), userInitiated, done = std::move(done)](
                         const platform::HttpClient::Response& response) {
                       if (!alive.expired()) finishCheck(userInitiated, done, response);
                     });
}

void AppcastUpdaterEngine::finishCheck(bool userInitiated, const CheckHandler& done,
                                       const platform::HttpClient::Response& response) {
  setBusy(false);
  UpdateCheckResult result{.currentVersion = config_.currentVersion};
  std::optional<Appcast> appcast;
  if (response.error) {
    result.error = "The update information could not be downloaded: " + *response.error;
  } else if (!isSuccess(response.status)) {
    result.error = "The update server answered HTTP " + std::to_string(response.status) + ".";
  } else {
    std::string parseError;
    appcast = Appcast::parse(response.body, parseError);
    if (!appcast) result.error = "The update information is not a valid appcast: " + parseError;
  }
  if (result.failed()) {
    logLine(services_.logger, "Updater: check failed:", escapeForLog(*result.error));
    delegate_->didNotFindUpdate(result.error);
    if (done) done(result);
    return;
  }

  result.update = appcast->bestUpdate(config_.currentVersion);
  if (!result.update) {
    logLine(services_.logger, "Updater: up to date:", escapeForLog(config_.currentVersion));
    delegate_->didNotFindUpdate(std::nullopt);
    if (done) done(result);
    return;
  }
  const AppcastItem item = *result.update;
  logLine(services_.logger, "Updater: update available:",
          escapeForLog(item.displayVersionString + " (" + item.versionString + ")"));
  lastFound_ = item;
  if (prepared_ && prepared_->versionString != item.versionString) prepared_.reset();
  delegate_->didFindValidUpdate(item);
  if (userInitiated) {
    delegate_->willHandleShowingUpdate(true, item, true);
    if (done) done(result);
    return;
  }
  const bool showsItself = delegate_->shouldHandleShowingScheduledUpdate(item, false);
  delegate_->willHandleShowingUpdate(showsItself, item, false);
  if (*settings_.automaticallyDownloadsUpdates() && *settings_.allowsAutomaticUpdates() && !prepared_) {
    downloadAndVerify(item, {}, [this](std::optional<std::string> error, std::filesystem::path package) {
      if (error) return;
      logLine(services_.logger, "Updater: update downloaded and verified in the background:", package.string());
    });
  }
}

void AppcastUpdaterEngine::installUpdate(const std::string& versionString, ProgressHandler progress,
                                         InstallHandler done) {
  auto refuse = [&](std::string error) {
    logLine(services_.logger, "Updater:", error);
    if (done) done(UpdateInstallResult{.error = std::move(error)});
  };
  if (!configured_) return refuse(kUpdatesNotConfigured);
  if (busy_) return refuse(kBusy);
  if (!lastFound_ || lastFound_->versionString != versionString) {
    return refuse("This update is no longer on offer; check for updates again.");
  }
  const AppcastItem item = *lastFound_;
  delegate_->didReceiveUserAttentionForUpdate(item);
  std::error_code error;
  if (prepared_ && prepared_->versionString == item.versionString && std::filesystem::exists(prepared_->package, error)) {
    return handOver(prepared_->package, item, std::move(done));
  }
  downloadAndVerify(item, std::move(progress),
                    [this, item, done](std::optional<std::string> failure, std::filesystem::path package) {
                      if (!failure) return handOver(package, item, done);
                      delegate_->willFinishUpdateSession();
                      if (done) done(UpdateInstallResult{.error = std::move(failure)});
                    });
}

std::filesystem::path AppcastUpdaterEngine::packagePath(const AppcastItem& item) const {
  return config_.downloadDirectory / packageFileName(item);
}

std::chrono::milliseconds AppcastUpdaterEngine::downloadDeadline(std::optional<std::uint64_t> length) const {
  const double bytes = static_cast<double>(length.value_or(kMaxPackageBytes));
  const double seconds = config_.downloadDeadlineAllowance + bytes / config_.minimumDownloadRate;
  return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
}

std::optional<std::string> AppcastUpdaterEngine::cancelDownload() {
  if (!download_ || download_->cancelled) return std::nullopt;
  download_->cancelled = true;
  logLine(services_.logger, "Updater: cancelling the download of", escapeForLog(download_->displayVersion));
  // A transfer ends at once; a check under way ends on its own and is then dropped.
  if (download_->transfer) services_.http.cancel(*download_->transfer);
  return download_->displayVersion;
}

void AppcastUpdaterEngine::downloadAndVerify(const AppcastItem& item, ProgressHandler progress, VerifiedHandler done) {
  const auto& enclosure = *item.enclosure;
  if (enclosure.length && *enclosure.length > kMaxPackageBytes) {
    logLine(services_.logger, "Updater: the update is larger than", kMaxPackageBytes, "bytes; not downloading it");
    return done("The update is too large to download.", {});
  }
  // One package at a time: what an earlier download left is no longer needed.
  std::error_code error;
  std::filesystem::create_directories(config_.downloadDirectory, error);
  ::chmod(config_.downloadDirectory.c_str(), 0700);
  prepared_.reset();
  for (const auto& entry : std::filesystem::directory_iterator(config_.downloadDirectory, error)) {
    if (entry.is_regular_file(error)) removeFile(entry.path());
  }
  const auto package = packagePath(item);
  auto partial = package;
  partial += ".part";
  // One byte more than announced lets a longer body show up as a wrong length.
  const std::uint64_t limit = enclosure.length ? *enclosure.length + 1 : kMaxPackageBytes;
  const auto deadline = downloadDeadline(enclosure.length);

  setBusy(true);
  logLine(services_.logger, "Updater: downloading", escapeForLog(item.displayVersionString), "from",
          escapeForLog(enclosure.url), "(at most", std::chrono::duration_cast<std::chrono::seconds>(deadline).count(),
          "s)");
  auto lastTenth = std::make_shared<std::uint64_t>(0);
  // Shared by the transfer's progress and its end, which reports the verification.
  auto report = std::make_shared<ProgressHandler>(std::move(progress));
  auto onProgress = [this, alive = std::weak_ptr(alive_), report, expected = enclosure.length,
                     lastTenth](const platform::HttpClient::Progress& step) {
    if (alive.expired()) return;
    const auto total = expected ? expected : step.total;
    if (*report) (*report)(UpdateProgress{.received = step.received, .expected = total});
    if (total && *total > 0) {
      const auto tenth = std::min<std::uint64_t>(step.received * 10 / *total, 10);
      if (tenth > *lastTenth) {
        *lastTenth = tenth;
        logLine(services_.logger, "Updater: downloaded", std::to_string(tenth * 10) + "%");
      }
    }
  };
  download_ = Running{.displayVersion = item.displayVersionString};
  download_->transfer = services_.http.download(
      enclosure.url, partial, {.maxBytes = limit, .deadline = deadline}, std::move(onProgress),
      [this, alive = std::weak_ptr(alive_), item, package, partial, report, done = std::move(done)](
          const platform::HttpClient::Download& result) {
        if (alive.expired()) {
          removeFile(partial);
          return;
        }
        download_->transfer.reset();
        const auto& offered = *item.enclosure;
        std::optional<std::string> failure;
        if (result.cancelled || download_->cancelled) {
          failure = kCancelled;
        } else if (result.tooLarge && offered.length) {
          logLine(services_.logger, "Updater: the download is longer than the", *offered.length,
                  "bytes the appcast announced");
          failure = kSignatureFailure;
        } else if (result.error) {
          failure = "The update could not be downloaded: " + *result.error;
        } else if (!isSuccess(result.status)) {
          failure = "The update could not be downloaded: the server answered HTTP " + std::to_string(result.status) + ".";
        }
        if (failure) return finishDownload(partial, package, item.versionString, std::move(failure), done);
        if (*report) (*report)(UpdateProgress{.received = result.bytes, .expected = offered.length, .verifying = true});
        checkPackage(partial, item, [this, item, package, partial, done](std::optional<std::string> refusal) {
          if (download_->cancelled) refusal = kCancelled;
          finishDownload(partial, package, item.versionString, std::move(refusal), done);
        });
      });
}

void AppcastUpdaterEngine::finishDownload(const std::filesystem::path& partial, const std::filesystem::path& package,
                                          const std::string& versionString, std::optional<std::string> failure,
                                          const VerifiedHandler& done) {
  download_.reset();
  setBusy(false);
  std::error_code renameError;
  if (!failure) {
    std::filesystem::rename(partial, package, renameError);
    if (renameError) failure = "The update could not be stored: " + renameError.message();
  }
  if (failure) {
    removeFile(partial);
    logLine(services_.logger, "Updater:", *failure);
    return done(std::move(failure), {});
  }
  prepared_ = Prepared{versionString, package};
  done(std::nullopt, package);
}

void AppcastUpdaterEngine::checkPackage(const std::filesystem::path& package, const AppcastItem& item,
                                        CheckedHandler done) {
  struct Outcome {
    std::optional<std::string> failure;
    std::string detail;  // for the log
  };
  auto check = [&verifier = services_.verifier, &packageReader = services_.packageReader, package, item,
                key = config_.publicKey, current = config_.currentVersion, name = config_.packageName]() -> Outcome {
    const auto& offered = *item.enclosure;
    std::error_code error;
    const auto size = std::filesystem::file_size(package, error);
    if (error) return {kSignatureFailure, "the package cannot be read: " + error.message()};
    if (offered.length && size != *offered.length) {
      return {kSignatureFailure, "the package has " + std::to_string(size) + " bytes; the appcast announced " +
                                     std::to_string(*offered.length)};
    }
    if (!verifier.verifyFile(package, offered.edSignature, key)) {
      return {kSignatureFailure, "the ed25519 signature of the package does not match"};
    }
    // Signed by us, so what it says of itself can be trusted: it must be what was offered.
    std::string why;
    const auto fields = packageReader.readFields(package, why);
    if (!fields) {
      return {"The downloaded update could not be read as a package (" + why + "); it was deleted.", why};
    }
    if (fields->package != name) {
      return {"The downloaded update is a package of “" + fields->package + "”, not of " + name + "; it was deleted.",
              "the package is " + fields->package};
    }
    if (fields->version != item.versionString) {
      return {"The downloaded update is version " + fields->version + ", not the version " + item.versionString +
                  " the appcast announced; it was deleted.",
              "the package is version " + fields->version + "; the appcast announced " + item.versionString};
    }
    // Newer both as the appcast orders versions and as the installer does (they differ on
    // "2.0~1", a pre-release of 2.0 for dpkg).
    const auto newer = packageReader.isNewerVersion(fields->version, current, why);
    if (compareVersions(fields->version, current) <= 0 || !newer || !*newer) {
      return {"The downloaded update is version " + fields->version + ", not newer than the running version " +
                  current + "; it was deleted.",
              "the package is version " + fields->version + ", not newer than " + current +
                  (newer ? std::string() : " (" + why + ")")};
    }
    return {};
  };
  services_.worker.async([check = std::move(check), &main = services_.main, alive = std::weak_ptr(alive_),
                          done = std::move(done), this] {
    auto outcome = check();
    main.async([alive, done, outcome = std::move(outcome), this] {
      if (alive.expired()) return;
      if (outcome.failure) logLine(services_.logger, "Updater: refused the package:", escapeForLog(outcome.detail));
      done(outcome.failure);
    });
  });
}

void AppcastUpdaterEngine::handOver(const std::filesystem::path& package, const AppcastItem& item,
                                    InstallHandler done) {
  // Checked again right before it goes: the file may have lain in the cache for days.
  setBusy(true);
  checkPackage(package, item, [this, package, done = std::move(done)](std::optional<std::string> failure) {
    setBusy(false);
    if (failure) {
      removeFile(package);
      prepared_.reset();
      logLine(services_.logger, "Updater:", *failure);
      delegate_->willFinishUpdateSession();
      if (done) done(UpdateInstallResult{.error = std::move(failure)});
      return;
    }
    auto outcome = services_.installer.install(package);
    logLine(services_.logger, "Updater:", outcome.error ? *outcome.error : outcome.message);
    UpdateInstallResult result{.error = std::move(outcome.error), .package = package, .message = std::move(outcome.message)};
    delegate_->willFinishUpdateSession();
    if (done) done(result);
  });
}

}  // namespace orvo
