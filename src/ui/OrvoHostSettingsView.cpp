#include "ui/OrvoHostSettingsView.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/PanelControls.h"
#include "ui/SettingsModel.h"
#include "ui/WindowFit.h"

namespace orvo::ui {
namespace {

QLabel* plain(const QString& text, const char* objectName) {
  auto* label = new QLabel(text);
  label->setObjectName(objectName);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  return label;
}

}  // namespace

OrvoHostSettingsView::OrvoHostSettingsView(SettingsModel& model, QWidget* parent)
    : QWidget(parent, Qt::Window), model_(model) {
  setObjectName("settingsView");
  // The desktop adds the application's name: "Settings — Orvo".
  setWindowTitle("Settings");
  setWindowIcon(QIcon(":/orvo/icons/orvo.svg"));
  for (const QKeySequence& keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
    auto* close = new QShortcut(keys, this);
    connect(close, &QShortcut::activated, this, &QWidget::close);
  }
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 20, 20, 20);
  layout->setSpacing(12);

  if (model_.hasLaunchAtLogin()) {
    auto* group = new QGroupBox;
    auto* box = new QVBoxLayout(group);
    launchAtLogin_ = new ToggleSwitch("Run Orvo on startup");
    launchAtLogin_->setObjectName("launchAtLoginToggle");
    box->addWidget(launchAtLogin_);
    launchAtLoginError_ = plain("", "launchAtLoginError");
    launchAtLoginError_->setStyleSheet("color: #b3261e;");
    box->addWidget(launchAtLoginError_);
    layout->addWidget(group);
    // The switch shows what the system reports; a change (however it came) only asks for one.
    connect(launchAtLogin_, &QCheckBox::toggled, this, [this](bool on) {
      const QSignalBlocker quiet(launchAtLogin_);
      launchAtLogin_->setChecked(model_.launchAtLoginEnabled());
      model_.setLaunchAtLogin(on);
    });
    connect(&model_, &SettingsModel::launchAtLoginChanged, this, &OrvoHostSettingsView::showLaunchAtLogin);
    showLaunchAtLogin();
  }

  if (model_.hasUpdater()) {
    auto* group = new QGroupBox;
    auto* form = new QVBoxLayout(group);
    auto* checksRow = new QHBoxLayout;
    checksRow->addWidget(plain("Automatic update checks", "automaticChecksTitle"), 1);
    automaticChecks_ = plain("", "automaticChecksValue");
    automaticChecks_->setWordWrap(false);
    automaticChecks_->setStyleSheet("color: #5f6368;");
    checksRow->addWidget(automaticChecks_);
    form->addLayout(checksRow);
    automaticDownloads_ = new ToggleSwitch("Update automatically");
    automaticDownloads_->setObjectName("automaticDownloadsToggle");
    form->addWidget(automaticDownloads_);
    checkNow_ = new QPushButton("Check for Updates…");
    checkNow_->setObjectName("checkForUpdatesButton");
    form->addWidget(checkNow_, 0, Qt::AlignLeft);
    checkStatus_ = plain("", "checkStatus");
    form->addWidget(checkStatus_);
    layout->addWidget(group);
    connect(automaticDownloads_, &QCheckBox::toggled, this, [this](bool on) {
      const QSignalBlocker quiet(automaticDownloads_);
      automaticDownloads_->setChecked(model_.automaticallyDownloadsUpdates());
      model_.setAutomaticallyDownloadsUpdates(on);
    });
    connect(checkNow_, &QPushButton::clicked, this, [this] { model_.checkForUpdates(); });
    connect(&model_, &SettingsModel::updatesChanged, this, &OrvoHostSettingsView::showUpdates);
    connect(&model_, &SettingsModel::checkStatusChanged, this, &OrvoHostSettingsView::showUpdates);
    showUpdates();
  }

  layout->addStretch(1);
  auto* footer = plain(
      "Automatic checks keep Orvo compatible with current clients. Automatic updates download and prepare updates in "
      "the background when allowed.",
      "settingsFooter");
  footer->setStyleSheet("color: #5f6368;");
  layout->addWidget(footer);
}

void OrvoHostSettingsView::showSettings(const QWidget* anchor) {
  model_.refreshLaunchAtLogin();
  if (!isVisible()) {
    fitToContent(*this, kWidth);
    if (anchor) centreOver(*this, *anchor);
  }
  show();
  raise();
  activateWindow();
}

void OrvoHostSettingsView::refit() {
  // Grows to show a longer line (an error, the check's outcome), once the layouts have taken
  // it in (through posted layout requests).
  QTimer::singleShot(0, this, [this] {
    if (isVisible() && height() < heightForWidth(width())) fitToContent(*this, width());
  });
}

void OrvoHostSettingsView::showLaunchAtLogin() {
  const QSignalBlocker quiet(launchAtLogin_);
  launchAtLogin_->setChecked(model_.launchAtLoginEnabled());
  const auto& error = model_.launchAtLoginError();
  launchAtLoginError_->setText(error ? QString::fromStdString(*error) : QString());
  launchAtLoginError_->setVisible(error.has_value());
  refit();
}

void OrvoHostSettingsView::showUpdates() {
  automaticChecks_->setText(model_.automaticallyChecksForUpdates() ? "On" : "Off");
  {
    const QSignalBlocker quiet(automaticDownloads_);
    automaticDownloads_->setChecked(model_.automaticallyDownloadsUpdates());
  }
  checkNow_->setEnabled(model_.canCheckForUpdates());
  checkStatus_->setText(model_.checkStatus());
  checkStatus_->setVisible(!model_.checkStatus().isEmpty());
  refit();
}

}  // namespace orvo::ui
