#pragma once

#include <QObject>
#include <QString>
#include <optional>
#include <string>

#include "core/Queues.h"
#include "ui/HostLink.h"
#include "updates/OrvoUpdaterController.h"
#include "updates/PendingUpdate.h"

namespace orvo {
class LaunchAtLoginManager;
}  // namespace orvo

namespace orvo::ui {

// The GUI thread's copy of the login-item manager's and the update controller's published
// state, and their operations forwarded to the host's main queue, where both objects live.
// Either may be absent; its part of the views is then left out.
//
// GUI thread only. The two objects must outlive the model.
class SettingsModel final : public QObject {
  Q_OBJECT
 public:
  SettingsModel(MainQueue& main, LaunchAtLoginManager* launchAtLogin, OrvoUpdaterController* updater,
                QObject* parent = nullptr);
  ~SettingsModel() override;

  bool hasLaunchAtLogin() const { return launchAtLogin_ != nullptr; }
  bool hasUpdater() const { return updater_ != nullptr; }

  bool launchAtLoginEnabled() const { return launchAtLoginEnabled_; }
  const std::optional<std::string>& launchAtLoginError() const { return launchAtLoginError_; }
  bool canCheckForUpdates() const { return canCheckForUpdates_; }
  bool automaticallyChecksForUpdates() const { return automaticallyChecksForUpdates_; }
  bool automaticallyDownloadsUpdates() const { return automaticallyDownloadsUpdates_; }
  const std::optional<PendingUpdate>& pendingUpdate() const { return pendingUpdate_; }
  // What the last check from the settings reported, for the line under its button.
  const QString& checkStatus() const { return checkStatus_; }
  // How the install started by "Update Now" goes, until the next check or its dismissal.
  const std::optional<UpdateActivity>& installActivity() const { return installActivity_; }

  void setLaunchAtLogin(bool enabled);
  // Reads the login item again (the user may have changed it outside the host).
  void refreshLaunchAtLogin();
  void setAutomaticallyDownloadsUpdates(bool enabled);
  void checkForUpdates();
  void updateNow();
  void notNow();

 signals:
  void launchAtLoginChanged();
  void updatesChanged();
  void pendingUpdateChanged();
  void checkStatusChanged();
  void installActivityChanged();

 private:
  void setCheckStatus(QString text);

  LaunchAtLoginManager* launchAtLogin_;
  OrvoUpdaterController* updater_;
  HostLink link_;
  bool launchAtLoginEnabled_ = false;
  std::optional<std::string> launchAtLoginError_;
  bool canCheckForUpdates_ = false;
  bool automaticallyChecksForUpdates_ = true;
  bool automaticallyDownloadsUpdates_ = false;
  std::optional<PendingUpdate> pendingUpdate_;
  QString checkStatus_;
  std::optional<UpdateActivity> installActivity_;
};

}  // namespace orvo::ui
