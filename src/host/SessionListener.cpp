// The session listener: TLS-PSK listener with one key per paired device, its DNS-SD
// advertisement, the one client session (newest authenticated connection wins) and its
// receive loop.
#include <algorithm>
#include <cmath>

#include "core/Clock.h"
#include "core/Coding.h"
#include "core/Log.h"
#include "host/AdmissionPolicy.h"
#include "host/OrvoHost.h"
#include "pairing/Keychain.h"
#include "pairing/OrvoPairingStore.h"
#include "pairing/OrvoTLS.h"

namespace orvo {

std::shared_ptr<platform::Connection> OrvoHost::currentConnection() const { return connection_.load(); }

void OrvoHost::setConnection(std::shared_ptr<platform::Connection> connection) { connection_.store(std::move(connection)); }

void OrvoHost::startListener() {
  if (!*isDiscoverable_) {
    setStatus("Not discoverable");
    return;
  }
  if (listener_) return;

  platform::TlsParameters options;
  for (const auto& peer : pairingStore_->paired().get()) {
    const auto key = loadPSK(services_.secrets, pairingStore_->keychainService(), peer.id);
    if (!key || key->empty()) continue;
    addPreSharedKey(options, peer.id, *key);
  }
  options.cipherSuites = {kOrvoPskCipherSuite};

  std::string error;
  auto listener = services_.network.makeListener(options, lastListenerPort_, error);
  if (!listener) {
    setStatus("Failed to start listener: " + error);
    logLine(services_.logger, "OrvoHost listener error:", error);
    return;
  }
  listener_ = listener;
  listener_->setStateHandler(weakly([](OrvoHost& self, const platform::ListenerState& state) {
    // One more hop through the main queue before the state is handled.
    self.services_.main.async(self.weakly([state](OrvoHost& host) { host.handleListenerState(state); }));
  }));
  listener_->setNewConnectionHandler(weakly([](OrvoHost& self, std::shared_ptr<platform::Connection> connection) {
    self.handleNewConnection(std::move(connection));
  }));
  listener_->start();
  setStatus("Starting listener…");
}

void OrvoHost::restartListener() {
  if (!*isDiscoverable_) return;
  if (listener_) {
    listener_->setStateHandler({});
    listener_->setNewConnectionHandler({});
    listener_->cancel();
    listener_.reset();
  }
  if (netService_) {
    netService_->stop();
    netService_.reset();
  }
  startListener();
}

void OrvoHost::handleListenerState(const platform::ListenerState& state) {
  using Kind = platform::ListenerStateKind;
  switch (state.kind) {
    case Kind::waiting:
      setStatus("Waiting: " + state.error);
      return;
    case Kind::setup:
      setStatus("Setting up…");
      return;
    case Kind::ready: {
      const auto port = listener_ ? listener_->port() : std::nullopt;
      if (!port) {
        setStatus("Listener ready (unknown port)");
        return;
      }
      lastListenerPort_ = *port;
      const auto count = pairingStore_->paired()->size();
      const std::string portText = std::to_string(*port);
      if (count == 0) {
        setStatus("Listening on port " + portText +
                  " (TLS enabled; 0 paired clients — connections will be rejected until paired)");
      } else {
        setStatus("Listening on port " + portText + " (TLS enabled; " + std::to_string(count) + " paired client" +
                  (count == 1 ? "" : "s") + ")");
      }
      if (*isDiscoverable_) publishService(*port);
      return;
    }
    case Kind::failed:
      services_.main.async(weakly([error = state.error](OrvoHost& self) {
        self.setStatus("Listener failed: " + error);
        self.resetSessionState();
      }));
      return;
    case Kind::cancelled:
      services_.main.async(weakly([](OrvoHost& self) {
        self.setStatus("Listener cancelled");
        self.resetSessionState();
      }));
      return;
  }
  setStatus("Unknown listener state");
}

void OrvoHost::handleNewConnection(std::shared_ptr<platform::Connection> connection) {
  if (!*isDiscoverable_) {
    connection->cancel();
    return;
  }
  const std::string endpoint = connection->endpointDescription();
  const std::string address = addressKeyOf(endpoint);
  // Strangers must not hold every slot: a few per address, and a newcomer from an
  // address with none in progress pushes the oldest out instead of being refused.
  std::vector<SlotHolder> holders;
  holders.reserve(pendingHandshakes_.size());
  for (const auto& [key, pending] : pendingHandshakes_) holders.push_back({pending.serial, pending.address, true});
  const auto decision = decideAdmission(holders, address, maxPendingHandshakes, maxPendingHandshakesPerAddress);
  switch (decision.kind) {
    case SlotDecision::Kind::refuseAddressFull:
      logRefusal("too many handshakes from one address", address,
                 "OrvoHost: too many handshakes from " + address + " in progress; refusing " + endpoint);
      connection->cancel();
      return;
    case SlotDecision::Kind::refuseFull:
      logRefusal("too many handshakes in progress", address,
                 "OrvoHost: too many handshakes in progress; refusing " + endpoint);
      connection->cancel();
      return;
    case SlotDecision::Kind::admit:
      break;
  }
  if (decision.evict) {
    for (const auto& [key, pending] : pendingHandshakes_) {
      if (pending.serial != *decision.evict) continue;
      dropPendingHandshake(key, pending.serial, "handshake given up for a newer address",
                           "OrvoHost: handshake given up for a newer address: " + pending.endpoint);
      break;
    }
  }
  const auto serial = nextConnectionSerial_++;
  pendingHandshakes_[connection.get()] = PendingHandshake{connection, endpoint, serial, address};
  logRefusal("new connection", address, "OrvoHost: new connection from " + endpoint);

  std::weak_ptr<platform::Connection> weakConnection = connection;
  connection->setStateHandler(
      weakly([weakConnection, endpoint](OrvoHost& self, const platform::ConnectionState& state) {
        if (auto strong = weakConnection.lock()) self.handleConnectionState(strong, endpoint, state);
      }));
  // A peer that says nothing holds a slot for nobody: its first record must come soon.
  services_.main.asyncAfter(firstRecordTimeoutSeconds, weakly([key = connection.get(), serial](OrvoHost& self) {
    const auto found = self.pendingHandshakes_.find(key);
    if (found == self.pendingHandshakes_.end() || found->second.serial != serial) return;
    if (found->second.connection->hasReceivedFirstRecord()) return;
    self.dropPendingHandshake(key, serial, "no TLS record in time",
                              "OrvoHost: no TLS record within " + formatDouble(firstRecordTimeoutSeconds) +
                                  " s; closing " + found->second.endpoint);
  }));
  // A handshake that stalls is abandoned; it never touches the current session.
  services_.main.asyncAfter(handshakeTimeoutSeconds, weakly([key = connection.get(), serial](OrvoHost& self) {
    const auto found = self.pendingHandshakes_.find(key);
    if (found == self.pendingHandshakes_.end() || found->second.serial != serial) return;
    self.dropPendingHandshake(key, serial, "handshake timed out",
                              "OrvoHost: handshake timed out: " + found->second.endpoint);
  }));
  connection->start();
}

void OrvoHost::dropPendingHandshake(const platform::Connection* key, std::uint64_t serial, const char* kind,
                                    const std::string& why) {
  const auto found = pendingHandshakes_.find(key);
  if (found == pendingHandshakes_.end() || found->second.serial != serial) return;
  const auto pending = std::move(found->second);
  pendingHandshakes_.erase(found);
  logRefusal(kind, pending.address, why);
  pending.connection->setStateHandler({});
  pending.connection->cancel();
}

void OrvoHost::logRefusal(const std::string& kind, const std::string& address, const std::string& line) {
  if (refusalLog_) {
    refusalLog_->write(kind, address, line, services_.clock.now());
  } else {
    services_.logger.write(line);
  }
}

void OrvoHost::handleConnectionState(const std::shared_ptr<platform::Connection>& connection,
                                     const std::string& endpoint, const platform::ConnectionState& state) {
  using Kind = platform::ConnectionStateKind;
  const auto pending = pendingHandshakes_.find(connection.get());
  if (pending != pendingHandshakes_.end()) {
    const std::string address = pending->second.address;
    switch (state.kind) {
      case Kind::ready:
        pendingHandshakes_.erase(pending);
        promoteConnection(connection, endpoint);
        return;
      case Kind::failed:
        // A device whose key is not in the set ends here. The current session, if any,
        // carries on untouched; without one the status tells why the client could not join.
        pendingHandshakes_.erase(pending);
        logRefusal("connection failed", address, "OrvoHost: connection failed: " + state.error);
        if (!currentConnection()) setStatus("Connection failed: " + state.error);
        return;
      case Kind::cancelled:
        pendingHandshakes_.erase(pending);
        logRefusal("connection cancelled", address, "OrvoHost: connection cancelled: " + endpoint);
        return;
      default:
        return;
    }
  }
  if (connection != currentConnection()) return;
  switch (state.kind) {
    case Kind::ready:
      return;  // already handled when the connection was promoted
    case Kind::failed:
      logLine(services_.logger, "OrvoHost: connection failed:", state.error);
      setStatus("Connection failed: " + state.error);
      resetSessionState();
      return;
    case Kind::cancelled:
      logLine(services_.logger, "OrvoHost: connection cancelled:", endpoint);
      setStatus("Client disconnected");
      resetSessionState();
      return;
    default:
      return;
  }
}

std::optional<std::string> OrvoHost::pairingIdOf(const platform::Connection& connection) const {
  const Bytes secret = connection.authenticatedKeySecret();
  if (secret.empty()) return std::nullopt;
  return std::string(secret.begin(), secret.end());
}

void OrvoHost::promoteConnection(const std::shared_ptr<platform::Connection>& connection,
                                 const std::string& endpoint) {
  // The session belongs to the device whose key admitted it. A handshake that finished
  // with a key revoked meanwhile (the listener it began on still held it) gets no session.
  const auto pairingID = pairingIdOf(*connection);
  if (pairingID && std::ranges::none_of(pairingStore_->paired().get(),
                                        [&](const OrvoPairedPeer& peer) { return peer.id == *pairingID; })) {
    logLine(services_.logger, "OrvoHost: connection authenticated with a revoked key; closing:", endpoint);
    connection->setStateHandler({});
    connection->cancel();
    return;
  }
  // One client at a time, the newest authenticated one wins. The replaced connection's
  // late events are ignored because it is no longer current.
  if (auto previous = currentConnection()) {
    previous->setStateHandler({});
    previous->cancel();
  }
  setConnection(connection);
  authenticatedPairingID_ = pairingID;
  receiveBuffer_.clear();
  receiveScanned_ = 0;
  clientIsVisible_ = true;
  lastClientPingAt_ = services_.clock.now();
  startClientPingMonitor();
  updateAwakeState();
  logLine(services_.logger, "OrvoHost: connection ready:", endpoint);
  setStatus("Client connected");
  receiveNext(connection);
}

void OrvoHost::receiveNext(const std::shared_ptr<platform::Connection>& connection) {
  std::weak_ptr<platform::Connection> weakConnection = connection;
  connection->receive(
      1, sessionReceiveChunk,
      weakly([weakConnection](OrvoHost& self, Bytes data, bool isComplete, std::optional<std::string> error) {
        const auto current = weakConnection.lock();
        if (!current || current != self.currentConnection()) return;
        // Received bytes are always handled before the end of the session is acted on.
        if (!data.empty()) {
          self.ingestReceivedData(data.data(), data.size());
          if (current != self.currentConnection()) return;  // the data ended the session
        }
        if (error) {
          logLine(self.services_.logger, "OrvoHost: receive error:", *error);
          self.resetSessionState();
        } else if (isComplete) {
          logLine(self.services_.logger, "OrvoHost: connection completed by peer");
          self.resetSessionState();
        } else {
          self.receiveNext(current);
        }
      }));
}

void OrvoHost::cancelPendingHandshakes() {
  auto pending = std::move(pendingHandshakes_);
  pendingHandshakes_.clear();
  for (auto& [key, handshake] : pending) {
    handshake.connection->setStateHandler({});
    handshake.connection->cancel();
  }
}

void OrvoHost::resetSessionState() {
  services_.main.async(weakly([](OrvoHost& self) { self.connectedClientPairingID_.set(std::nullopt); }));
  // The connection is closed as well as released: left open it would hold a socket
  // that nobody reads.
  if (auto connection = connection_.exchange(nullptr)) {
    connection->setStateHandler({});
    connection->cancel();
  }
  authenticatedPairingID_.reset();
  receiveBuffer_.clear();
  receiveScanned_ = 0;
  clientPingMonitor_.reset();
  if (handlers_.input) handlers_.input->resetClickTracking();
  if (handlers_.stream) handlers_.stream->resetStreamState();
  clientIsVisible_ = false;
  updateAwakeState();
}

void OrvoHost::disconnectClient(const std::string& reason) {
  services_.main.async(weakly([reason](OrvoHost& self) {
    self.setStatus("Client disconnected (" + reason + ")");
    self.connectedClientPairingID_.set(std::nullopt);
  }));
  resetSessionState();  // removes the connection's handler and cancels it
}

bool OrvoHost::isClientConnected(const std::string& pairingID) const {
  // The key that admitted the session names its device, whatever the hello said.
  if (currentConnection() && authenticatedPairingID_) return *authenticatedPairingID_ == pairingID;
  const auto& connected = *connectedClientPairingID_;
  if (connected) return *connected == pairingID;
  return currentConnection() != nullptr;
}

void OrvoHost::installServiceDelegate(platform::NetService& service) {
  service.setDelegate(platform::NetService::Delegate{
      .didPublish = weakly([](OrvoHost& self, const platform::NetService& published) {
        self.services_.main.async(self.weakly([name = published.name(), type = published.type(),
                                              domain = published.domain()](OrvoHost& host) {
          host.publishedNames_[type] = name;
          host.setStatus("Bonjour published: " + name + " (" + type + domain + ")");
          logLine(host.services_.logger, "OrvoHost: Bonjour published:", name, type, domain);
        }));
      }),
      .didNotPublish = weakly([](OrvoHost& self, const platform::NetService& unpublished, const std::string& error) {
        self.services_.main.async(self.weakly([error, type = unpublished.type()](OrvoHost& host) {
          host.publishedNames_.erase(type);
          host.setStatus("Bonjour failed: " + error);
          logLine(host.services_.logger, "OrvoHost: Bonjour failed:", error);
        }));
      }),
  });
}

void OrvoHost::publishService(std::uint16_t port) {
  if (!*isDiscoverable_) return;
  const std::string name = hostName();
  publishedNames_.erase("_orvo._tcp.");
  netService_ = services_.discovery.makeService("local.", "_orvo._tcp.", "Orvo on " + name, port);
  installServiceDelegate(*netService_);
  netService_->setTXTRecord({{"hostId", hostId()}, {"hostName", name}});
  netService_->publish();
  setStatus("Advertising as “Orvo on " + name + "” on port " + std::to_string(port));
  refreshAdvertisedTXT();
}

platform::TXTRecord OrvoHost::advertisedTXT() {
  const double unixSeconds = std::trunc(*pairingPinExpiresAt_ + kSecondsFrom1970To2001);
  platform::TXTRecord record = {
      {"hostId", hostId()},
      {"pairMode", "pin"},
      {"pinSalt", base64Encode(pairingSalt_)},
      {"pinExp", std::to_string(static_cast<long long>(unixSeconds))},
  };
  if (const auto port = pairingListenerPort()) record.emplace_back("pairPort", std::to_string(*port));
  return record;
}

void OrvoHost::refreshAdvertisedTXT() {
  const auto record = advertisedTXT();
  if (netService_) netService_->setTXTRecord(record);
  if (pairingNetService_) pairingNetService_->setTXTRecord(record);
}

std::optional<std::string> OrvoHost::publishedName(const std::string& type) const {
  const auto found = publishedNames_.find(type);
  if (found == publishedNames_.end()) return std::nullopt;
  return found->second;
}

void OrvoHost::republishServiceIfNeeded() {
  if (!*isDiscoverable_ || !listener_) return;
  const auto port = listener_->port();
  if (!port) return;
  if (netService_) {
    netService_->stop();
    netService_.reset();
  }
  publishService(*port);
}

}  // namespace orvo
