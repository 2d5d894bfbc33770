#pragma once

#include <QObject>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pairing/OrvoPairedPeer.h"
#include "platform/WindowSharing.h"
#include "ui/HostLink.h"

namespace orvo {
class Clock;
class OrvoHost;
namespace platform {
class WindowActivation;
class WindowSharing;
}
}  // namespace orvo

namespace orvo::ui {

// What the panel needs of the running host.
struct PanelHost {
  OrvoHost& host;
  MainQueue& main;                         // the host's main queue
  platform::WindowActivation& activation;  // whether input injection is possible
  const Clock& clock;                      // for the pairing code's expiry caption
  // Where the person chooses the windows to share (Wayland); null where every window is listed.
  platform::WindowSharing* sharing = nullptr;
};

// The panel's copy of the host's published state, kept on the GUI thread, and the
// operations the panel calls, forwarded to the host's main queue. Every value arrives
// through HostLink; nothing here reads host state directly.
//
// GUI thread only.
class PanelModel final : public QObject {
  Q_OBJECT

 public:
  explicit PanelModel(const PanelHost& host, QObject* parent = nullptr);
  ~PanelModel() override;

  bool isDiscoverable() const { return isDiscoverable_; }
  const std::string& pairingPIN() const { return pairingPIN_; }
  double pairingPinExpiresAt() const { return pairingPinExpiresAt_; }
  // Too many wrong codes were tried: nobody pairs until a new code is asked for.
  bool pairingSuspended() const { return pairingSuspended_; }
  const std::optional<std::string>& lastPairingToken() const { return lastPairingToken_; }
  const std::optional<std::string>& connectedClientPairingID() const { return connectedClientPairingID_; }
  const std::vector<OrvoPairedPeer>& paired() const { return paired_; }
  bool allowControlThisMac() const { return allowControlThisMac_; }
  bool axTrusted() const { return axTrusted_; }
  // Whether the person chooses the windows to share (Wayland), and what is shared.
  bool sharesChosenWindows() const { return services_.sharing != nullptr; }
  const std::vector<platform::SharedWindow>& sharedWindows() const { return sharedWindows_; }
  const std::string& sharingStatus() const { return sharingStatus_; }
  // The listeners' ports as last read (absent while not listening).
  std::optional<std::uint16_t> sessionPort() const { return sessionPort_; }
  std::optional<std::uint16_t> pairingPort() const { return pairingPort_; }
  // True once the first value of every published property has arrived.
  bool isLoaded() const { return pending_ == 0; }
  double now() const;

  // Operations, run on the host's main queue.
  void setDiscoverable(bool discoverable);
  // The person asks for a new code (which also resumes a suspended pairing).
  void regeneratePairingPIN();
  void generatePairingToken();
  // Drops the client when it is (or may be) this device, then removes the device and its key.
  void unpair(const std::string& pairingID);
  void setAllowControlThisMac(bool allowed);
  // Turning remote control on: reads the grant and stores true only when it is present.
  // Answers with remoteControlRequestAnswered(granted).
  void requestRemoteControl();
  // Reads the grant and the stored remote-control setting again; answers with
  // accessibilityChecked().
  void recheckAccessibility();
  // The desktop's window picker; stopping one window or all.
  void chooseWindows();
  void stopSharing(std::uint32_t windowId);
  void stopSharingAll();
  // Reads the listeners' ports; answers with portsChanged().
  void refreshPorts();

 signals:
  void discoverableChanged();
  void pairingCodeChanged();
  void tokenChanged();
  void devicesChanged();
  void remoteControlChanged();
  void accessibilityChecked();
  void remoteControlRequestAnswered(bool granted);
  void loaded();
  void sharedWindowsChanged();
  void portsChanged();

 private:
  void arrived();

  PanelHost services_;
  HostLink link_;
  int pending_ = 7;
  bool isDiscoverable_ = false;
  std::string pairingPIN_;
  double pairingPinExpiresAt_ = 0;
  bool pairingSuspended_ = false;
  std::optional<std::string> lastPairingToken_;
  std::optional<std::string> connectedClientPairingID_;
  std::vector<OrvoPairedPeer> paired_;
  bool allowControlThisMac_ = false;
  bool axTrusted_ = false;
  std::vector<platform::SharedWindow> sharedWindows_;
  std::string sharingStatus_;
  std::optional<std::uint16_t> sessionPort_;
  std::optional<std::uint16_t> pairingPort_;
};

}  // namespace orvo::ui
