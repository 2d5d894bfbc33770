#include "ui/UpdateAvailableBanner.h"

#include <QApplication>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace orvo::ui {
namespace {

QLabel* plainLabel(const char* objectName) {
  auto* label = new QLabel;
  label->setObjectName(objectName);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  return label;
}

constexpr int kProgressSteps = 1000;

}  // namespace

UpdateAvailableBanner::UpdateAvailableBanner(QWidget* parent) : QFrame(parent) {
  setObjectName("updateBanner");
  setStyleSheet("#updateBanner { background: palette(window); border: 1px solid palette(mid); border-radius: 16px; }");
  auto* shadow = new QGraphicsDropShadowEffect(this);
  shadow->setColor(QColor(0, 0, 0, 84));
  shadow->setBlurRadius(10);
  shadow->setOffset(0, 0);
  setGraphicsEffect(shadow);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 16, 16, 16);
  layout->setSpacing(12);

  auto* header = new QHBoxLayout;
  auto* icon = new QLabel;
  icon->setPixmap(QIcon(":/orvo/icons/arrow.down.circle.fill.svg").pixmap(18, 18));
  header->addWidget(icon);
  headline_ = plainLabel("updateHeadline");
  headline_->setText("Update Available");
  headline_->setWordWrap(false);
  QFont bold = headline_->font();
  bold.setBold(true);
  headline_->setFont(bold);
  header->addWidget(headline_);
  header->addStretch(1);
  version_ = plainLabel("updateVersion");
  version_->setWordWrap(false);
  version_->setStyleSheet("color: #5f6368;");
  header->addWidget(version_);
  layout->addLayout(header);

  title_ = plainLabel("updateTitle");
  QFont semibold = title_->font();
  semibold.setWeight(QFont::DemiBold);
  title_->setFont(semibold);
  layout->addWidget(title_);
  summary_ = plainLabel("updateSummary");
  summary_->setStyleSheet("color: #5f6368;");
  layout->addWidget(summary_);

  progress_ = new QProgressBar;
  progress_->setObjectName("updateProgress");
  progress_->setTextVisible(false);
  progress_->setMaximumHeight(8);
  progress_->setAccessibleName("Update progress");
  progress_->hide();
  layout->addWidget(progress_);
  status_ = plainLabel("updateStatus");
  status_->hide();
  layout->addWidget(status_);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  notNow_ = new QPushButton("Not Now");
  notNow_->setObjectName("notNowButton");
  updateNow_ = new QPushButton("Update Now");
  updateNow_->setObjectName("updateNowButton");
  updateNow_->setDefault(true);
  dismiss_ = new QPushButton("Dismiss");
  dismiss_->setObjectName("dismissUpdateButton");
  dismiss_->hide();
  buttons->addWidget(notNow_);
  buttons->addWidget(updateNow_);
  buttons->addWidget(dismiss_);
  layout->addLayout(buttons);
  connect(notNow_, &QPushButton::clicked, this, &UpdateAvailableBanner::notNow);
  connect(updateNow_, &QPushButton::clicked, this, &UpdateAvailableBanner::updateNow);
  connect(dismiss_, &QPushButton::clicked, this, &UpdateAvailableBanner::notNow);
}

void UpdateAvailableBanner::setUpdate(const QString& version, const QString& title, const QString& summary) {
  version_->setText("v" + version);
  title_->setText(title);
  title_->setVisible(!title.isEmpty());
  summary_->setText(summary);
}

void UpdateAvailableBanner::setActivity(const std::optional<UpdateActivity>& activity) {
  using Stage = UpdateActivity::Stage;
  const bool offer = !activity;
  const bool running = activity && (activity->stage == Stage::downloading || activity->stage == Stage::verifying);
  const bool failed = activity && activity->stage == Stage::failed;
  QString headline = "Update Available";
  if (failed) headline = "Update Failed";
  if (activity && activity->stage == Stage::finished) headline = "Update Downloaded";
  headline_->setText(headline);
  // The focus stays in the banner when the buttons under it change.
  const bool hadFocus = isAncestorOf(QApplication::focusWidget());
  notNow_->setVisible(offer);
  updateNow_->setVisible(offer);
  dismiss_->setVisible(activity && !running);
  if (hadFocus && dismiss_->isVisible()) dismiss_->setFocus();

  progress_->setVisible(running);
  if (running) {
    if (activity->stage == Stage::downloading && activity->expected && *activity->expected > 0) {
      progress_->setRange(0, kProgressSteps);
      progress_->setValue(static_cast<int>(
          std::min<std::uint64_t>(activity->received * kProgressSteps / *activity->expected, kProgressSteps)));
    } else {
      progress_->setRange(0, 0);  // busy: no total known, or checking the signature
    }
  }

  QString text;
  if (activity) {
    switch (activity->stage) {
      case Stage::downloading:
        text = "Downloading the update…";
        if (activity->expected && *activity->expected > 0) {
          text += QString(" %1%").arg(std::min<std::uint64_t>(activity->received * 100 / *activity->expected, 100));
        } else if (activity->received > 0) {
          text += " " + QLocale().formattedDataSize(static_cast<qint64>(activity->received));
        }
        break;
      case Stage::verifying: text = "Verifying the update…"; break;
      case Stage::finished: text = QString::fromStdString(activity->message); break;
      case Stage::failed:
        text = "The update could not be installed: " + QString::fromStdString(activity->message);
        break;
    }
  }
  status_->setText(text);
  status_->setStyleSheet(failed ? "color: #b3261e;" : "");
  status_->setVisible(!text.isEmpty());
}

void UpdateAvailableBanner::keyPressEvent(QKeyEvent* event) {
  // Return anywhere in the banner is its default action, as the default button shows.
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && updateNow_->isVisible()) {
    updateNow_->click();
    return;
  }
  QFrame::keyPressEvent(event);
}

}  // namespace orvo::ui
