#pragma once

#include <QFrame>
#include <optional>

#include "updates/OrvoUpdaterController.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace orvo::ui {

// The in-app reminder of an update found and not yet attended to: version, title and
// summary, with "Not Now" and "Update Now" (the default action: Return while the focus is
// in the banner). Once "Update Now" runs it shows how the install goes: the download's
// progress, the verification, then the result or the error, once, with "Dismiss". GUI
// thread.
class UpdateAvailableBanner final : public QFrame {
  Q_OBJECT
 public:
  explicit UpdateAvailableBanner(QWidget* parent = nullptr);
  // Texts from the update feed, shown as plain text. An empty title is left out.
  void setUpdate(const QString& version, const QString& title, const QString& summary);
  // How installing the update goes; absent shows the offer.
  void setActivity(const std::optional<UpdateActivity>& activity);

 signals:
  void updateNow();
  // "Not Now" on the offer, "Dismiss" on a result: the banner goes.
  void notNow();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QLabel* headline_;
  QLabel* version_;
  QLabel* title_;
  QLabel* summary_;
  QProgressBar* progress_;
  QLabel* status_;
  QPushButton* notNow_;
  QPushButton* updateNow_;
  QPushButton* dismiss_;
};

}  // namespace orvo::ui
