#include "ui/PanelControls.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QStyleOption>
#include <QTimer>
#include <algorithm>

namespace orvo::ui {
namespace {

constexpr int kSwitchGap = 12;  // between a switch's text and its track
constexpr int kFocusRoom = 4;   // around a switch's track, for its focus ring
constexpr int kArrowBox = 14;   // the disclosure arrow's square
constexpr int kArrowGap = 6;

}  // namespace

ToggleSwitch::ToggleSwitch(const QString& text, QWidget* parent) : QCheckBox(text, parent) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QRect ToggleSwitch::trackRect() const {
  const int height = fontMetrics().height() + 4;
  const int width = height * 9 / 5;
  // Room on the trailing side for the focus ring.
  return {rect().right() - width - kFocusRoom, (rect().height() - height) / 2, width, height};
}

QSize ToggleSwitch::sizeHint() const {
  const int trackHeight = fontMetrics().height() + 4;
  const int textWidth = fontMetrics().horizontalAdvance(text());
  return {textWidth + kSwitchGap + trackHeight * 9 / 5 + kFocusRoom + 1, trackHeight + 2 * kFocusRoom + 2};
}

QSize ToggleSwitch::minimumSizeHint() const { return sizeHint(); }

bool ToggleSwitch::hitButton(const QPoint& pos) const { return rect().contains(pos); }

void ToggleSwitch::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QPalette& colours = palette();
  const bool enabled = isEnabled();

  const QRect track = trackRect();
  const QRect textArea(0, 0, track.left() - kSwitchGap, height());
  painter.setPen(colours.color(enabled ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
  painter.drawText(textArea, Qt::AlignVCenter | Qt::AlignLeading | Qt::TextSingleLine, text());

  const qreal radius = track.height() / 2.0;
  QColor fill = isChecked() ? colours.color(QPalette::Active, QPalette::Highlight) : colours.color(QPalette::Mid);
  if (!enabled) fill.setAlphaF(0.45);
  painter.setPen(Qt::NoPen);
  painter.setBrush(fill);
  painter.drawRoundedRect(QRectF(track), radius, radius);

  const qreal inset = 2.5;
  const qreal knob = track.height() - 2 * inset;
  const qreal x = isChecked() ? track.right() + 1 - inset - knob : track.left() + inset;
  painter.setBrush(enabled ? QColor(Qt::white) : QColor(245, 245, 245));
  painter.setPen(QPen(QColor(0, 0, 0, 40), 1));
  painter.drawEllipse(QRectF(x, track.top() + inset, knob, knob));

  if (hasFocus()) {
    // The keyboard focus: a ring around the switch in the selection colour.
    QPen ring(colours.color(QPalette::Active, QPalette::Highlight), 2);
    painter.setPen(ring);
    painter.setBrush(Qt::NoBrush);
    const QRectF around = QRectF(track).adjusted(-2.5, -2.5, 2.5, 2.5);
    painter.drawRoundedRect(around, radius + 2.5, radius + 2.5);
  }
}

DisclosureButton::DisclosureButton(const QString& text, QWidget* parent) : QToolButton(parent) {
  setText(text);
  setCheckable(true);
  setAutoRaise(true);
  setFocusPolicy(Qt::StrongFocus);
  setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  setArrowType(Qt::RightArrow);
  setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
  connect(this, &QToolButton::toggled, this, [this](bool open) { setArrowType(open ? Qt::DownArrow : Qt::RightArrow); });
}

QSize DisclosureButton::sizeHint() const {
  const QFontMetrics metrics = fontMetrics();
  return {kArrowBox + kArrowGap + metrics.horizontalAdvance(text()) + 8, std::max(metrics.height(), kArrowBox) + 8};
}

void DisclosureButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QStyleOption arrow;
  arrow.initFrom(this);
  arrow.rect = QRect(2, (height() - kArrowBox) / 2, kArrowBox, kArrowBox);
  style()->drawPrimitive(isChecked() ? QStyle::PE_IndicatorArrowDown : QStyle::PE_IndicatorArrowRight, &arrow,
                         &painter, this);
  const QRect textArea(arrow.rect.right() + kArrowGap, 0, width() - arrow.rect.right() - kArrowGap, height());
  painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
  painter.drawText(textArea, Qt::AlignVCenter | Qt::AlignLeading | Qt::TextSingleLine, text());
  if (hasFocus()) {
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    focus.rect = rect().adjusted(0, 1, 0, -1);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
  }
}

QIcon themedIcon(std::initializer_list<const char*> themeNames, const QString& bundled) {
  for (const char* name : themeNames) {
    if (QIcon::hasThemeIcon(QString::fromLatin1(name))) return QIcon::fromTheme(QString::fromLatin1(name));
  }
  return QIcon(":/orvo/icons/" + bundled + ".svg");
}

CopiedNotice::CopiedNotice(const char* objectName, QWidget* parent) : QLabel("Copied", parent) {
  setObjectName(objectName);
  setTextFormat(Qt::PlainText);
  setStyleSheet("color: #2e7d32;");
  hide();
  hide_ = new QTimer(this);
  hide_->setSingleShot(true);
  hide_->setInterval(kShownMs);
  connect(hide_, &QTimer::timeout, this, &QWidget::hide);
}

void CopiedNotice::flash() {
  show();
  hide_->start();
}

}  // namespace orvo::ui
