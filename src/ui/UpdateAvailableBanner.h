#pragma once

#include <QFrame>

class QLabel;

namespace orvo::ui {

// The in-app reminder of an update found and not yet attended to: version, title and
// summary, with "Not Now" and "Update Now" (the default action). GUI thread.
class UpdateAvailableBanner final : public QFrame {
  Q_OBJECT
 public:
  explicit UpdateAvailableBanner(QWidget* parent = nullptr);
  // Texts from the update feed, shown as plain text. An empty title is left out.
  void setUpdate(const QString& version, const QString& title, const QString& summary);
  // A line under the buttons: how the install goes; empty hides it.
  void setStatus(const QString& text);

 signals:
  void updateNow();
  void notNow();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QLabel* version_;
  QLabel* title_;
  QLabel* summary_;
  QLabel* status_;
};

}  // namespace orvo::ui
