#include "ui/WindowFit.h"

#include <QEvent>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QScrollBar>
#include <QWidget>
#include <algorithm>

namespace orvo::ui {
namespace {

// Room for the window manager's frame while the window has none yet (before it is shown).
constexpr int kFrameAllowanceWidth = 16;
constexpr int kFrameAllowanceHeight = 48;

QSize frameAllowance(const QWidget& window) {
  if (window.isVisible()) {
    const QSize frame = window.frameGeometry().size() - window.geometry().size();
    if (frame.width() > 0 || frame.height() > 0) return frame;
  }
  return {kFrameAllowanceWidth, kFrameAllowanceHeight};
}

void collectFocusable(QWidget& widget, QList<QWidget*>& out);

void collectFocusable(QLayout& layout, QList<QWidget*>& out) {
  for (int i = 0; i < layout.count(); ++i) {
    QLayoutItem* item = layout.itemAt(i);
    if (QWidget* widget = item->widget()) {
      collectFocusable(*widget, out);
    } else if (QLayout* inner = item->layout()) {
      collectFocusable(*inner, out);
    }
  }
}

void collectFocusable(QWidget& widget, QList<QWidget*>& out) {
  if (widget.isWindow()) return;
  if ((widget.focusPolicy() & Qt::TabFocus) && !widget.focusProxy()) out.append(&widget);
  if (auto* scroll = qobject_cast<QScrollArea*>(&widget)) {
    if (scroll->widget()) collectFocusable(*scroll->widget(), out);
    return;
  }
  if (widget.layout()) collectFocusable(*widget.layout(), out);
}

}  // namespace

ContentScrollArea::ContentScrollArea(QWidget* content, QWidget* parent) : QScrollArea(parent) {
  setFrameShape(QFrame::NoFrame);
  setWidgetResizable(true);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setFocusPolicy(Qt::NoFocus);
  setWidget(content);
  // The content is drawn on the window's background, not on the viewport's base colour.
  viewport()->setAutoFillBackground(false);
  content->setAutoFillBackground(false);
}

int ContentScrollArea::heightForWidth(int width) const {
  QWidget* content = widget();
  if (!content) return 0;
  const int frame = 2 * frameWidth();
  const int inner = std::max(width - frame, content->minimumSizeHint().width());
  const int height = content->hasHeightForWidth() ? content->heightForWidth(inner) : content->sizeHint().height();
  return height + frame;
}

QSize ContentScrollArea::sizeHint() const {
  QWidget* content = widget();
  if (!content) return QScrollArea::sizeHint();
  const int width = content->sizeHint().width() + 2 * frameWidth();
  return {width, heightForWidth(width)};
}

QSize ContentScrollArea::minimumSizeHint() const {
  // As small as a window may get: its content scrolls.
  return {verticalScrollBar()->sizeHint().width() * 4, verticalScrollBar()->sizeHint().width() * 3};
}

bool ContentScrollArea::eventFilter(QObject* watched, QEvent* event) {
  if (watched == widget() && event->type() == QEvent::LayoutRequest) updateGeometry();
  return QScrollArea::eventFilter(watched, event);
}

QRect availableArea(const QWidget& window) {
  const QScreen* screen = window.screen();
  if (!screen) screen = QGuiApplication::primaryScreen();
  return screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
}

void fitToContent(QWidget& window, int width) {
  const QRect area = availableArea(window);
  const QSize frame = frameAllowance(window);
  const int w = std::clamp(width, window.minimumWidth(), std::max(window.minimumWidth(), area.width() - frame.width()));
  // A scroll area's content does not reach the window's layout when it changes: its cached
  // heights are dropped here.
  if (window.layout()) window.layout()->invalidate();
  int h = window.hasHeightForWidth() ? window.heightForWidth(w) : window.sizeHint().height();
  h = std::max(h, window.minimumSizeHint().height());
  h = std::min(h, area.height() - frame.height());
  window.resize(w, std::max(h, window.minimumHeight()));
}

void centreOver(QWidget& window, const QWidget& anchor) {
  const QRect area = availableArea(anchor);
  // Before its first showing the window has no frame yet: it gets one like the anchor's.
  const QSize frame = window.isVisible() ? frameAllowance(window) : anchor.frameGeometry().size() - anchor.size();
  QRect target(QPoint(), window.size() + frame);
  target.moveCenter(anchor.frameGeometry().center());
  target.moveLeft(std::clamp(target.left(), area.left(), std::max(area.left(), area.right() - target.width() + 1)));
  target.moveTop(std::clamp(target.top(), area.top(), std::max(area.top(), area.bottom() - target.height() + 1)));
  window.move(target.topLeft());
}

QList<QWidget*> focusableInLayoutOrder(QWidget& root) {
  QList<QWidget*> out;
  if (root.layout()) collectFocusable(*root.layout(), out);
  return out;
}

void chainFocus(const QList<QWidget*>& widgets) {
  for (qsizetype i = 1; i < widgets.size(); ++i) QWidget::setTabOrder(widgets[i - 1], widgets[i]);
}

}  // namespace orvo::ui
