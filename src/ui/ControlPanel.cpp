#include "ui/ControlPanel.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <utility>

#include "app/HostCommands.h"
#include "ui/DesktopActions.h"
#include "ui/PairedDevicesSection.h"
#include "ui/PanelControls.h"
#include "ui/PanelModel.h"
#include "ui/PeerDateFormatter.h"
#include "ui/PermissionSheets.h"
#include "ui/SharedWindowsSection.h"

namespace orvo::ui {
namespace {

// Shown instead of the code's expiry while too many wrong codes keep pairing suspended.
const QString kPairingSuspendedText =
    QStringLiteral("Pairing is paused: too many wrong codes were tried. Click Regenerate for a new code to pair.");

QLabel* textLabel(const QString& text, const char* objectName = nullptr) {
  auto* label = new QLabel(text);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  if (objectName) label->setObjectName(objectName);
  return label;
}

QLabel* caption(const char* objectName) {
  auto* label = textLabel("", objectName);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * 0.85);
  label->setFont(font);
  label->setStyleSheet("color: #5f6368;");
  return label;
}

QLabel* heading(const QString& text) {
  auto* label = textLabel(text);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

QFrame* divider() {
  auto* line = new QFrame;
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

QToolButton* iconButton(const QIcon& icon, const QString& accessibleName, const char* objectName) {
  auto* button = new QToolButton;
  button->setIcon(icon);
  button->setIconSize(QSize(18, 18));
  button->setToolTip(accessibleName);
  button->setAccessibleName(accessibleName);
  button->setObjectName(objectName);
  return button;
}

// A disclosure group: a checkable toggle whose label follows its state, showing `content`
// while open.
QToolButton* disclosure(const QString& closedLabel, const QString& openLabel, QWidget* content,
                        const char* objectName) {
  auto* toggle = new DisclosureButton(closedLabel);
  toggle->setObjectName(objectName);
  content->hide();
  QObject::connect(toggle, &QToolButton::toggled, content, [=](bool open) {
    toggle->setText(open ? openLabel : closedLabel);
    content->setVisible(open);
  });
  return toggle;
}

// Shows `on` without reporting it as a change (the switch shows what the host published).
void showSwitch(QCheckBox* box, bool on) {
  const QSignalBlocker quiet(box);
  box->setChecked(on);
}

// Why "Open Accessibility Settings" did nothing, said only while the grant is missing.
const char* const kNoSettingsTool =
    "No accessibility settings are known for this desktop. Remote input needs an X display that offers the XTEST "
    "extension (Xorg and Xvfb offer it unless it was turned off); Orvo checks again when you come back.";

}  // namespace

ControlPanel::ControlPanel(PanelModel& model, DesktopActions& desktop, QWidget* parent)
    : QWidget(parent), model_(model), desktop_(desktop), dates_(std::make_unique<PeerDateFormatter>()) {
  setObjectName("controlPanel");
  auto* column = new QVBoxLayout(this);
  column->setSpacing(12);
  column->setContentsMargins(16, 16, 16, 16);

  column->addWidget(buildHeader());

  discoverable_ = new ToggleSwitch("Orvo from this computer");
  discoverable_->setObjectName("discoverableToggle");
  column->addWidget(discoverable_);
  discoverableCaption_ = caption("discoverableCaption");
  column->addWidget(discoverableCaption_);
  connect(discoverable_, &QCheckBox::toggled, this, &ControlPanel::discoverableToggled);

  column->addWidget(buildPairing());

  column->addWidget(divider());
  devices_ = new PairedDevicesSection(*dates_, [this](const std::string& id) { model_.unpair(id); });
  column->addWidget(devices_);
  column->addWidget(divider());
  if (model_.sharesChosenWindows()) {
    sharedWindows_ = new SharedWindowsSection;
    column->addWidget(sharedWindows_);
    column->addWidget(divider());
    connect(sharedWindows_, &SharedWindowsSection::chooseRequested, this, [this] { model_.chooseWindows(); });
    connect(sharedWindows_, &SharedWindowsSection::stopRequested, this,
            [this](std::uint32_t id) { model_.stopSharing(id); });
    connect(sharedWindows_, &SharedWindowsSection::stopAllRequested, this, [this] { model_.stopSharingAll(); });
    connect(&model_, &PanelModel::sharedWindowsChanged, this, [this] {
      sharedWindows_->setWindows(model_.sharedWindows(), model_.sharingStatus());
      emit rowsChanged();
    });
  }

  column->addWidget(buildPermissions());

  column->addWidget(divider());
  auto* quit = new QPushButton("Quit Orvo");
  quit->setObjectName("quitButton");
  connect(quit, &QPushButton::clicked, this, [this] { desktop_.quit(); });
  column->addWidget(quit, 0, Qt::AlignLeft);
  column->addStretch(1);

  connect(networkSheet_, &NetworkPermissionSheet::continued, this, &ControlPanel::networkSheetContinued);
  connect(accessibilitySheet_, &AccessibilitySetupSheet::openSettingsRequested, this,
          &ControlPanel::openAccessibilitySettings);

  connect(&model_, &PanelModel::discoverableChanged, this, [this] {
    showDiscoverable();
    model_.refreshPorts();  // the listeners opened or closed
  });
  connect(&model_, &PanelModel::portsChanged, this,
          [this] { networkSheet_->setPorts(model_.sessionPort(), model_.pairingPort()); });
  connect(&model_, &PanelModel::pairingCodeChanged, this, &ControlPanel::showPairingCode);
  connect(&model_, &PanelModel::tokenChanged, this, &ControlPanel::showToken);
  connect(&model_, &PanelModel::devicesChanged, this, [this] {
    devices_->setPeers(model_.paired(), model_.connectedClientPairingID());
    emit rowsChanged();
  });
  connect(&model_, &PanelModel::remoteControlChanged, this, &ControlPanel::showRemoteControl);
  connect(&model_, &PanelModel::remoteControlRequestAnswered, this, [this](bool granted) {
    if (!granted) showAccessibilitySheet();
  });
  connect(&model_, &PanelModel::accessibilityChecked, this, [this] {
    const bool toolMissing = std::exchange(settingsToolMissing_, false);
    if (model_.axTrusted() && accessibilitySheet_->isVisible()) {
      model_.setAllowControlThisMac(true);
      accessibilitySheet_->accept();
      accessibilitySheet_->setErrorText(std::nullopt);
    } else if (toolMissing && !model_.axTrusted()) {
      accessibilitySheet_->setErrorText(QString(kNoSettingsTool));
    }
  });

  expiryTimer_ = new QTimer(this);
  expiryTimer_->setInterval(250);
  connect(expiryTimer_, &QTimer::timeout, this, &ControlPanel::refreshExpiryCaption);
  expiryTimer_->start();

  showDiscoverable();
  showPairingCode();
  showToken();
  devices_->setPeers(model_.paired(), model_.connectedClientPairingID());
  showRemoteControl();
  model_.refreshPorts();
}

ControlPanel::~ControlPanel() = default;

QWidget* ControlPanel::buildHeader() {
  auto* header = new QWidget;
  auto* row = new QHBoxLayout(header);
  row->setContentsMargins(0, 0, 0, 0);
  auto* icon = new QLabel;
  icon->setObjectName("appIcon");
  icon->setPixmap(QIcon(":/orvo/icons/orvo.svg").pixmap(48, 48));
  icon->setFixedSize(48, 48);
  row->addWidget(icon);
  auto* title = textLabel("Orvo", "title");
  QFont font = title->font();
  font.setBold(true);
  font.setPointSizeF(font.pointSizeF() * 1.8);
  title->setFont(font);
  row->addWidget(title, 1);
  return header;
}

QWidget* ControlPanel::buildPairing() {
  auto* section = new QWidget;
  auto* layout = new QVBoxLayout(section);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(6);
  layout->addWidget(heading("Pairing"));

  auto* content = new QWidget;
  content->setObjectName("pairingContent");
  auto* inner = new QVBoxLayout(content);
  inner->setContentsMargins(16, 0, 0, 0);
  inner->setSpacing(8);
  auto* codeHeadline = textLabel("6-digit Pairing Code");
  QFont semibold = codeHeadline->font();
  semibold.setWeight(QFont::DemiBold);
  codeHeadline->setFont(semibold);
  inner->addWidget(codeHeadline);

  auto* codeRow = new QHBoxLayout;
  pin_ = textLabel("", "pairingPin");
  pin_->setWordWrap(false);
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setPointSizeF(semibold.pointSizeF() * 1.6);
  mono.setBold(true);
  pin_->setFont(mono);
  pin_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  codeRow->addWidget(pin_);
  auto* regenerate =
      iconButton(QIcon(":/orvo/icons/arrow.clockwise.svg"), "Regenerate Pairing Code", "regeneratePinButton");
  connect(regenerate, &QToolButton::clicked, this, [this] { model_.regeneratePairingPIN(); });
  codeRow->addWidget(regenerate);
  auto* copy = iconButton(themedIcon({"edit-copy"}, "doc.on.doc"), "Copy Pairing Code", "copyPinButton");
  copy->setAutoRaise(true);
  pinCopied_ = new CopiedNotice("pinCopiedNotice");
  connect(copy, &QToolButton::clicked, this, [this] {
    copyToClipboard(pin_->text());
    pinCopied_->flash();
  });
  codeRow->addWidget(copy);
  codeRow->addWidget(pinCopied_);
  codeRow->addStretch(1);
  inner->addLayout(codeRow);

  inner->addWidget(textLabel("On iPad/Vision Pro, open Orvo, tap Pair, and enter this code."));
  expiry_ = caption("expiryCaption");
  inner->addWidget(expiry_);

  auto* advanced = new QWidget;
  advanced->setObjectName("advancedPairingContent");
  auto* advancedLayout = new QVBoxLayout(advanced);
  advancedLayout->setContentsMargins(16, 0, 0, 0);
  advancedLayout->setSpacing(8);
  advancedLayout->addWidget(textLabel("Paste this token into the Vision/iPad app (Advanced)."));
  generateToken_ = new QPushButton("Generate Pairing Token");
  generateToken_->setObjectName("generateTokenButton");
  connect(generateToken_, &QPushButton::clicked, this, [this] { model_.generatePairingToken(); });
  advancedLayout->addWidget(generateToken_, 0, Qt::AlignLeft);
  token_ = new QPlainTextEdit;
  token_->setObjectName("tokenText");
  token_->setReadOnly(true);
  token_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  token_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  token_->setFixedHeight(90);
  token_->setStyleSheet("QPlainTextEdit { border: 1px solid palette(mid); border-radius: 4px; }");
  advancedLayout->addWidget(token_);
  token_->setTabChangesFocus(true);
  copyToken_ = new QPushButton("Copy Token");
  copyToken_->setObjectName("copyTokenButton");
  tokenCopied_ = new CopiedNotice("tokenCopiedNotice");
  connect(copyToken_, &QPushButton::clicked, this, [this] {
    if (!model_.lastPairingToken()) return;
    copyToClipboard(QString::fromStdString(*model_.lastPairingToken()));
    tokenCopied_->flash();
  });
  auto* copyRow = new QHBoxLayout;
  copyRow->addWidget(copyToken_);
  copyRow->addWidget(tokenCopied_);
  copyRow->addStretch(1);
  advancedLayout->addLayout(copyRow);
  inner->addWidget(disclosure("Advanced", "Advanced", advanced, "advancedDisclosure"));
  inner->addWidget(advanced);

  layout->addWidget(disclosure("Show Pairing Code", "Hide Pairing Code", content, "pairingDisclosure"));
  layout->addWidget(content);
  return section;
}

QWidget* ControlPanel::buildPermissions() {
  auto* section = new QWidget;
  auto* layout = new QVBoxLayout(section);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(6);
  layout->addWidget(heading("Permissions"));

  remoteControl_ = new ToggleSwitch("Allow Orvo to control this computer");
  remoteControl_->setObjectName("remoteControlToggle");
  connect(remoteControl_, &QCheckBox::toggled, this, &ControlPanel::remoteControlToggled);
  layout->addWidget(remoteControl_);
  remoteControlCaption_ = caption("remoteControlCaption");
  layout->addWidget(remoteControlCaption_);
  accessibilityWarning_ = textLabel("Accessibility permission is required for remote input.", "accessibilityWarning");
  accessibilityWarning_->setStyleSheet("color: #b26a00;");
  layout->addWidget(accessibilityWarning_);

  auto* info = new QWidget;
  info->setObjectName("permissionsContent");
  auto* rows = new QVBoxLayout(info);
  rows->setContentsMargins(16, 0, 0, 0);
  rows->setSpacing(6);
  auto addRow = [&](const QString& title, const char* objectName, QDialog* sheet) {
    auto* row = new QHBoxLayout;
    row->addWidget(textLabel(title), 1);
    auto* more = new QPushButton("More info");
    more->setObjectName(objectName);
    connect(more, &QPushButton::clicked, this, [this, sheet] { openSheet(sheet); });
    row->addWidget(more);
    rows->addLayout(row);
  };
  // The three guidance sheets hang off the panel.
  networkSheet_ = new NetworkPermissionSheet(this);
  const auto wording = model_.sharesChosenWindows() ? PermissionWording::portal : PermissionWording::x11;
  screenRecordingSheet_ = new ScreenRecordingPermissionSheet(this, wording);
  accessibilitySheet_ = new AccessibilitySetupSheet(this, wording);
  addRow("Network Permissions", "networkMoreInfo", networkSheet_);
  addRow("Screen Recording Permissions", "screenRecordingMoreInfo", screenRecordingSheet_);
  addRow("Accessibility Permissions", "accessibilityMoreInfo", accessibilitySheet_);
  auto* openSettings = new QPushButton("Open Accessibility Settings");
  openSettings->setObjectName("openAccessibilitySettingsButton");
  connect(openSettings, &QPushButton::clicked, this, &ControlPanel::openAccessibilitySettings);
  rows->addWidget(openSettings, 0, Qt::AlignRight);

  layout->addWidget(disclosure("Show permissions info", "Hide permissions info", info, "permissionsDisclosure"));
  layout->addWidget(info);
  return section;
}

void ControlPanel::openSheet(QDialog* sheet) {
  if (sheet == networkSheet_) model_.refreshPorts();  // the sheet names the current ports
  sheet->open();
}

void ControlPanel::discoverableToggled(bool on) {
  // The switch shows what the host publishes; a change only asks for one.
  showSwitch(discoverable_, model_.isDiscoverable());
  if (on) {
    pendingEnableDiscoverable_ = true;
    openSheet(networkSheet_);
    return;
  }
  model_.setDiscoverable(false);
  pendingEnableDiscoverable_ = false;
  awaitingFirewallDecision_ = false;
}

void ControlPanel::networkSheetContinued() {
  model_.setDiscoverable(true);
  pendingEnableDiscoverable_ = false;
  awaitingFirewallDecision_ = true;
}

void ControlPanel::remoteControlToggled(bool on) {
  if (!on) {
    model_.setAllowControlThisMac(false);
    return;
  }
  // Stays off until the host has confirmed the grant.
  showSwitch(remoteControl_, model_.allowControlThisMac());
  model_.requestRemoteControl();
}

void ControlPanel::showAccessibilitySheet() {
  accessibilitySheet_->setErrorText(std::nullopt);
  accessibilitySheet_->open();
}

void ControlPanel::openAccessibilitySettings() {
  // On Wayland the grant is the portal's consent: asked again with the window picker.
  if (model_.sharesChosenWindows()) return model_.chooseWindows();
  accessibilitySheet_->setErrorText(std::nullopt);
  // Without a settings tool the grant is read again: where the display offers input
  // injection nothing is missing, and remote control turns on as on return.
  settingsToolMissing_ = !desktop_.openAccessibilitySettings();
  model_.recheckAccessibility();
}

void ControlPanel::recheckOnReturn() { model_.recheckAccessibility(); }

void ControlPanel::showDiscoverable() {
  const bool on = model_.isDiscoverable();
  showSwitch(discoverable_, on);
  discoverableCaption_->setText(
      on ? "Enabled: This computer is discoverable and listening for other Orvo devices on the network."
         : "Disabled: This computer is not discoverable or listening for other Orvo devices on the network.");
}

void ControlPanel::showPairingCode() {
  // A suspended code cannot pair: it is not shown, so that nobody types it in vain.
  pin_->setText(model_.pairingSuspended() ? QStringLiteral("------") : QString::fromStdString(model_.pairingPIN()));
  refreshExpiryCaption();
}

void ControlPanel::refreshExpiryCaption() {
  if (model_.pairingSuspended()) {
    expiry_->setText(kPairingSuspendedText);
    return;
  }
  expiry_->setText(QString::fromStdString(pinExpiryText(model_.pairingPinExpiresAt(), model_.now())));
}

void ControlPanel::showToken() {
  const auto& token = model_.lastPairingToken();
  token_->setVisible(token.has_value());
  copyToken_->setVisible(token.has_value());
  token_->setPlainText(token ? QString::fromStdString(*token) : QString());
  emit rowsChanged();
}

void ControlPanel::showRemoteControl() {
  const bool on = model_.allowControlThisMac();
  showSwitch(remoteControl_, on);
  remoteControlCaption_->setText(on ? "Enabled: Remote mouse/keyboard input and window focusing are allowed on this "
                                      "computer."
                                    : "Disabled: Remote input and window focusing are off.");
  accessibilityWarning_->setVisible(on && !model_.axTrusted());
}

void ControlPanel::copyToClipboard(const QString& text) {
  auto* clipboard = QGuiApplication::clipboard();
  clipboard->clear();
  clipboard->setText(text);
}

}  // namespace orvo::ui
