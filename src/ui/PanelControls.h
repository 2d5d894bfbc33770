#pragma once

#include <QCheckBox>
#include <QIcon>
#include <QLabel>
#include <QToolButton>
#include <initializer_list>

class QTimer;

namespace orvo::ui {

// The panel's small controls, shared by its views. GUI thread.

// An on/off setting drawn as a switch: its text leading, the switch trailing. It stays a
// check box for the keyboard (Space) and for assistive technology ("check box" with a
// Toggle action), and reports every change of state through `toggled`, however it came.
class ToggleSwitch final : public QCheckBox {
  Q_OBJECT
 public:
  explicit ToggleSwitch(const QString& text, QWidget* parent = nullptr);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool hitButton(const QPoint& pos) const override;

 private:
  QRect trackRect() const;
};

// The head of a disclosure group: an arrow (right when closed, down when open) and a label,
// drawn the same way open and closed (no pressed look); checked means open.
class DisclosureButton final : public QToolButton {
  Q_OBJECT
 public:
  explicit DisclosureButton(const QString& text, QWidget* parent = nullptr);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// The icon of the desktop's icon theme under the first of `themeNames` that it has, else
// the bundled one (":/orvo/icons/<bundled>.svg").
QIcon themedIcon(std::initializer_list<const char*> themeNames, const QString& bundled);

// A short confirmation beside a copy button: shows "Copied" for two seconds each time
// flash() is called.
class CopiedNotice final : public QLabel {
  Q_OBJECT
 public:
  static constexpr int kShownMs = 2000;
  explicit CopiedNotice(const char* objectName, QWidget* parent = nullptr);
  void flash();

 private:
  QTimer* hide_;
};

}  // namespace orvo::ui
