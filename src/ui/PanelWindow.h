#pragma once

#include <QMainWindow>
#include <QPointer>

#include "ui/AboutOrvoView.h"

class QAction;
class QSystemTrayIcon;
class QToolBar;

namespace orvo::ui {

class AboutOrvoView;
class ContentScrollArea;
class ControlPanel;
class DesktopActions;
class PanelModel;
class SettingsModel;
class UpdateAvailableBanner;

// The application's one main window: the toolbar (settings, Ctrl+, and about, F1), the
// update reminder while an update is pending or being installed, and the control panel.
// The window is the panel: 420 × 520 at first, resizable, its content filling it and
// scrolling only when the window is smaller than the content. Tab goes through the
// controls in the order they are shown. Closing the window does not stop hosting: with a
// system tray the window hides and the tray icon brings it back or quits; without one it
// is minimized. GUI thread.
class PanelWindow final : public QMainWindow {
  Q_OBJECT
 public:
  static constexpr QSize kDefaultSize{420, 520};

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
  // Makes Tab follow the order on screen again (rows come and go).
  void orderFocus();

 signals:
  void settingsRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void setUpTray(DesktopActions& desktop);
  void showUpdate();

  SettingsModel* settings_;
  DesktopActions& desktop_;
  ControlPanel* panel_ = nullptr;
  ContentScrollArea* scroll_ = nullptr;
  UpdateAvailableBanner* banner_ = nullptr;
  QToolBar* toolbar_ = nullptr;
  QAction* settingsAction_ = nullptr;
  QAction* aboutAction_ = nullptr;
  QPointer<AboutOrvoView> about_;
  QSystemTrayIcon* tray_ = nullptr;
};

}  // namespace orvo::ui
