#include "updates/AppcastUpdaterEngine.h"

#include <sys/stat.h>

#include <cctype>
#include <system_error>

#include "core/Log.h"
#include "platform/PackageInstaller.h"
#include "platform/UpdateVerifier.h"
#include "updates/Appcast.h"

namespace orvo {
namespace {

constexpr const char* kSignatureFailure = "The downloaded update failed its signature check and was deleted.";
constexpr const char* kBusy = "A check for updates or a download is already running.";

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
    : services_(services), config_(std::move(config)), settings_(services.settings) {}

AppcastUpdaterEngine::~AppcastUpdaterEngine() = default;

std::string AppcastUpdaterEngine::feedURL() const {
  if (auto url = settings_.feedURL()) return *url;
  return config_.builtInFeedURL;
}

void AppcastUpdaterEngine::start(UpdaterDelegate& delegate) {
  delegate_ = &delegate;
  setBusy(false);
  // The schedule runs regardless; each turn fetches only when an address is set by then.
  if (feedURL().empty()) logLine(services_.logger, "Updater: no appcast address is set; nothing is checked");
  scheduleCheck(kFirstCheckDelay);
}

void AppcastUpdaterEngine::setBusy(bool busy) {
  busy_ = busy;
  canCheck_.set(!busy_ && !feedURL().empty());
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
  if (busy_) return refuse(kBusy);
  if (!lastFound_ || lastFound_->versionString != versionString) {
    return refuse("This update is no longer on offer; check for updates again.");
  }
  const AppcastItem item = *lastFound_;
  delegate_->didReceiveUserAttentionForUpdate(item);
  std::error_code error;
  if (prepared_ && prepared_->versionString == item.versionString && std::filesystem::exists(prepared_->package, error)) {
    return handOver(prepared_->package, done);
  }
  downloadAndVerify(item, std::move(progress),
                    [this, done](std::optional<std::string> failure, std::filesystem::path package) {
                      if (!failure) return handOver(package, done);
                      delegate_->willFinishUpdateSession();
                      if (done) done(UpdateInstallResult{.error = std::move(failure)});
                    });
}

std::filesystem::path AppcastUpdaterEngine::packagePath(const AppcastItem& item) const {
  return config_.downloadDirectory / packageFileName(item);
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

  setBusy(true);
  logLine(services_.logger, "Updater: downloading", escapeForLog(item.displayVersionString), "from",
          escapeForLog(enclosure.url));
  auto lastTenth = std::make_shared<std::uint64_t>(0);
  auto onProgress = [this, alive = std::weak_ptr(alive_), progress = std::move(progress), expected = enclosure.length,
                     lastTenth](const platform::HttpClient::Progress& step) {
    if (alive.expired()) return;
    const auto total = expected ? expected : step.total;
    if (progress) progress(UpdateProgress{.received = step.received, .expected = total});
    if (total && *total > 0) {
      const auto tenth = std::min<std::uint64_t>(step.received * 10 / *total, 10);
      if (tenth > *lastTenth) {
        *lastTenth = tenth;
        logLine(services_.logger, "Updater: downloaded", std::to_string(tenth * 10) + "%");
      }
    }
  };
  services_.http.download(
      enclosure.url, partial, limit, std::move(onProgress),
      [this, alive = std::weak_ptr(alive_), item, package, partial, done = std::move(done)](
          const platform::HttpClient::Download& result) {
        if (alive.expired()) {
          removeFile(partial);
          return;
        }
        setBusy(false);
        const auto& offered = *item.enclosure;
        std::optional<std::string> failure;
        if (result.tooLarge && offered.length) {
          logLine(services_.logger, "Updater: the download is longer than the", *offered.length,
                  "bytes the appcast announced");
          failure = kSignatureFailure;
        } else if (result.error) {
          failure = "The update could not be downloaded: " + *result.error;
        } else if (!isSuccess(result.status)) {
          failure = "The update could not be downloaded: the server answered HTTP " + std::to_string(result.status) + ".";
        } else if (offered.length && result.bytes != *offered.length) {
          logLine(services_.logger, "Updater: the download has", result.bytes, "bytes; the appcast announced",
                  *offered.length);
          failure = kSignatureFailure;
        } else if (!services_.verifier.verifyFile(partial, offered.edSignature, config_.publicKey)) {
          logLine(services_.logger, "Updater: the ed25519 signature of the download does not match");
          failure = kSignatureFailure;
        }
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
        prepared_ = Prepared{item.versionString, package};
        done(std::nullopt, package);
      });
}

void AppcastUpdaterEngine::handOver(const std::filesystem::path& package, const InstallHandler& done) {
  auto outcome = services_.installer.install(package);
  logLine(services_.logger, "Updater:", outcome.error ? *outcome.error : outcome.message);
  UpdateInstallResult result{.error = std::move(outcome.error), .package = package, .message = std::move(outcome.message)};
  delegate_->willFinishUpdateSession();
  if (done) done(result);
}

}  // namespace orvo
