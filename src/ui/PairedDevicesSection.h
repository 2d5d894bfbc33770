#pragma once

#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pairing/OrvoPairedPeer.h"

class QLabel;
class QMessageBox;

namespace orvo::ui {

class PeerDateFormatter;

// One paired device: its name (as plain text, it comes from the client), the "Connected"
// mark, when it was paired and last seen, and the unpair button. GUI thread.
class PeerRow final : public QWidget {
  Q_OBJECT
 public:
  PeerRow(const OrvoPairedPeer& peer, bool isConnected, const PeerDateFormatter& dates, QWidget* parent = nullptr);
  const OrvoPairedPeer& peer() const { return peer_; }
 signals:
  void unpairTapped();

 private:
  OrvoPairedPeer peer_;
};

// "Paired Devices (N)" and one row per device in the store's order; unpairing asks for
// confirmation first. GUI thread.
class PairedDevicesSection final : public QWidget {
  Q_OBJECT
 public:
  using UnpairCallback = std::function<void(const std::string& pairingID)>;
  PairedDevicesSection(const PeerDateFormatter& dates, UnpairCallback unpair, QWidget* parent = nullptr);

  void setPeers(const std::vector<OrvoPairedPeer>& peers, const std::optional<std::string>& connectedPairingID);
  // The peer whose confirmation is open.
  const std::optional<OrvoPairedPeer>& confirmUnpair() const { return confirmUnpair_; }
  QMessageBox* confirmation() const { return confirmation_; }

 private:
  void askToUnpair(const OrvoPairedPeer& peer);

  const PeerDateFormatter& dates_;
  UnpairCallback unpair_;
  QLabel* header_;
  QLabel* empty_;
  QWidget* rows_ = nullptr;
  std::optional<OrvoPairedPeer> confirmUnpair_;
  QMessageBox* confirmation_ = nullptr;
};

}  // namespace orvo::ui
