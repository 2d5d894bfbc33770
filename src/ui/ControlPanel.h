#pragma once

#include <QWidget>
#include <memory>
#include <optional>

class QCheckBox;
class QDialog;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QToolButton;

namespace orvo::ui {

class AccessibilitySetupSheet;
class CopiedNotice;
class DesktopActions;
class NetworkPermissionSheet;
class PairedDevicesSection;
class PanelModel;
class PeerDateFormatter;
class ScreenRecordingPermissionSheet;
class SharedWindowsSection;

// The control panel's column: discoverability, the pairing code and token, the paired
// devices, remote control and the permission guidance, and "Quit Orvo". It owns no
// protocol logic: every action goes through PanelModel to the host, and every value shown
// is one the host published. GUI thread.
class ControlPanel final : public QWidget {
  Q_OBJECT
 public:
  ControlPanel(PanelModel& model, DesktopActions& desktop, QWidget* parent = nullptr);
  ~ControlPanel() override;

  // The user came back to the panel: reads the accessibility grant again and, when it is
  // now present while the accessibility sheet is open, turns remote control on.
  void recheckOnReturn();
  // Redraws the expiry caption for the current time (a timer calls it four times a second).
  void refreshExpiryCaption();

  // The sheets, for the window's toolbar and for tests.
  NetworkPermissionSheet& networkSheet() const { return *networkSheet_; }
  ScreenRecordingPermissionSheet& screenRecordingSheet() const { return *screenRecordingSheet_; }
  AccessibilitySetupSheet& accessibilitySheet() const { return *accessibilitySheet_; }
  PairedDevicesSection& devices() const { return *devices_; }
  SharedWindowsSection* sharedWindows() const { return sharedWindows_; }

  bool pendingEnableDiscoverable() const { return pendingEnableDiscoverable_; }
  bool awaitingFirewallDecision() const { return awaitingFirewallDecision_; }

 signals:
  // Rows were added or removed (devices, shared windows, the token): the window orders the
  // keyboard focus again.
  void rowsChanged();

 private:
  QWidget* buildHeader();
  QWidget* buildPairing();
  QWidget* buildPermissions();
  // The switches react to every change of state (a click, the keyboard, an assistive
  // technology's Toggle action); the panel's own updates of them are made silently.
  void discoverableToggled(bool on);
  void networkSheetContinued();
  void remoteControlToggled(bool on);
  void showAccessibilitySheet();
  void openAccessibilitySettings();
  void openSheet(QDialog* sheet);
  void showDiscoverable();
  void showPairingCode();
  void showToken();
  void showRemoteControl();
  void copyToClipboard(const QString& text);

  PanelModel& model_;
  DesktopActions& desktop_;
  std::unique_ptr<PeerDateFormatter> dates_;

  bool pendingEnableDiscoverable_ = false;
  bool awaitingFirewallDecision_ = false;

  QCheckBox* discoverable_ = nullptr;
  QLabel* discoverableCaption_ = nullptr;
  QLabel* pin_ = nullptr;
  QLabel* expiry_ = nullptr;
  QPushButton* generateToken_ = nullptr;
  QPlainTextEdit* token_ = nullptr;
  QPushButton* copyToken_ = nullptr;
  CopiedNotice* pinCopied_ = nullptr;
  CopiedNotice* tokenCopied_ = nullptr;
  PairedDevicesSection* devices_ = nullptr;
  SharedWindowsSection* sharedWindows_ = nullptr;  // only where the person chooses windows
  QCheckBox* remoteControl_ = nullptr;
  QLabel* remoteControlCaption_ = nullptr;
  QLabel* accessibilityWarning_ = nullptr;
  QTimer* expiryTimer_ = nullptr;
  NetworkPermissionSheet* networkSheet_ = nullptr;
  ScreenRecordingPermissionSheet* screenRecordingSheet_ = nullptr;
  AccessibilitySetupSheet* accessibilitySheet_ = nullptr;
  // "Open Accessibility Settings" found no settings tool: once the grant has been read
  // again, the sheet says why only if the grant is still missing.
  bool settingsToolMissing_ = false;
};

}  // namespace orvo::ui
