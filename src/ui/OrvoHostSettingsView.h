#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;

namespace orvo::ui {

class SettingsModel;

// The settings window: starting Orvo with the desktop session and the update
// preferences, bound to the login-item manager and the update controller through the
// model. It holds no state of its own. GUI thread.
class OrvoHostSettingsView final : public QWidget {
  Q_OBJECT
 public:
  explicit OrvoHostSettingsView(SettingsModel& model, QWidget* parent = nullptr);

  // Shows the window (again), brings it forward and reads the login item afresh.
  void showSettings();

 private:
  void showLaunchAtLogin();
  void showUpdates();

  SettingsModel& model_;
  QCheckBox* launchAtLogin_ = nullptr;
  QLabel* launchAtLoginError_ = nullptr;
  QLabel* automaticChecks_ = nullptr;
  QCheckBox* automaticDownloads_ = nullptr;
  QPushButton* checkNow_ = nullptr;
  QLabel* checkStatus_ = nullptr;
};

}  // namespace orvo::ui
