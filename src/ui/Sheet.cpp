#include "ui/Sheet.h"

#include <QKeySequence>
#include <QLabel>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/WindowFit.h"

namespace orvo::ui {

Sheet::Sheet(QWidget* parent, const QString& title, const QString& heading, const char* objectName, int width)
    : QDialog(parent), width_(width) {
  setObjectName(objectName);
  setWindowTitle(title);
  setModal(true);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 20);
  outer->setSpacing(12);
  auto* content = new QWidget;
  column_ = new QVBoxLayout(content);
  column_->setSpacing(12);
  column_->setContentsMargins(20, 20, 20, 0);
  outer->addWidget(new ContentScrollArea(content), 1);
  if (!heading.isEmpty()) {
    auto* label = addText(heading, "title");
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.25);
    label->setFont(font);
  }
  // Escape closes a dialog already; Ctrl+W closes windows on Linux desktops.
  auto* close = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), this);
  connect(close, &QShortcut::activated, this, &QDialog::reject);
}

QLabel* Sheet::addText(const QString& text, const char* objectName) {
  auto* label = new QLabel(text);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  if (objectName) label->setObjectName(objectName);
  column_->addWidget(label);
  return label;
}

void Sheet::setButtons(QWidget* buttons) {
  auto* row = new QVBoxLayout;
  row->setContentsMargins(20, 0, 20, 0);
  row->addWidget(buttons);
  static_cast<QVBoxLayout*>(layout())->addLayout(row);
}

void Sheet::refit() {
  if (!isVisible() || refitPending_) return;
  // A label's new text reaches the outer layouts through posted layout requests.
  refitPending_ = true;
  QTimer::singleShot(0, this, [this] {
    refitPending_ = false;
    if (isVisible()) fitNow();
  });
}

void Sheet::fitNow() {
  const QPoint topLeft = frameGeometry().topLeft();
  fitToContent(*this, width());
  // Grown past the bottom of the screen: move up as far as needed.
  const QRect area = availableArea(*this);
  const int overflow = topLeft.y() + frameGeometry().height() - (area.bottom() + 1);
  if (overflow > 0) move(topLeft.x(), std::max(area.top(), topLeft.y() - overflow));
}

void Sheet::setVisible(bool visible) {
  // Sized before QDialog centres it over the panel, which uses the size it has.
  if (visible && !isVisible()) fitToContent(*this, width_);
  QDialog::setVisible(visible);
}

}  // namespace orvo::ui
