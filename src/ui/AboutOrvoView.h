#pragma once

#include "ui/Sheet.h"

namespace orvo::ui {

class DesktopActions;

// "About Orvo": name, version and build, a short guide for the client side in five
// expandable groups with three tips, and the contact and legal links: mail to the feature
// and support addresses, the project's web page (also for a review), and the terms and
// privacy documents installed with the host. A sheet over the panel; "Done" closes it. GUI
// thread.
class AboutOrvoView final : public Sheet {
  Q_OBJECT
 public:
  AboutOrvoView(DesktopActions& desktop, QWidget* parent);

  static QString displayName();
  static QString shortVersion();
  static QString buildNumber();
  // Where the links lead, as built in (ORVO_WEBSITE_URL, ORVO_FEATURE_REQUEST_EMAIL,
  // ORVO_SUPPORT_EMAIL).
  static QString websiteUrl();
  static QString featureRequestUrl();
  static QString supportUrl();

 private:
  DesktopActions& desktop_;
};

}  // namespace orvo::ui
