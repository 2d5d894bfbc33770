#include "ui/PermissionSheets.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvo::ui {
namespace {

QPushButton* addDefaultButton(Sheet* sheet, QDialogButtonBox* box, const QString& text,
                              QDialogButtonBox::ButtonRole role) {
  auto* button = box->addButton(text, role);
  button->setDefault(true);
  button->setAutoDefault(true);
  sheet->setButtons(box);
  return button;
}

}  // namespace

NetworkPermissionSheet::NetworkPermissionSheet(QWidget* parent)
    : Sheet(parent, "Allow Incoming Network Connections", "Allow Incoming Network Connections",
            "networkPermissionSheet") {
  addText(
      "Orvo needs permission to accept incoming network connections when you pair a device. This will allow Orvo "
      "on iPad or Apple Vision Pro to discover and connect to this computer via the local network.");
  addText(
      "Linux does not ask you about this, but a firewall on this computer (such as ufw or firewalld) can block "
      "these connections. If one is on, allow Orvo's ports from your local network:");
  ports_ = addText("", "firewallPorts");
  commands_ = addText("", "firewallCommands");
  commands_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  commands_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  auto* box = new QDialogButtonBox;
  auto* button = addDefaultButton(this, box, "Continue", QDialogButtonBox::AcceptRole);
  button->setObjectName("continueButton");
  connect(button, &QPushButton::clicked, this, [this] {
    accept();
    emit continued();
  });
  setPorts(std::nullopt, std::nullopt);
}

void NetworkPermissionSheet::setPorts(std::optional<std::uint16_t> session, std::optional<std::uint16_t> pairing) {
  if (!session) {
    ports_->setText(
        "Orvo opens its TCP ports when it becomes discoverable; their numbers are shown here then (and by "
        "“orvo-host ctl status”). Discovery uses UDP port 5353 (mDNS).");
    commands_->hide();
  } else {
    QString tcp = QString::number(*session);
    QString text = QString("TCP port %1 (connections)").arg(*session);
    if (pairing) {
      tcp += "," + QString::number(*pairing);
      text += QString(" and %1 (pairing)").arg(*pairing);
    }
    ports_->setText(text + ", UDP port 5353 (discovery, mDNS). The TCP ports can change when Orvo restarts.");
    QString firewalld = "sudo firewall-cmd --add-port=" + QString::number(*session) + "/tcp";
    if (pairing) firewalld += " --add-port=" + QString::number(*pairing) + "/tcp";
    commands_->setText("sudo ufw allow " + tcp + "/tcp\nsudo ufw allow 5353/udp\n" + firewalld +
                       " --add-service=mdns");
    commands_->show();
  }
  refit();
}

ScreenRecordingPermissionSheet::ScreenRecordingPermissionSheet(QWidget* parent, PermissionWording wording)
    : Sheet(parent, "Allow Screen Recording", "Allow Screen Recording", "screenRecordingPermissionSheet") {
  addText("Orvo uses Screen Recording to capture and stream your computer's app windows to paired devices.");
  if (wording == PermissionWording::portal) {
    addText(
        "Orvo does not store or upload screen content. On Wayland, Orvo sees only the windows you share: click "
        "“Choose Windows…” and pick them in the desktop's sharing dialog. Tick “Remember this selection” (where "
        "the dialog offers it) so that Orvo shares the same windows after a restart without asking.");
    addText("Your devices are never asked for anything: the desktop asks you, here, when you choose windows.");
  } else {
    addText(
        "Orvo does not store or upload screen content. On an X11 desktop no permission needs to be granted: like "
        "any program on the display, Orvo can read the windows it streams.");
  }
  auto* box = new QDialogButtonBox;
  auto* button = addDefaultButton(this, box, "Continue", QDialogButtonBox::AcceptRole);
  button->setObjectName("continueButton");
  connect(button, &QPushButton::clicked, this, &QDialog::accept);
}

AccessibilitySetupSheet::AccessibilitySetupSheet(QWidget* parent, PermissionWording wording)
    : Sheet(parent, "Enable Accessibility for Orvo", "Enable Accessibility for Orvo", "accessibilitySetupSheet") {
  addText(
      "To send remote mouse/keyboard input and focus windows, Orvo needs Accessibility permission. Streaming works "
      "without it.");
  auto* steps = addText("Steps");
  QFont bold = steps->font();
  bold.setBold(true);
  steps->setFont(bold);
  const bool portal = wording == PermissionWording::portal;
  if (portal) {
    addText("1) Click “Ask Again”.");
    addText("2) Choose the windows to share in the desktop's sharing dialog.");
    addText(
        "3) When the desktop asks whether Orvo may control the pointer and keyboard (“Allow remote interaction”), "
        "allow it. The desktop asks again each time Orvo starts.");
    addText("4) Come back to Orvo — it will auto-enable control.");
  } else {
    addText("1) Click “Open Accessibility Settings”.");
    addText(
        "2) Make sure the display offers input injection: the X server needs the XTEST extension "
        "(xdpyinfo lists it).");
    addText("3) If the desktop asks whether Orvo may control the pointer and keyboard, allow it.");
    addText("4) Come back to Orvo — it will auto-enable control.");
  }
  error_ = addText("", "errorText");
  error_->setStyleSheet("color: #b3261e;");
  error_->hide();

  auto* box = new QDialogButtonBox;
  auto* notNow = box->addButton("Not Now", QDialogButtonBox::RejectRole);
  notNow->setObjectName("notNowButton");
  notNow->setAutoDefault(false);
  auto* open =
      addDefaultButton(this, box, portal ? "Ask Again" : "Open Accessibility Settings", QDialogButtonBox::ActionRole);
  open->setObjectName("openSettingsButton");
  connect(notNow, &QPushButton::clicked, this, &QDialog::reject);
  connect(open, &QPushButton::clicked, this, &AccessibilitySetupSheet::openSettingsRequested);
}

void AccessibilitySetupSheet::setErrorText(const std::optional<QString>& text) {
  error_->setText(text.value_or(QString()));
  error_->setVisible(text.has_value());
  refit();
}

std::optional<QString> AccessibilitySetupSheet::errorText() const {
  if (error_->isHidden()) return std::nullopt;
  return error_->text();
}

}  // namespace orvo::ui
