#pragma once

#include <cstdint>
#include <optional>

#include "ui/Sheet.h"

class QLabel;
class QPushButton;

namespace orvo::ui {

// The three guidance sheets over the control panel: modal dialogs that explain a
// permission. None decides anything itself; the panel reacts to their buttons and reads
// the grants back from the system. GUI thread.

// Which desktop the sheets speak of: X11 (nothing to grant for pictures, XTEST for input),
// or a Wayland desktop, whose portal asks the person in two dialogs (which windows to
// share; whether Orvo may control the pointer and keyboard).
enum class PermissionWording { x11, portal };

// Shown when the user switches discoverability on, or from "More info". Linux asks nobody
// about incoming connections, but a firewall can block them: the sheet names the ports to
// allow, with their current numbers while Orvo listens.
class NetworkPermissionSheet final : public Sheet {
  Q_OBJECT
 public:
  explicit NetworkPermissionSheet(QWidget* parent);
  // The listeners' ports (absent while not listening).
  void setPorts(std::optional<std::uint16_t> session, std::optional<std::uint16_t> pairing);
 signals:
  // "Continue": the panel hides the sheet and enables discoverability.
  void continued();

 private:
  QLabel* ports_;
  QLabel* commands_;
};

// On X11 any client of the display may read its windows, so there is nothing to grant:
// the sheet explains that and "Continue" closes it. On Wayland it explains the picker.
class ScreenRecordingPermissionSheet final : public Sheet {
  Q_OBJECT
 public:
  explicit ScreenRecordingPermissionSheet(QWidget* parent, PermissionWording wording = PermissionWording::x11);
};

// Shown when the user turns remote control on without the grant, or from "More info".
class AccessibilitySetupSheet final : public Sheet {
  Q_OBJECT
 public:
  explicit AccessibilitySetupSheet(QWidget* parent, PermissionWording wording = PermissionWording::x11);
  // The error line under the steps; absent hides it. Shown as plain text; the sheet grows
  // to show all of it.
  void setErrorText(const std::optional<QString>& text);
  std::optional<QString> errorText() const;
 signals:
  // X11: "Open Accessibility Settings"; Wayland: "Ask Again" (the portal's dialogs again).
  void openSettingsRequested();

 private:
  QLabel* error_;
};

}  // namespace orvo::ui
