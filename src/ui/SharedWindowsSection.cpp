#include "ui/SharedWindowsSection.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvo::ui {
namespace {

QLabel* plainLabel(const QString& text, const char* objectName) {
  auto* label = new QLabel(text);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  label->setObjectName(objectName);
  return label;
}

}  // namespace

SharedWindowsSection::SharedWindowsSection(QWidget* parent) : QWidget(parent) {
  setObjectName("sharedWindowsSection");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(6);
  auto* header = plainLabel("Shared Windows", "sharedWindowsHeader");
  QFont bold = header->font();
  bold.setBold(true);
  header->setFont(bold);
  layout->addWidget(header);
  status_ = plainLabel("", "sharingStatus");
  status_->setStyleSheet("color: #5f6368;");
  layout->addWidget(status_);
  rowsHolder_ = new QVBoxLayout;
  rowsHolder_->setContentsMargins(0, 0, 0, 0);
  layout->addLayout(rowsHolder_);

  auto* buttons = new QHBoxLayout;
  auto* choose = new QPushButton("Choose Windows…");
  choose->setObjectName("chooseWindowsButton");
  stopAll_ = new QPushButton("Stop Sharing All");
  stopAll_->setObjectName("stopSharingAllButton");
  buttons->addWidget(choose);
  buttons->addWidget(stopAll_);
  buttons->addStretch(1);
  layout->addLayout(buttons);
  connect(choose, &QPushButton::clicked, this, &SharedWindowsSection::chooseRequested);
  connect(stopAll_, &QPushButton::clicked, this, &SharedWindowsSection::stopAllRequested);
  setWindows({}, "");
}

void SharedWindowsSection::setWindows(const std::vector<platform::SharedWindow>& windows, const std::string& status) {
  status_->setText(QString::fromStdString(status));
  stopAll_->setVisible(!windows.empty());
  // A fresh container per list: rows are few and the list changes rarely.
  if (rows_) {
    rowsHolder_->removeWidget(rows_);
    rows_->hide();
    rows_->deleteLater();
  }
  rows_ = new QWidget(this);
  rows_->setObjectName("sharedWindowRows");
  auto* layout = new QVBoxLayout(rows_);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  rowsHolder_->addWidget(rows_);
  for (const auto& window : windows) {
    auto* row = new QWidget;
    row->setObjectName("sharedWindowRow");
    row->setAccessibleName(QString::fromStdString(window.title));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 2, 0, 2);
    std::string text = window.title;
    if (!window.appName.empty()) text += " — " + window.appName;
    auto* title = plainLabel(QString::fromStdString(text), "sharedWindowTitle");
    line->addWidget(title, 1);
    if (window.width > 0 && window.height > 0) {
      auto* size = plainLabel(QString("%1 × %2").arg(window.width).arg(window.height), "sharedWindowSize");
      size->setStyleSheet("color: #5f6368;");
      line->addWidget(size);
    }
    auto* stop = new QPushButton("Stop Sharing");
    stop->setObjectName("stopSharingButton");
    stop->setAccessibleName("Stop sharing " + QString::fromStdString(window.title));
    const auto id = window.windowId;
    connect(stop, &QPushButton::clicked, this, [this, id] { emit stopRequested(id); });
    line->addWidget(stop);
    layout->addWidget(row);
  }
}

}  // namespace orvo::ui
