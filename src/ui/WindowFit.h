#pragma once

#include <QScrollArea>

class QWidget;

namespace orvo::ui {

// A frameless scroll area that asks for the whole height of its content at the width it is
// given (the content's height for that width), so that a window holding it sizes to what
// it shows, and scrolls only when it is given less. It takes no focus itself: the keyboard
// goes to the controls inside, and the area scrolls to the one that has the focus.
// GUI thread.
class ContentScrollArea final : public QScrollArea {
  Q_OBJECT
 public:
  explicit ContentScrollArea(QWidget* content, QWidget* parent = nullptr);

  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  // The content's layout changed: the window's layout asks for this area's height again.
  bool eventFilter(QObject* watched, QEvent* event) override;
};

// The part of the screen that `window` (a top-level widget) may cover, its frame
// included: its screen's available area, else the primary screen's.
QRect availableArea(const QWidget& window);

// Resizes the top-level `window` to show all of its content at `width`: its height is what
// its layout needs at that width. Both are capped by the screen, less the window frame.
void fitToContent(QWidget& window, int width);

// Places the top-level `window` centred over `anchor`'s frame, kept on the screen.
void centreOver(QWidget& window, const QWidget& anchor);

// The widgets under `root` that Tab reaches, in the order of its layouts (top to bottom,
// leading to trailing: the order a person reads them in), hidden ones included (Tab skips
// them while they are hidden). A scroll area's content counts as laid out in it.
QList<QWidget*> focusableInLayoutOrder(QWidget& root);
// Makes Tab go through `widgets` in this order. Widgets built later (the rows of a list)
// would otherwise come last.
void chainFocus(const QList<QWidget*>& widgets);

}  // namespace orvo::ui
