#include "ui/PanelWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QVBoxLayout>

#include "ui/AboutOrvoView.h"
#include "ui/ControlPanel.h"
#include "ui/DesktopActions.h"
#include "ui/PanelControls.h"
#include "ui/PanelModel.h"
#include "ui/SettingsModel.h"
#include "ui/UpdateAvailableBanner.h"
#include "ui/WindowFit.h"

namespace orvo::ui {

PanelWindow::PanelWindow(PanelModel& model, SettingsModel* settings, DesktopActions& desktop, QWidget* parent)
    : QMainWindow(parent), settings_(settings), desktop_(desktop) {
  setObjectName("panelWindow");
  setWindowTitle("Orvo");
  setWindowIcon(QIcon(":/orvo/icons/orvo.svg"));
  resize(kDefaultSize);

  toolbar_ = addToolBar("Orvo");
  toolbar_->setObjectName("toolbar");
  toolbar_->setMovable(false);
  toolbar_->setFloatable(false);
  toolbar_->setIconSize(QSize(20, 20));
  auto* spacer = new QWidget;
  spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  toolbar_->addWidget(spacer);
  settingsAction_ = toolbar_->addAction(themedIcon({"preferences-system", "emblem-system"}, "gearshape"), "Settings");
  settingsAction_->setObjectName("settingsAction");
  settingsAction_->setToolTip("Settings");
  settingsAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
  aboutAction_ = toolbar_->addAction(themedIcon({"help-about"}, "info.circle"), "About Orvo");
  aboutAction_->setObjectName("aboutAction");
  aboutAction_->setToolTip("About Orvo");
  aboutAction_->setShortcut(QKeySequence(Qt::Key_F1));
  // Toolbar buttons take no focus by default; these are reached with Tab like the rest.
  for (QAction* action : {settingsAction_, aboutAction_}) {
    QWidget* button = toolbar_->widgetForAction(action);
    button->setFocusPolicy(Qt::StrongFocus);
    button->setAccessibleName(action->text());
  }
  connect(settingsAction_, &QAction::triggered, this, &PanelWindow::settingsRequested);
  connect(aboutAction_, &QAction::triggered, this, &PanelWindow::showAbout);

  // One scrolling column: the reminder above the panel.
  auto* content = new QWidget;
  content->setObjectName("panelContent");
  auto* layout = new QVBoxLayout(content);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* bannerRow = new QVBoxLayout;
  bannerRow->setContentsMargins(12, 12, 12, 0);
  banner_ = new UpdateAvailableBanner;
  banner_->hide();
  bannerRow->addWidget(banner_);
  layout->addLayout(bannerRow);
  panel_ = new ControlPanel(model, desktop);
  layout->addWidget(panel_);
  scroll_ = new ContentScrollArea(content);
  scroll_->setObjectName("panelScroll");
  setCentralWidget(scroll_);
  connect(panel_, &ControlPanel::rowsChanged, this, &PanelWindow::orderFocus);

  setUpTray(desktop);
  if (settings_) {
    connect(settings_, &SettingsModel::pendingUpdateChanged, this, &PanelWindow::showUpdate);
    connect(settings_, &SettingsModel::installActivityChanged, this, &PanelWindow::showUpdate);
    connect(banner_, &UpdateAvailableBanner::notNow, settings_, &SettingsModel::notNow);
    connect(banner_, &UpdateAvailableBanner::updateNow, settings_, &SettingsModel::updateNow);
    showUpdate();
  }
  orderFocus();
  // Back from the desktop's settings (the panel or one of its sheets regains the focus):
  // read the grants again.
  connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
    if (state == Qt::ApplicationActive && isVisible()) panel_->recheckOnReturn();
  });
}

PanelWindow::~PanelWindow() = default;

void PanelWindow::setUpTray(DesktopActions& desktop) {
  tray_ = new QSystemTrayIcon(QIcon(":/orvo/icons/orvo.svg"), this);
  tray_->setObjectName("trayIcon");
  tray_->setToolTip("Orvo");
  auto* menu = new QMenu(this);
  auto* show = menu->addAction("Show Orvo");
  connect(show, &QAction::triggered, this, &PanelWindow::showPanel);
  menu->addSeparator();
  auto* quit = menu->addAction("Quit Orvo");
  quit->setObjectName("trayQuitAction");
  connect(quit, &QAction::triggered, this, [&desktop] { desktop.quit(); });
  tray_->setContextMenu(menu);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) showPanel();
  });
  // Shown also without a tray: it appears when a tray host starts later.
  tray_->show();
}

void PanelWindow::showUpdate() {
  // An install under way, or its result, stays in view after the offer has gone.
  const auto& activity = settings_->installActivity();
  const auto& update = activity ? std::optional<PendingUpdate>(activity->update) : settings_->pendingUpdate();
  if (update) {
    banner_->setUpdate(QString::fromStdString(update->version), QString::fromStdString(update->title),
                       QString::fromStdString(update->summary));
  }
  banner_->setActivity(activity);
  banner_->setVisible(update.has_value());
}

void PanelWindow::orderFocus() {
  QList<QWidget*> chain = focusableInLayoutOrder(*toolbar_);
  chain += focusableInLayoutOrder(*scroll_->widget());
  chainFocus(chain);
}

void PanelWindow::showPanel() {
  showNormal();
  raise();
  activateWindow();
}

void PanelWindow::showAbout() {
  if (!about_) {
    about_ = new AboutOrvoView(desktop_, this);
    about_->setAttribute(Qt::WA_DeleteOnClose);
  }
  about_->open();
}

void PanelWindow::closeEvent(QCloseEvent* event) {
  // Hosting goes on without the window; "Quit Orvo" is the way out.
  event->ignore();
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    if (!tray_->isVisible()) tray_->show();
    hide();
  } else {
    showMinimized();
  }
}

void PanelWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  panel_->recheckOnReturn();
}

}  // namespace orvo::ui
