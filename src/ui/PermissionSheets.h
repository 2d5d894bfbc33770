#pragma once

#include <QDialog>
#include <optional>

class QLabel;
class QPushButton;

namespace orvo::ui {

// The three guidance sheets over the control panel: modal dialogs that explain a
// permission. None decides anything itself; the panel reacts to their buttons and reads
// the grants back from the system. GUI thread.

// Shown when the user switches discoverability on, or from "More info".
class NetworkPermissionSheet final : public QDialog {
  Q_OBJECT
 public:
  explicit NetworkPermissionSheet(QWidget* parent);
 signals:
  // "Continue": the panel hides the sheet and enables discoverability.
  void continued();
};

// On X11 any client of the display may read its windows, so there is nothing to grant:
// the sheet explains that and "Continue" closes it.
class ScreenRecordingPermissionSheet final : public QDialog {
  Q_OBJECT
 public:
  explicit ScreenRecordingPermissionSheet(QWidget* parent);
};

// Shown when the user turns remote control on without the grant, or from "More info".
class AccessibilitySetupSheet final : public QDialog {
  Q_OBJECT
 public:
  explicit AccessibilitySetupSheet(QWidget* parent);
  // The error line under the steps; absent hides it. Shown as plain text.
  void setErrorText(const std::optional<QString>& text);
  std::optional<QString> errorText() const;
 signals:
  void openSettingsRequested();

 private:
  QLabel* error_;
};

}  // namespace orvo::ui
