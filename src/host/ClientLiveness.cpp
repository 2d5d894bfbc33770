// Client liveness: hello, ping and visibility, and the monitor that drops a client gone silent.
#include "core/Clock.h"
#include "core/Coding.h"
#include "core/Log.h"
#include "core/Utf8.h"
#include "host/OrvoHost.h"
#include "pairing/OrvoPairingStore.h"

namespace orvo {

void OrvoHost::handleClientHello(const ClientHelloMessage& hello) {
  const std::string name = trimWhitespace(truncateUtf8(hello.deviceName, maxDeviceNameBytes));
  if (name.empty()) return;
  services_.main.async(weakly([name](OrvoHost& self) { self.setStatus("Connected: " + name); }));
  // The session is the device whose key admitted it: a hello cannot rename or mark as seen
  // another device.
  auto pairingID = hello.pairingID;
  if (pairingID && authenticatedPairingID_ && *pairingID != *authenticatedPairingID_) {
    logLine(services_.logger, "OrvoHost: clientHello pairingID", escapeForLog(*pairingID),
            "differs from the device that authenticated,", *authenticatedPairingID_ + "; using the latter");
    pairingID = authenticatedPairingID_;
  }
  if (pairingID) {
    services_.main.async(weakly([id = *pairingID](OrvoHost& self) { self.connectedClientPairingID_.set(id); }));
    pairingStore_->touchPeer(*pairingID, name);
  }
  logLine(services_.logger, "OrvoHost: clientHello =", escapeForLog(name), "platform=", escapeForLog(hello.platform),
          "pairingID=", pairingID ? escapeForLog(*pairingID) : std::string("nil"));
}

void OrvoHost::startClientPingMonitor() {
  clientPingMonitor_.reset();
  clientPingMonitor_ =
      services_.main.scheduleRepeating(pingMonitorInterval, weakly([](OrvoHost& self) { self.checkClientLiveness(); }));
}

void OrvoHost::checkClientLiveness() {
  if (!clientIsVisible_) return;
  const double silence = services_.clock.now() - lastClientPingAt_;
  if (silence <= pingTimeoutSeconds) return;
  clientIsVisible_ = false;
  logLine(services_.logger, "OrvoHost: client went silent; suspending streaming.");
  updateAwakeState();
  resetSessionState();  // cancels the connection, whose late events are then ignored
}

}  // namespace orvo
