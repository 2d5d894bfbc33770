#include "ui/UpdateAvailableBanner.h"

#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvo::ui {
namespace {

QLabel* plainLabel(const char* objectName) {
  auto* label = new QLabel;
  label->setObjectName(objectName);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  return label;
}

}  // namespace

UpdateAvailableBanner::UpdateAvailableBanner(QWidget* parent) : QFrame(parent) {
  setObjectName("updateBanner");
  setFixedWidth(420);
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
  auto* headline = plainLabel("updateHeadline");
  headline->setText("Update Available");
  headline->setWordWrap(false);
  QFont bold = headline->font();
  bold.setBold(true);
  headline->setFont(bold);
  header->addWidget(headline);
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

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  auto* notNow = new QPushButton("Not Now");
  notNow->setObjectName("notNowButton");
  auto* updateNow = new QPushButton("Update Now");
  updateNow->setObjectName("updateNowButton");
  updateNow->setDefault(true);
  buttons->addWidget(notNow);
  buttons->addWidget(updateNow);
  layout->addLayout(buttons);
  status_ = plainLabel("updateStatus");
  status_->hide();
  layout->addWidget(status_);
  connect(notNow, &QPushButton::clicked, this, &UpdateAvailableBanner::notNow);
  connect(updateNow, &QPushButton::clicked, this, &UpdateAvailableBanner::updateNow);
}

void UpdateAvailableBanner::setUpdate(const QString& version, const QString& title, const QString& summary) {
  version_->setText("v" + version);
  title_->setText(title);
  title_->setVisible(!title.isEmpty());
  summary_->setText(summary);
}

void UpdateAvailableBanner::setStatus(const QString& text) {
  status_->setText(text);
  status_->setVisible(!text.isEmpty());
}

void UpdateAvailableBanner::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    emit updateNow();
    return;
  }
  QFrame::keyPressEvent(event);
}

}  // namespace orvo::ui
