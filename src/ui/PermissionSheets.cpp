#include "ui/PermissionSheets.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvo::ui {
namespace {

QLabel* addText(QVBoxLayout* layout, const QString& text, const char* objectName = nullptr) {
  auto* label = new QLabel(text);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  if (objectName) label->setObjectName(objectName);
  layout->addWidget(label);
  return label;
}

QVBoxLayout* sheetLayout(QDialog* sheet, const QString& title, const char* objectName) {
  sheet->setObjectName(objectName);
  sheet->setWindowTitle(title);
  sheet->setModal(true);
  sheet->setFixedWidth(400);
  auto* layout = new QVBoxLayout(sheet);
  layout->setSpacing(12);
  layout->setContentsMargins(20, 20, 20, 20);
  auto* heading = addText(layout, title, "title");
  QFont font = heading->font();
  font.setBold(true);
  font.setPointSizeF(font.pointSizeF() * 1.25);
  heading->setFont(font);
  return layout;
}

QPushButton* addDefaultButton(QVBoxLayout* layout, QDialogButtonBox* box, const QString& text,
                              QDialogButtonBox::ButtonRole role) {
  auto* button = box->addButton(text, role);
  button->setDefault(true);
  button->setAutoDefault(true);
  layout->addWidget(box);
  return button;
}

}  // namespace

NetworkPermissionSheet::NetworkPermissionSheet(QWidget* parent) : QDialog(parent) {
  auto* layout = sheetLayout(this, "Allow Incoming Network Connections", "networkPermissionSheet");
  addText(layout,
          "Orvo needs permission to accept incoming network connections when you pair a device. This will allow Orvo "
          "on iPad or Apple Vision Pro to discover and connect to this computer via the local network.");
  addText(layout,
          "If you click “Don’t Allow”, your devices will be unable to connect. You can change this later in Network "
          "settings.");
  auto* box = new QDialogButtonBox;
  auto* button = addDefaultButton(layout, box, "Continue", QDialogButtonBox::AcceptRole);
  button->setObjectName("continueButton");
  connect(button, &QPushButton::clicked, this, [this] {
    accept();
    emit continued();
  });
}

ScreenRecordingPermissionSheet::ScreenRecordingPermissionSheet(QWidget* parent, PermissionWording wording)
    : QDialog(parent) {
  auto* layout = sheetLayout(this, "Allow Screen Recording", "screenRecordingPermissionSheet");
  addText(layout, "Orvo uses Screen Recording to capture and stream your computer's app windows to paired devices.");
  if (wording == PermissionWording::portal) {
    addText(layout,
            "Orvo does not store or upload screen content. On Wayland, Orvo sees only the windows you share: click "
            "“Choose Windows…” and pick them in the desktop's sharing dialog. Tick “Remember this selection” (where "
            "the dialog offers it) so that Orvo shares the same windows after a restart without asking.");
    addText(layout, "Your devices are never asked for anything: the desktop asks you, here, when you choose windows.");
  } else {
    addText(layout,
            "Orvo does not store or upload screen content. On an X11 desktop no permission needs to be granted: like "
            "any program on the display, Orvo can read the windows it streams.");
  }
  auto* box = new QDialogButtonBox;
  auto* button = addDefaultButton(layout, box, "Continue", QDialogButtonBox::AcceptRole);
  button->setObjectName("continueButton");
  connect(button, &QPushButton::clicked, this, &QDialog::accept);
}

AccessibilitySetupSheet::AccessibilitySetupSheet(QWidget* parent, PermissionWording wording) : QDialog(parent) {
  auto* layout = sheetLayout(this, "Enable Accessibility for Orvo", "accessibilitySetupSheet");
  addText(layout,
          "To send remote mouse/keyboard input and focus windows, Orvo needs Accessibility permission. Streaming works "
          "without it.");
  auto* steps = addText(layout, "Steps");
  QFont bold = steps->font();
  bold.setBold(true);
  steps->setFont(bold);
  const bool portal = wording == PermissionWording::portal;
  if (portal) {
    addText(layout, "1) Click “Ask Again”.");
    addText(layout, "2) Choose the windows to share in the desktop's sharing dialog.");
    addText(layout,
            "3) When the desktop asks whether Orvo may control the pointer and keyboard (“Allow remote interaction”), "
            "allow it. The desktop asks again each time Orvo starts.");
    addText(layout, "4) Come back to Orvo — it will auto-enable control.");
  } else {
    addText(layout, "1) Click “Open Accessibility Settings”.");
    addText(layout,
            "2) Make sure the display offers input injection: the X server needs the XTEST extension "
            "(xdpyinfo lists it).");
    addText(layout, "3) If the desktop asks whether Orvo may control the pointer and keyboard, allow it.");
    addText(layout, "4) Come back to Orvo — it will auto-enable control.");
  }
  error_ = addText(layout, "", "errorText");
  error_->setStyleSheet("color: #b3261e;");
  error_->hide();

  auto* box = new QDialogButtonBox;
  auto* notNow = box->addButton("Not Now", QDialogButtonBox::RejectRole);
  notNow->setObjectName("notNowButton");
  notNow->setAutoDefault(false);
  auto* open = addDefaultButton(layout, box, portal ? "Ask Again" : "Open Accessibility Settings",
                                QDialogButtonBox::ActionRole);
  open->setObjectName("openSettingsButton");
  connect(notNow, &QPushButton::clicked, this, &QDialog::reject);
  connect(open, &QPushButton::clicked, this, &AccessibilitySetupSheet::openSettingsRequested);
}

void AccessibilitySetupSheet::setErrorText(const std::optional<QString>& text) {
  error_->setText(text.value_or(QString()));
  error_->setVisible(text.has_value());
}

std::optional<QString> AccessibilitySetupSheet::errorText() const {
  if (error_->isHidden()) return std::nullopt;
  return error_->text();
}

}  // namespace orvo::ui
