#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "core/Published.h"
#include "updates/AppcastItem.h"

namespace orvo {

class UpdaterSettings;

// What the updater answers to everything when the program was built without the key that
// release packages are signed with.
inline constexpr const char* kUpdatesNotConfigured = "Updates are not configured in this build";

// How the engine tells its owner what it found and what the user did. The update
// controller implements it. Every call arrives on the main queue.
class UpdaterDelegate {
 public:
  virtual ~UpdaterDelegate() = default;

  // A check (scheduled or user-initiated) found `item`, newer than the running version.
  virtual void didFindValidUpdate(const AppcastItem& item) = 0;
  // A check found nothing newer, or failed (`error` then says why).
  virtual void didNotFindUpdate(const std::optional<std::string>& error) = 0;
  // Asked before an update found by a scheduled check is shown: true lets the engine's
  // own presentation show it, false leaves it to the delegate.
  virtual bool shouldHandleShowingScheduledUpdate(const AppcastItem& item, bool immediateFocus) = 0;
  // The update is about to be presented; `handleShowing` says whether the engine's own
  // presentation shows it, `userInitiated` whether a user-initiated check found it.
  virtual void willHandleShowingUpdate(bool handleShowing, const AppcastItem& item, bool userInitiated) = 0;
  // The user answered the update (installing it).
  virtual void didReceiveUserAttentionForUpdate(const AppcastItem& item) = 0;
  // The update session ends: installed, refused, failed or dismissed.
  virtual void willFinishUpdateSession() = 0;
};

// The outcome of a user-initiated check, reported to whoever asked.
struct UpdateCheckResult {
  std::string currentVersion;         // the running version
  std::optional<AppcastItem> update;  // the newest newer item, when there is one
  std::optional<std::string> error;   // why the check failed

  bool failed() const { return error.has_value(); }
};

// Progress of a download: bytes received so far and the expected total, when known.
struct UpdateProgress {
  std::uint64_t received = 0;
  std::optional<std::uint64_t> expected;
};

// The outcome of installing an update.
struct UpdateInstallResult {
  std::optional<std::string> error;  // why it did not happen; no file is left behind then
  std::filesystem::path package;     // the verified package
  std::string message;               // what happened next, for the user
  bool failed() const { return error.has_value(); }
};

// The updater: reads the appcast, compares versions, runs scheduled checks, downloads and
// verifies an update and hands it to the system's installer. Every method runs on the main
// queue and every callback is delivered there. Callbacks of work still running when the
// engine goes are dropped, never called.
class UpdaterEngine {
 public:
  using CheckHandler = std::function<void(const UpdateCheckResult&)>;
  using ProgressHandler = std::function<void(const UpdateProgress&)>;
  using InstallHandler = std::function<void(const UpdateInstallResult&)>;

  virtual ~UpdaterEngine() = default;

  // Starts the updater: from now on the delegate is called and scheduled checks run. The
  // delegate must outlive the engine. Called once.
  virtual void start(UpdaterDelegate& delegate) = 0;
  // True while a check may start now: an appcast address is set and no check or
  // download is running.
  virtual const Published<bool>& canCheckForUpdates() const = 0;
  virtual UpdaterSettings& settings() = 0;
  // The version this program runs.
  virtual const std::string& currentVersion() const = 0;

  // A user-initiated check; `done` receives the outcome.
  virtual void checkForUpdates(CheckHandler done) = 0;
  // Downloads the update found last with machine version `versionString`, verifies it and
  // hands it to the installer. Fails at once when no such update was found.
  virtual void installUpdate(const std::string& versionString, ProgressHandler progress, InstallHandler done) = 0;
  // Stops the download under way (started by installUpdate or in the background): its
  // caller then hears that it was cancelled, and nothing is kept. Returns the version
  // shown for the download stopped; nothing when none runs.
  virtual std::optional<std::string> cancelDownload() = 0;
  // False when this build cannot verify updates (no public key): nothing is then fetched.
  virtual bool isConfigured() const = 0;
};

}  // namespace orvo
