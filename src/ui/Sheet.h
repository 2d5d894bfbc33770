#pragma once

#include <QDialog>

class QLabel;
class QVBoxLayout;

namespace orvo::ui {

// A modal sheet over the panel: a bold heading and texts in a column, its buttons below.
// It opens sized to its content at its width (within the screen; the column scrolls only
// when the screen is too small), centred over the panel, and grows or shrinks when its
// content changes (refit()). Escape and Ctrl+W close it as its cancel action does. GUI
// thread.
class Sheet : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kWidth = 440;

  // `heading` (may be empty) is shown in bold on top of the column; the window manager
  // shows `title`.
  Sheet(QWidget* parent, const QString& title, const QString& heading, const char* objectName, int width = kWidth);

  // The column the texts go in.
  QVBoxLayout* column() const { return column_; }
  // A plain-text, word-wrapped label appended to the column.
  QLabel* addText(const QString& text, const char* objectName = nullptr);
  // Sets the row of buttons under the column.
  void setButtons(QWidget* buttons);

  // Sizes the sheet to its content again (while it is shown), keeping it on the screen, once
  // the layouts have taken in what changed (on the next turn of the event loop).
  void refit();

  void setVisible(bool visible) override;

 private:
  void fitNow();

  QVBoxLayout* column_;
  int width_;
  bool refitPending_ = false;
};

}  // namespace orvo::ui
