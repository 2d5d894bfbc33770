#include "ui/PanelModel.h"

#include <utility>

#include "core/Clock.h"
#include "host/OrvoHost.h"
#include "pairing/OrvoPairingStore.h"
#include "platform/WindowActivation.h"

namespace orvo::ui {
namespace {

constexpr const char* kPendingTokenName = "Orvo Client (pending)";

struct Ports {
  std::optional<std::uint16_t> session;
  std::optional<std::uint16_t> pairing;
};

struct RemoteControlState {
  bool trusted = false;
  bool allowed = false;
};

}  // namespace

PanelModel::PanelModel(const PanelHost& host, QObject* parent)
    : QObject(parent), services_(host), link_(host.main, this) {
  OrvoHost& h = services_.host;
  link_.watch<bool>(h.isDiscoverable(), [this](const bool& value) {
    isDiscoverable_ = value;
    emit discoverableChanged();
    arrived();
  });
  link_.watch<std::string>(h.pairingPIN(), [this](const std::string& value) {
    pairingPIN_ = value;
    emit pairingCodeChanged();
    arrived();
  });
  link_.watch<double>(h.pairingPinExpiresAt(), [this](const double& value) {
    pairingPinExpiresAt_ = value;
    emit pairingCodeChanged();
    arrived();
  });
  link_.watch<bool>(h.pairingSuspended(), [this](const bool& value) {
    pairingSuspended_ = value;
    emit pairingCodeChanged();
    arrived();
  });
  link_.watch<std::optional<std::string>>(h.lastPairingToken(), [this](const std::optional<std::string>& value) {
    lastPairingToken_ = value;
    emit tokenChanged();
    arrived();
  });
  link_.watch<std::optional<std::string>>(h.connectedClientPairingID(),
                                          [this](const std::optional<std::string>& value) {
                                            connectedClientPairingID_ = value;
                                            emit devicesChanged();
                                            arrived();
                                          });
  // The store is reached on the main queue, where it lives.
  link_.watchFrom<std::vector<OrvoPairedPeer>>(
      [&h]() -> const Published<std::vector<OrvoPairedPeer>>& { return h.pairingStore().paired(); },
      [this](const std::vector<OrvoPairedPeer>& value) {
        paired_ = value;
        emit devicesChanged();
        arrived();
      });
  if (auto* sharing = services_.sharing) {
    pending_ += 2;
    link_.watch<std::vector<platform::SharedWindow>>(sharing->sharedWindows(),
                                                     [this](const std::vector<platform::SharedWindow>& value) {
                                                       sharedWindows_ = value;
                                                       emit sharedWindowsChanged();
                                                       arrived();
                                                     });
    link_.watch<std::string>(sharing->sharingStatus(), [this](const std::string& value) {
      sharingStatus_ = value;
      emit sharedWindowsChanged();
      arrived();
    });
  }
  recheckAccessibility();
}

PanelModel::~PanelModel() = default;

double PanelModel::now() const { return services_.clock.now(); }

void PanelModel::arrived() {
  if (pending_ > 0 && --pending_ == 0) emit loaded();
}

void PanelModel::setDiscoverable(bool discoverable) {
  link_.onHost([&host = services_.host, discoverable] { host.setDiscoverable(discoverable); });
}

void PanelModel::regeneratePairingPIN() {
  link_.onHost([&host = services_.host] { host.requestNewPairingCode(); });
}

void PanelModel::generatePairingToken() {
  link_.onHost([&host = services_.host] { (void)host.generatePairingToken(kPendingTokenName); });
}

void PanelModel::unpair(const std::string& pairingID) {
  link_.onHost([&host = services_.host, pairingID] { (void)host.revokePairing(pairingID); });
}

void PanelModel::setAllowControlThisMac(bool allowed) {
  allowControlThisMac_ = allowed;
  emit remoteControlChanged();
  link_.onHost([&host = services_.host, allowed] { host.setAllowControlThisMac(allowed); });
}

void PanelModel::requestRemoteControl() {
  link_.ask<RemoteControlState>(
      [&host = services_.host, &activation = services_.activation] {
        const bool trusted = activation.isTrusted();
        host.setAllowControlThisMac(trusted);
        return RemoteControlState{trusted, trusted};
      },
      [this](const RemoteControlState& state) {
        axTrusted_ = state.trusted;
        allowControlThisMac_ = state.allowed;
        emit remoteControlChanged();
        emit remoteControlRequestAnswered(state.trusted);
      });
}

void PanelModel::recheckAccessibility() {
  link_.ask<RemoteControlState>(
      [&host = services_.host, &activation = services_.activation] {
        return RemoteControlState{activation.isTrusted(), host.allowControlThisMac()};
      },
      [this](const RemoteControlState& state) {
        axTrusted_ = state.trusted;
        allowControlThisMac_ = state.allowed;
        emit remoteControlChanged();
        emit accessibilityChecked();
      });
}

void PanelModel::refreshPorts() {
  link_.ask<Ports>(
      [&host = services_.host] {
        return Ports{host.listenerPort(), host.pairingListenerPort()};
      },
      [this](const Ports& ports) {
        sessionPort_ = ports.session;
        pairingPort_ = ports.pairing;
        emit portsChanged();
      });
}

void PanelModel::chooseWindows() {
  if (auto* sharing = services_.sharing) link_.onHost([sharing] { sharing->chooseWindows({}); });
}

void PanelModel::stopSharing(std::uint32_t windowId) {
  if (auto* sharing = services_.sharing) link_.onHost([sharing, windowId] { sharing->stopSharing(windowId); });
}

void PanelModel::stopSharingAll() {
  if (auto* sharing = services_.sharing) link_.onHost([sharing] { sharing->stopSharingAll(); });
}

}  // namespace orvo::ui
