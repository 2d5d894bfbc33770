#pragma once

#include <QMainWindow>
#include <QPointer>

#include "ui/AboutOrvoView.h"

class QAction;
class QSystemTrayIcon;

namespace orvo::ui {

class AboutOrvoView;
class ControlPanel;
class DesktopActions;
class PanelModel;
class SettingsModel;
class UpdateAvailableBanner;

// The application's one main window: the toolbar (settings, about), the update reminder
// while an update is pending, and the control panel in its fixed 420 × 520 frame. Closing
// it does not stop hosting: with a system tray the window hides and the tray icon brings
// it back or quits; without one it is minimized. GUI thread.
class PanelWindow final : public QMainWindow {
  Q_OBJECT
 public:
  // `settings` (may be null) brings the update reminder.
  PanelWindow(PanelModel& model, SettingsModel* settings, DesktopActions& desktop, QWidget* parent = nullptr);
  ~PanelWindow() override;

  ControlPanel& panel() const { return *panel_; }
  UpdateAvailableBanner& banner() const { return *banner_; }
  QAction& settingsAction() const { return *settingsAction_; }
  QAction& aboutAction() const { return *aboutAction_; }
  // The about sheet while it is open.
  AboutOrvoView* about() const { return about_; }
  QSystemTrayIcon* tray() const { return tray_; }

  // Brings the window back from the tray or from being minimized.
  void showPanel();
  void showAbout();

 signals:
  void settingsRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void setUpTray(DesktopActions& desktop);
  void showPendingUpdate();

  SettingsModel* settings_;
  DesktopActions& desktop_;
  ControlPanel* panel_ = nullptr;
  UpdateAvailableBanner* banner_ = nullptr;
  QAction* settingsAction_ = nullptr;
  QAction* aboutAction_ = nullptr;
  QPointer<AboutOrvoView> about_;
  QSystemTrayIcon* tray_ = nullptr;
};

}  // namespace orvo::ui
