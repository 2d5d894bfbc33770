#include "ui/AboutOrvoView.h"

#include <QDialogButtonBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <functional>
#include <vector>

#include "ui/DesktopActions.h"
#include "ui/PanelControls.h"

namespace orvo::ui {
namespace {

struct GuideGroup {
  const char* title;
  const char* objectName;
  std::vector<const char*> bullets;
};

// The user guide for the client side. The products and gestures named are the clients'.
const std::vector<GuideGroup>& guide() {
  static const std::vector<GuideGroup> groups = {
      {"Basics",
       "basicsGroup",
       {"Orvo mirrors app windows from your computer to your iPad or Apple Vision Pro.",
        "Input passes through Orvo. Whatever you tap, click, scroll, or type here happens on your computer."}},
      {"Connect",
       "connectGroup",
       {"On your computer: open Orvo, enable 'Orvo from this computer', and leave Orvo running. The app is designed to "
        "be lightweight and safe to run in the background.",
        "On this device: open Orvo, select Pair, and enter the 6-digit code. Only use the Advanced Pairing token if "
        "the 6-digit code fails to pair.",
        "You may need to accept requests for accessibility or local networking permissions on the computer.",
        "If a computer does not appear or fails to reconnect, quit and reopen Orvo."}},
      {"Apps",
       "appsGroup",
       {"Orvo's Apps list shows all app windows currently available from your computer.",
        "You can open multiple app windows at once. One app window is Active at a time.",
        "To switch apps or reconnect, press the Orvo button."}},
      {"Status",
       "statusGroup",
       {"Tap inside an app window to set its status to Active.",
        "Active: Orvo will focus the app and direct your input to it. Stream quality will be prioritized.",
        "Standby: The app window will not receive input and stream quality will be reduced. Great for references or "
        "background tasks.",
        "No Signal: The app window will try to reconnect automatically when next activated. If all app windows show "
        "No Signal, reconnect to the computer."}},
      {"Controls",
       "controlsGroup",
       {"Apps can be controlled without peripherals.", "Primary Click: tap.", "Secondary Click: tap and hold.",
        "Drag: tap, hold, and move.",
        "To scroll, drag up or down on an app window, tap the scroll bar, or use a trackpad or mouse."}},
  };
  return groups;
}

constexpr const char* kTips[] = {
    "Tip: If the computer isn’t showing up, confirm both devices are on the same Wi-Fi.",
    "Tip: If a window isn’t listed, make sure it is on your computer’s active workspace.",
    "Tip: For best results, interact with the frontmost app window or bring the desired window to the front on your "
    "computer.",
};

QLabel* plain(const QString& text) {
  auto* label = new QLabel(text);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  return label;
}

// A bullet list: one bullet and one line of text per row.
QWidget* bulletList(const std::vector<const char*>& bullets) {
  auto* list = new QWidget;
  auto* layout = new QVBoxLayout(list);
  layout->setContentsMargins(20, 0, 0, 4);
  layout->setSpacing(4);
  for (const char* bullet : bullets) {
    auto* row = new QHBoxLayout;
    auto* dot = plain("•");
    dot->setWordWrap(false);
    row->addWidget(dot, 0, Qt::AlignTop);
    row->addWidget(plain(bullet), 1);
    layout->addLayout(row);
  }
  return list;
}

QWidget* expandable(const GuideGroup& group, const std::function<void()>& resized) {
  auto* box = new QWidget;
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  auto* toggle = new DisclosureButton(group.title);
  toggle->setObjectName(group.objectName);
  auto* list = bulletList(group.bullets);
  list->hide();
  QObject::connect(toggle, &QToolButton::toggled, list, [list, resized](bool open) {
    list->setVisible(open);
    resized();
  });
  layout->addWidget(toggle);
  layout->addWidget(list);
  return box;
}

QGroupBox* section(const QString& title) {
  auto* box = new QGroupBox(title);
  auto* layout = new QVBoxLayout(box);
  layout->setSpacing(6);
  return box;
}

}  // namespace

QString AboutOrvoView::displayName() { return QStringLiteral("Orvo"); }
QString AboutOrvoView::shortVersion() { return QStringLiteral(ORVO_VERSION); }
QString AboutOrvoView::buildNumber() {
  const QString build = QStringLiteral(ORVO_BUILD);
  return build.isEmpty() ? QStringLiteral("—") : build;
}

QString AboutOrvoView::websiteUrl() { return QStringLiteral(ORVO_WEBSITE_URL); }
QString AboutOrvoView::featureRequestUrl() {
  return "mailto:" + QStringLiteral(ORVO_FEATURE_REQUEST_EMAIL) + "?subject=" +
         QString::fromLatin1(QUrl::toPercentEncoding("Orvo feature request"));
}
QString AboutOrvoView::supportUrl() {
  return "mailto:" + QStringLiteral(ORVO_SUPPORT_EMAIL) + "?subject=" +
         QString::fromLatin1(QUrl::toPercentEncoding("Orvo support"));
}

AboutOrvoView::AboutOrvoView(DesktopActions& desktop, QWidget* parent)
    : Sheet(parent, "About Orvo", "", "aboutView", 460), desktop_(desktop) {
  QVBoxLayout* layout = column();

  auto* name = plain(displayName());
  name->setObjectName("displayName");
  QFont big = name->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 2);
  name->setFont(big);
  layout->addWidget(name);
  auto* version = plain("Version " + shortVersion() + " (" + buildNumber() + ")");
  version->setObjectName("versionLine");
  layout->addWidget(version);
  auto* maker = plain("Made by the Orvo Host project.");
  maker->setStyleSheet("color: #5f6368;");
  layout->addWidget(maker);

