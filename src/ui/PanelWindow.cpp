#include "ui/PanelWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QMenu>
#include <QScrollArea>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QVBoxLayout>

#include "ui/AboutOrvoView.h"
#include "ui/ControlPanel.h"
#include "ui/DesktopActions.h"
#include "ui/PanelModel.h"
#include "ui/SettingsModel.h"
#include "ui/UpdateAvailableBanner.h"

namespace orvo::ui {

PanelWindow::PanelWindow(PanelModel& model, SettingsModel* settings, DesktopActions& desktop, QWidget* parent)
    : QMainWindow(parent), settings_(settings), desktop_(desktop) {
  setObjectName("panelWindow");
  setWindowTitle("Orvo");
  setWindowIcon(QIcon(":/orvo/icons/orvo.svg"));
  resize(500, 820);

  auto* toolbar = addToolBar("Orvo");
  toolbar->setObjectName("toolbar");
  toolbar->setMovable(false);
  toolbar->setIconSize(QSize(20, 20));
  auto* spacer = new QWidget;
  spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  toolbar->addWidget(spacer);
  settingsAction_ = toolbar->addAction(QIcon(":/orvo/icons/gearshape.svg"), "Settings");
  settingsAction_->setObjectName("settingsAction");
  settingsAction_->setToolTip("Settings");
  aboutAction_ = toolbar->addAction(QIcon(":/orvo/icons/info.circle.svg"), "About Orvo");
  aboutAction_->setObjectName("aboutAction");
  aboutAction_->setToolTip("About Orvo");
  connect(settingsAction_, &QAction::triggered, this, &PanelWindow::settingsRequested);
  connect(aboutAction_, &QAction::triggered, this, &PanelWindow::showAbout);

  auto* central = new QWidget;
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(12, 12, 12, 12);
  layout->setSpacing(12);
  banner_ = new UpdateAvailableBanner;
  banner_->hide();
  layout->addWidget(banner_, 0, Qt::AlignHCenter);

  panel_ = new ControlPanel(model, desktop);
  auto* scroll = new QScrollArea;
  scroll->setObjectName("panelScroll");
  scroll->setWidget(panel_);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setFixedSize(420, 520);
  layout->addWidget(scroll, 0, Qt::AlignHCenter);
  layout->addStretch(1);
  setCentralWidget(central);

  setUpTray(desktop);
  if (settings_) {
    connect(settings_, &SettingsModel::pendingUpdateChanged, this, &PanelWindow::showPendingUpdate);
    connect(settings_, &SettingsModel::installStatusChanged, this,
            [this] { banner_->setStatus(settings_->installStatus()); });
    connect(banner_, &UpdateAvailableBanner::notNow, settings_, &SettingsModel::notNow);
    connect(banner_, &UpdateAvailableBanner::updateNow, settings_, &SettingsModel::updateNow);
    showPendingUpdate();
  }
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

void PanelWindow::showPendingUpdate() {
  const auto& update = settings_->pendingUpdate();
  if (update) {
    banner_->setUpdate(QString::fromStdString(update->version), QString::fromStdString(update->title),
                       QString::fromStdString(update->summary));
  }
  banner_->setVisible(update.has_value());
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
