#include "updates/OrvoUpdaterController.h"

#include "updates/UpdaterSettings.h"

namespace orvo {

std::shared_ptr<OrvoUpdaterController> OrvoUpdaterController::create(std::unique_ptr<UpdaterEngine> engine,
                                                                     MainQueue& main) {
  std::shared_ptr<OrvoUpdaterController> controller(new OrvoUpdaterController(std::move(engine), main));
  controller->engine_->start(*controller);
  controller->startMirrors();
  return controller;
}

OrvoUpdaterController::OrvoUpdaterController(std::unique_ptr<UpdaterEngine> engine, MainQueue& main)
    : main_(main), engine_(std::move(engine)) {}

OrvoUpdaterController::~OrvoUpdaterController() {
  // Subscriptions first: the engine they observe goes right after.
  cancellables_.clear();
}

void OrvoUpdaterController::startMirrors() {
  auto& settings = engine_->settings();
  mirror(engine_->canCheckForUpdates(), &OrvoUpdaterController::canCheckForUpdates_);
  mirror(settings.automaticallyChecksForUpdates(), &OrvoUpdaterController::automaticallyChecksForUpdates_);
  mirror(settings.automaticallyDownloadsUpdates(), &OrvoUpdaterController::automaticallyDownloadsUpdates_);
  mirror(settings.allowsAutomaticUpdates(), &OrvoUpdaterController::allowsAutomaticUpdates_);
}

void OrvoUpdaterController::mirror(const Published<bool>& source, Published<bool> OrvoUpdaterController::*member) {
  cancellables_.push_back(source.subscribe([weak = weak_from_this(), member, &main = main_](bool value) {
    main.async([weak, member, value] {
      if (auto self = weak.lock()) (self.get()->*member).set(value);
    });
  }));
}

void OrvoUpdaterController::checkForUpdates(UpdaterEngine::CheckHandler done) {
  engine_->checkForUpdates([done = std::move(done)](const UpdateCheckResult& result) {
    if (done) done(result);
  });
}

void OrvoUpdaterController::setAutomaticallyDownloadsUpdates(bool enabled) {
  auto& settings = engine_->settings();
  settings.setAutomaticallyDownloadsUpdates(enabled);
  automaticallyDownloadsUpdates_.set(*settings.automaticallyDownloadsUpdates());
}

void OrvoUpdaterController::updateNow(UpdaterEngine::ProgressHandler progress, UpdaterEngine::InstallHandler done) {
  if (!*pendingUpdate_) {
    if (done) done(UpdateInstallResult{.error = "No update is waiting to be installed."});
    return;
  }
  // The pending update is cleared as soon as the engine takes it on; the activity keeps
  // what is being installed for the reminder.
  const PendingUpdate update = pendingUpdate_->value();
  installActivity_.set(UpdateActivity{.update = update});
  engine_->installUpdate(
      update.id,
      [weak = weak_from_this(), update, progress = std::move(progress)](const UpdateProgress& step) {
        if (auto self = weak.lock()) {
          self->installActivity_.set(UpdateActivity{
              .update = update,
              .stage = step.verifying ? UpdateActivity::Stage::verifying : UpdateActivity::Stage::downloading,
              .received = step.received,
              .expected = step.expected});
        }
        if (progress) progress(step);
      },
      [weak = weak_from_this(), update, done = std::move(done)](const UpdateInstallResult& result) {
        if (auto self = weak.lock()) {
          self->installActivity_.set(UpdateActivity{
              .update = update,
              .stage = result.failed() ? UpdateActivity::Stage::failed : UpdateActivity::Stage::finished,
              .message = result.failed() ? *result.error : result.message});
        }
        if (done) done(result);
      });
}

void OrvoUpdaterController::notNow() {
  pendingUpdate_.set(std::nullopt);
  if (*installActivity_) installActivity_.set(std::nullopt);
}

void OrvoUpdaterController::willCheckForUpdates() {
  if (*installActivity_) installActivity_.set(std::nullopt);
}

void OrvoUpdaterController::didFindValidUpdate(const AppcastItem& item) {
  pendingUpdate_.set(PendingUpdate::fromItem(item));
}

void OrvoUpdaterController::didNotFindUpdate(const std::optional<std::string>&) {}

bool OrvoUpdaterController::shouldHandleShowingScheduledUpdate(const AppcastItem&, bool) { return false; }

void OrvoUpdaterController::willHandleShowingUpdate(bool handleShowing, const AppcastItem& item, bool userInitiated) {
  if (!handleShowing && !userInitiated) pendingUpdate_.set(PendingUpdate::fromItem(item));
}

void OrvoUpdaterController::didReceiveUserAttentionForUpdate(const AppcastItem& item) {
  if (*pendingUpdate_ && pendingUpdate_->value().id == item.versionString) pendingUpdate_.set(std::nullopt);
}

void OrvoUpdaterController::willFinishUpdateSession() { pendingUpdate_.set(std::nullopt); }

}  // namespace orvo