  auto* about = section("About");
  for (const auto& group : guide()) about->layout()->addWidget(expandable(group, [this] { refit(); }));
  for (const char* tip : kTips) {
    auto* label = plain(tip);
    label->setStyleSheet("color: #5f6368;");
    about->layout()->addWidget(label);
  }
  layout->addWidget(about);

  auto* error = plain("");
  error->setObjectName("linkError");
  error->setStyleSheet("color: #b3261e;");
  error->hide();
  // Each link says why it could not open, under the links.
  auto link = [this, error](QGroupBox* box, const QString& text, const QString& icon, const char* objectName,
                            std::function<std::optional<QString>()> open) {
    auto* button = new QPushButton(QIcon(":/orvo/icons/" + icon + ".svg"), text);
    button->setObjectName(objectName);
    button->setFlat(true);
    button->setStyleSheet("text-align: left;");
    connect(button, &QPushButton::clicked, this, [this, error, open] {
      const auto problem = open();
      error->setText(problem.value_or(QString()));
      error->setVisible(problem.has_value());
      refit();
    });
    box->layout()->addWidget(button);
  };
  auto url = [this](const QString& address) { return [this, address] { return desktop_.openUrl(address); }; };
  auto document = [this](const QString& file) { return [this, file] { return desktop_.openDocument(file); }; };
  auto* contact = section("Contact");
  link(contact, "Request Feature", "lightbulb.max", "requestFeatureLink", url(featureRequestUrl()));
  link(contact, "Email Support", "envelope", "emailSupportLink", url(supportUrl()));
  link(contact, "Write a Review", "star.bubble", "writeReviewLink", url(websiteUrl()));
  layout->addWidget(contact);
  auto* legal = section("Legal");
  link(legal, "Terms of Service", "doc.text", "termsLink", document("terms-of-service"));
  link(legal, "Privacy Policy", "hand.raised", "privacyLink", document("privacy-policy"));
  link(legal, "Orvo Host web site", "safari", "websiteLink", url(websiteUrl()));
  layout->addWidget(legal);
  layout->addWidget(error);

  auto* buttons = new QDialogButtonBox;
  auto* done = buttons->addButton("Done", QDialogButtonBox::AcceptRole);
  done->setObjectName("doneButton");
  done->setDefault(true);
  connect(done, &QPushButton::clicked, this, &QDialog::accept);
  setButtons(buttons);
}

}  // namespace orvo::ui
