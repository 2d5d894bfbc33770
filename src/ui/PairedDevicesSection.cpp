#include "ui/PairedDevicesSection.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/PanelControls.h"
#include "ui/PeerDateFormatter.h"

namespace orvo::ui {
namespace {

QLabel* plainLabel(const QString& text, const char* objectName) {
  auto* label = new QLabel(text);
  label->setTextFormat(Qt::PlainText);
  label->setObjectName(objectName);
  return label;
}

}  // namespace

PeerRow::PeerRow(const OrvoPairedPeer& peer, bool isConnected, const PeerDateFormatter& dates, QWidget* parent)
    : QWidget(parent), peer_(peer) {
  setObjectName("peerRow");
  setAccessibleName(QString::fromStdString(peer.displayName));
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 4, 0, 4);
  auto* text = new QVBoxLayout;
  text->setSpacing(2);

  auto* nameLine = new QHBoxLayout;
  auto* name = plainLabel(QString::fromStdString(peer.displayName), "peerName");
  QFont bold = name->font();
  bold.setBold(true);
  name->setFont(bold);
  name->setWordWrap(true);
  nameLine->addWidget(name, 1);
  if (isConnected) {
    auto* mark = plainLabel("Connected", "connectedMark");
    mark->setStyleSheet("color: white; background: #2e7d32; border-radius: 6px; padding: 1px 6px;");
    nameLine->addWidget(mark, 0, Qt::AlignTop);
  }
  text->addLayout(nameLine);

  auto* paired = plainLabel(QString::fromStdString("Paired: " + dates.format(peer.createdAt)), "pairedText");
  paired->setStyleSheet("color: #5f6368;");
  text->addWidget(paired);
  if (peer.lastSeenAt) {
    auto* seen = plainLabel(QString::fromStdString("Last seen: " + dates.format(*peer.lastSeenAt)), "lastSeenText");
    seen->setStyleSheet("color: #5f6368;");
    text->addWidget(seen);
  }
  layout->addLayout(text, 1);

  auto* unpair = new QToolButton;
  unpair->setObjectName("unpairButton");
  unpair->setIcon(themedIcon({"list-remove"}, "minus.circle"));
  unpair->setIconSize(QSize(20, 20));
  unpair->setAutoRaise(true);
  unpair->setToolTip("Unpair this device");
  unpair->setAccessibleName("Unpair this device");
  layout->addWidget(unpair, 0, Qt::AlignVCenter);
  connect(unpair, &QToolButton::clicked, this, &PeerRow::unpairTapped);
}

PairedDevicesSection::PairedDevicesSection(const PeerDateFormatter& dates, UnpairCallback unpair, QWidget* parent)
    : QWidget(parent), dates_(dates), unpair_(std::move(unpair)) {
  setObjectName("pairedDevicesSection");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(6);
  header_ = plainLabel("Paired Devices (0)", "pairedDevicesHeader");
  QFont bold = header_->font();
  bold.setBold(true);
  header_->setFont(bold);
  layout->addWidget(header_);
  empty_ = plainLabel("No paired devices yet.", "noDevicesText");
  layout->addWidget(empty_);
}

void PairedDevicesSection::setPeers(const std::vector<OrvoPairedPeer>& peers,
                                    const std::optional<std::string>& connectedPairingID) {
  header_->setText(QString("Paired Devices (%1)").arg(peers.size()));
  empty_->setVisible(peers.empty());
  // A fresh container per list: rows are few and the list changes rarely.
  if (rows_) {
    layout()->removeWidget(rows_);
    rows_->hide();
    rows_->setObjectName(QString());
    rows_->deleteLater();
  }
  rows_ = new QWidget(this);
  rows_->setObjectName("peerRows");
  auto* rowsLayout = new QVBoxLayout(rows_);
  rowsLayout->setContentsMargins(0, 0, 0, 0);
  rowsLayout->setSpacing(0);
  layout()->addWidget(rows_);
  for (const auto& peer : peers) {
    auto* row = new PeerRow(peer, connectedPairingID && *connectedPairingID == peer.id, dates_, this);
    connect(row, &PeerRow::unpairTapped, this, [this, peer] { askToUnpair(peer); });
    rowsLayout->addWidget(row);
  }
}

void PairedDevicesSection::askToUnpair(const OrvoPairedPeer& peer) {
  confirmUnpair_ = peer;
  if (confirmation_) confirmation_->deleteLater();
  confirmation_ = new QMessageBox(window());
  confirmation_->setObjectName("unpairConfirmation");
  confirmation_->setIcon(QMessageBox::Warning);
  confirmation_->setWindowTitle("Unpair device?");
  // Plain text throughout: the name comes from the client.
  confirmation_->setTextFormat(Qt::PlainText);
  confirmation_->setText(QString::fromStdString("This will revoke access for “" + peer.displayName +
                                                "”. If it’s currently connected, it will be disconnected "
                                                "immediately."));
  auto* unpair = confirmation_->addButton("Unpair", QMessageBox::DestructiveRole);
  unpair->setObjectName("confirmUnpairButton");
  auto* cancel = confirmation_->addButton(QMessageBox::Cancel);
  cancel->setObjectName("cancelUnpairButton");
  confirmation_->setDefaultButton(cancel);
  // Escape cancels a message box; Ctrl+W closes windows on Linux desktops.
  auto* close = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), confirmation_);
  connect(close, &QShortcut::activated, cancel, &QAbstractButton::click);
  connect(confirmation_, &QMessageBox::buttonClicked, this, [this, unpair](QAbstractButton* button) {
    if (button == unpair && confirmUnpair_) unpair_(confirmUnpair_->id);
    confirmUnpair_.reset();
  });
  confirmation_->open();
}

}  // namespace orvo::ui
