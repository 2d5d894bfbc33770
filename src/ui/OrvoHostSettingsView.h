#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;

namespace orvo::ui {

class SettingsModel;

// The settings window: starting Orvo with the desktop session and the update
// preferences, bound to the login-item manager and the update controller through the
// model. It holds no state of its own. It sizes to its content (and grows with the check's
// outcome); Escape and Ctrl+W close it. GUI thread.
class OrvoHostSettingsView final : public QWidget {
  Q_OBJECT
 public:
  explicit OrvoHostSettingsView(SettingsModel& model, QWidget* parent = nullptr);

  static constexpr int kWidth = 460;

  // Shows the window (again), brings it forward and reads the login item afresh. A window
  // not shown yet opens centred over `anchor` (when given).
  void showSettings(const QWidget* anchor = nullptr);

 private:
  void showLaunchAtLogin();
  void showUpdates();
  void refit();

  SettingsModel& model_;
  QCheckBox* launchAtLogin_ = nullptr;
  QLabel* launchAtLoginError_ = nullptr;
  QLabel* automaticChecks_ = nullptr;
  QCheckBox* automaticDownloads_ = nullptr;
  QPushButton* checkNow_ = nullptr;
  QLabel* checkStatus_ = nullptr;
};

}  // namespace orvo::ui
