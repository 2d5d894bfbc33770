#pragma once

#include <QDialog>

namespace orvo::ui {

class DesktopActions;

// "Orvo - Info": name, version and build, a short guide for the client side in five
// expandable groups with three tips, and the contact and legal links, which open the
// documents installed with the host. A sheet over the panel; "Done" closes it. GUI thread.
class AboutOrvoView final : public QDialog {
  Q_OBJECT
 public:
  AboutOrvoView(DesktopActions& desktop, QWidget* parent);

  static QString displayName();
  static QString shortVersion();
  static QString buildNumber();

 private:
  DesktopActions& desktop_;
};

}  // namespace orvo::ui
