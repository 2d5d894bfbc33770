// Client liveness: hello, ping and visibility, and the monitor that drops a client gone silent.
#include "core/Clock.h"
#include "core/Coding.h"
#include "core/Log.h"
#include "host/OrvoHost.h"
#include "pairing/OrvoPairingStore.h"

namespace orvo {

void OrvoHost::handleClientHello(const ClientHelloMessage& hello) {
  const std::string name = trimWhitespace(hello.deviceName);
  if (name.empty()) return;
  services_.main.async(weakly([name](OrvoHost& self) { self.setStatus("Connected: " + name); }));
  if (hello.pairingID) {
    services_.main.async(
        weakly([id = *hello.pairingID](OrvoHost& self) { self.connectedClientPairingID_.set(id); }));
    pairingStore_->touchPeer(*hello.pairingID, name);
  }
  logLine(services_.logger, "OrvoHost: clientHello =", escapeForLog(name), "platform=", escapeForLog(hello.platform),
          "pairingID=", hello.pairingID ? escapeForLog(*hello.pairingID) : std::string("nil"));
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
