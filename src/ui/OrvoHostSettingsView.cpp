#include "ui/OrvoHostSettingsView.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/SettingsModel.h"

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
  setWindowTitle("Orvo Settings");
  setWindowIcon(QIcon(":/orvo/icons/orvo.svg"));
  resize(460, 320);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 20, 20, 20);
  layout->setSpacing(12);

  if (model_.hasLaunchAtLogin()) {
    auto* group = new QGroupBox;
    auto* box = new QVBoxLayout(group);
    launchAtLogin_ = new QCheckBox("Run Orvo on startup");
    launchAtLogin_->setObjectName("launchAtLoginToggle");
    box->addWidget(launchAtLogin_);
    launchAtLoginError_ = plain("", "launchAtLoginError");
    launchAtLoginError_->setStyleSheet("color: #b3261e;");
    box->addWidget(launchAtLoginError_);
    layout->addWidget(group);
    // The switch shows what the system reports; a click only asks for a change.
    connect(launchAtLogin_, &QCheckBox::clicked, this, [this](bool on) {
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
    automaticDownloads_ = new QCheckBox("Update automatically");
    automaticDownloads_->setObjectName("automaticDownloadsToggle");
    form->addWidget(automaticDownloads_);
    checkNow_ = new QPushButton("Check for Updates…");
    checkNow_->setObjectName("checkForUpdatesButton");
    form->addWidget(checkNow_, 0, Qt::AlignLeft);
    checkStatus_ = plain("", "checkStatus");
    form->addWidget(checkStatus_);
    layout->addWidget(group);
    connect(automaticDownloads_, &QCheckBox::clicked, this, [this](bool on) {
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

void OrvoHostSettingsView::showSettings() {
  model_.refreshLaunchAtLogin();
  show();
  raise();
  activateWindow();
}

void OrvoHostSettingsView::showLaunchAtLogin() {
  launchAtLogin_->setChecked(model_.launchAtLoginEnabled());
  const auto& error = model_.launchAtLoginError();
  launchAtLoginError_->setText(error ? QString::fromStdString(*error) : QString());
  launchAtLoginError_->setVisible(error.has_value());
}

void OrvoHostSettingsView::showUpdates() {
  automaticChecks_->setText(model_.automaticallyChecksForUpdates() ? "On" : "Off");
  automaticDownloads_->setChecked(model_.automaticallyDownloadsUpdates());
  checkNow_->setEnabled(model_.canCheckForUpdates());
  checkStatus_->setText(model_.checkStatus());
  checkStatus_->setVisible(!model_.checkStatus().isEmpty());
}

}  // namespace orvo::ui
