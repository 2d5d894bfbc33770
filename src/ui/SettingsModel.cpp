#include "ui/SettingsModel.h"

#include <utility>

#include "environment/LaunchAtLoginManager.h"
#include "updates/OrvoUpdaterController.h"

namespace orvo::ui {
namespace {

QString checkOutcome(const UpdateCheckResult& result) {
  if (result.failed()) return "The check for updates failed: " + QString::fromStdString(*result.error);
  if (result.update) return "Orvo " + QString::fromStdString(result.update->displayVersionString) + " is available.";
  return "Orvo " + QString::fromStdString(result.currentVersion) + " is up to date.";
}

}  // namespace

SettingsModel::SettingsModel(MainQueue& main, LaunchAtLoginManager* launchAtLogin, OrvoUpdaterController* updater,
                             QObject* parent)
    : QObject(parent), launchAtLogin_(launchAtLogin), updater_(updater), link_(main, this) {
  if (launchAtLogin_) {
    link_.watch<bool>(launchAtLogin_->isEnabled(), [this](const bool& value) {
      launchAtLoginEnabled_ = value;
      emit launchAtLoginChanged();
    });
    link_.watch<std::optional<std::string>>(launchAtLogin_->errorMessage(),
                                            [this](const std::optional<std::string>& value) {
                                              launchAtLoginError_ = value;
                                              emit launchAtLoginChanged();
                                            });
  }
  if (updater_) {
    auto mirror = [this](const Published<bool>& source, bool SettingsModel::*field) {
      link_.watch<bool>(source, [this, field](const bool& value) {
        this->*field = value;
        emit updatesChanged();
      });
    };
    mirror(updater_->canCheckForUpdates(), &SettingsModel::canCheckForUpdates_);
    mirror(updater_->automaticallyChecksForUpdates(), &SettingsModel::automaticallyChecksForUpdates_);
    mirror(updater_->automaticallyDownloadsUpdates(), &SettingsModel::automaticallyDownloadsUpdates_);
    link_.watch<std::optional<PendingUpdate>>(updater_->pendingUpdate(),
                                              [this](const std::optional<PendingUpdate>& value) {
                                                pendingUpdate_ = value;
                                                emit pendingUpdateChanged();
                                              });
    link_.watch<std::optional<UpdateActivity>>(updater_->installActivity(),
                                               [this](const std::optional<UpdateActivity>& value) {
                                                 installActivity_ = value;
                                                 emit installActivityChanged();
                                               });
  }
}

SettingsModel::~SettingsModel() = default;

void SettingsModel::setLaunchAtLogin(bool enabled) {
  if (!launchAtLogin_) return;
  link_.onHost([manager = launchAtLogin_, enabled] { manager->setEnabled(enabled); });
}

void SettingsModel::refreshLaunchAtLogin() {
  if (!launchAtLogin_) return;
  link_.onHost([manager = launchAtLogin_] { manager->refresh(); });
}

void SettingsModel::setAutomaticallyDownloadsUpdates(bool enabled) {
  if (!updater_) return;
  link_.onHost([updater = updater_, enabled] { updater->setAutomaticallyDownloadsUpdates(enabled); });
}

// The updater's callbacks run on the main queue; they carry only texts back to the GUI
// thread, where the relay drops them if the model is gone.
void SettingsModel::checkForUpdates() {
  if (!updater_) return;
  setCheckStatus("Checking for updates…");
  link_.onHost([updater = updater_, gui = link_.gui(), self = this] {
    updater->checkForUpdates([gui, self](const UpdateCheckResult& result) {
      gui->post([self, text = checkOutcome(result)] { self->setCheckStatus(text); });
    });
  });
}

// Its progress and outcome arrive as the updater's published install activity.
void SettingsModel::updateNow() {
  if (!updater_) return;
  link_.onHost([updater = updater_] { updater->updateNow(); });
}

void SettingsModel::notNow() {
  if (!updater_) return;
  link_.onHost([updater = updater_] { updater->notNow(); });
}

void SettingsModel::setCheckStatus(QString text) {
  checkStatus_ = std::move(text);
  emit checkStatusChanged();
}

}  // namespace orvo::ui
