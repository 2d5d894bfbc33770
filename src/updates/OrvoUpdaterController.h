#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Published.h"
#include "core/Queues.h"
#include "updates/PendingUpdate.h"
#include "updates/UpdaterEngine.h"

namespace orvo {

// The update controller the user interface talks to. It starts the updater engine, mirrors
// the engine's can-check state and the three update preferences into published booleans,
// offers the check-now action, and keeps the update found and not yet attended to
// (`pendingUpdate`) for the control panel's reminder, which replaces an update window for
// scheduled checks.
//
// Threading: created, used and destroyed on the main queue; every published field is
// written there. The mirrors follow their sources asynchronously: a change is re-posted
// to the main queue, so right after construction the fields hold their initial values
// (canCheckForUpdates false, automaticallyChecksForUpdates true, the others false) until
// the first deliveries run. Posted work holds the controller weakly.
class OrvoUpdaterController final : public UpdaterDelegate,
                                    public std::enable_shared_from_this<OrvoUpdaterController> {
 public:
  // Takes the engine, starts it with this controller as its delegate and subscribes the
  // four mirrors.
  static std::shared_ptr<OrvoUpdaterController> create(std::unique_ptr<UpdaterEngine> engine, MainQueue& main);
  ~OrvoUpdaterController() override;
  OrvoUpdaterController(const OrvoUpdaterController&) = delete;
  OrvoUpdaterController& operator=(const OrvoUpdaterController&) = delete;

  const Published<bool>& canCheckForUpdates() const { return canCheckForUpdates_; }
  const Published<bool>& automaticallyChecksForUpdates() const { return automaticallyChecksForUpdates_; }
  const Published<bool>& automaticallyDownloadsUpdates() const { return automaticallyDownloadsUpdates_; }
  const Published<bool>& allowsAutomaticUpdates() const { return allowsAutomaticUpdates_; }
  const Published<std::optional<PendingUpdate>>& pendingUpdate() const { return pendingUpdate_; }

  UpdaterEngine& updater() { return *engine_; }

  // "Check for Updates…": a user-initiated check. `done` (optional) receives the outcome:
  // up to date, the update found (also set as `pendingUpdate`), or the error.
  void checkForUpdates(UpdaterEngine::CheckHandler done = {});

  // The settings view's "Update automatically" toggle: stores the preference, then
  // publishes the stored value read back at once.
  void setAutomaticallyDownloadsUpdates(bool enabled);

  // The reminder's "Update Now": downloads, verifies and hands over the pending update.
  // Without a pending update `done` reports that there is nothing to install.
  void updateNow(UpdaterEngine::ProgressHandler progress = {}, UpdaterEngine::InstallHandler done = {});
  // Stops the update download under way (see UpdaterEngine::cancelDownload); returns the
  // version shown for it, nothing when none runs.
  std::optional<std::string> cancelDownload() { return engine_->cancelDownload(); }
  // The reminder's "Not Now": forgets the pending update.
  void notNow();

  // UpdaterDelegate (called by the engine on the main queue).
  void didFindValidUpdate(const AppcastItem& item) override;
  void didNotFindUpdate(const std::optional<std::string>& error) override;
  bool shouldHandleShowingScheduledUpdate(const AppcastItem& item, bool immediateFocus) override;
  void willHandleShowingUpdate(bool handleShowing, const AppcastItem& item, bool userInitiated) override;
  void didReceiveUserAttentionForUpdate(const AppcastItem& item) override;
  void willFinishUpdateSession() override;

 private:
  OrvoUpdaterController(std::unique_ptr<UpdaterEngine> engine, MainQueue& main);
  void startMirrors();
  // Subscribes to `source`; each delivered value is re-posted to the main queue and
  // written into the mirror chosen by `member`.
  void mirror(const Published<bool>& source, Published<bool> OrvoUpdaterController::*member);

  MainQueue& main_;
  Published<bool> canCheckForUpdates_{false};
  Published<bool> automaticallyChecksForUpdates_{true};
  Published<bool> automaticallyDownloadsUpdates_{false};
  Published<bool> allowsAutomaticUpdates_{false};
  Published<std::optional<PendingUpdate>> pendingUpdate_;
  std::unique_ptr<UpdaterEngine> engine_;
  std::vector<Subscription> cancellables_;
};

}  // namespace orvo
