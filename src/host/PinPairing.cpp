// PIN pairing: the 6-digit code with its salt and expiry, the pairing listener keyed from
// it, its advertisement, and the one request/response exchange of a pairing connection.
#include <algorithm>
#include <cstdio>

#include "core/Clock.h"
#include "core/Coding.h"
#include "core/Log.h"
#include "core/Utf8.h"
#include "host/OrvoHost.h"
#include "pairing/OrvoPairingStore.h"
#include "pairing/OrvoTLS.h"
#include "pairing/PairingMessages.h"
#include "pairing/PinKey.h"

namespace orvo {
namespace {

constexpr std::size_t kPairingReceiveChunk = 4096;
constexpr std::size_t maxPairingRequestBytes = 65536;
constexpr const char* kPinIdentity = "orvo-pin";

std::string describe(const platform::ListenerState& state) {
  switch (state.kind) {
    case platform::ListenerStateKind::setup: return "setup";
    case platform::ListenerStateKind::waiting: return "waiting(" + state.error + ")";
    case platform::ListenerStateKind::ready: return "ready";
    case platform::ListenerStateKind::failed: return "failed(" + state.error + ")";
    case platform::ListenerStateKind::cancelled: return "cancelled";
  }
  return "unknown";
}

// A complete JSON object ends with "}" once trailing white space is ignored; anything
// else cannot decode yet, so the buffer is not parsed again for every byte that trickles in.
bool mayBeCompleteObject(const Bytes& data) {
  auto end = data.rbegin();
  while (end != data.rend() && (*end == ' ' || *end == '\n' || *end == '\r' || *end == '\t')) ++end;
  return end != data.rend() && *end == '}';
}

// "address:port" or "[v6]:port" without the port: pairing attempts are paced per address.
std::string addressOf(const std::string& endpoint) {
  const auto colon = endpoint.rfind(':');
  return colon == std::string::npos ? endpoint : endpoint.substr(0, colon);
}

}  // namespace

void OrvoHost::regeneratePairingCode() {
  std::uint8_t raw[4];
  services_.random.fill(raw);
  const std::uint32_t value = std::uint32_t(raw[0]) | std::uint32_t(raw[1]) << 8 | std::uint32_t(raw[2]) << 16 |
                              std::uint32_t(raw[3]) << 24;
  char pin[8];
  std::snprintf(pin, sizeof pin, "%06u", static_cast<unsigned>(value % 1000000u));
  // Keys travel as PSK identities, which TLS stacks cut at a 0x00 byte: draw the salt
  // again until the derived key has none.
  const auto hasZeroByte = [](const Bytes& key) { return std::ranges::find(key, 0) != key.end(); };
  do {
    pairingSalt_ = randomBytes(services_.random, 16);
  } while (hasZeroByte(derivePinKey(pin, pairingSalt_, hostId())));
  pairingPinExpiresAt_.set(services_.clock.now() + pairingPinTTL);
  pairingPIN_.set(pin);
  failedPairingAttempts_ = 0;
  // Handshakes begun under the old code end with it; a connection already past its
  // handshake (a pairing being answered) finishes.
  abandonPairingHandshakes();
  refreshAdvertisedTXT();
  restartPairingListener();
  pairingPinTimer_.reset();
  pairingPinTimer_ =
      services_.main.scheduleRepeating(1.0, weakly([](OrvoHost& self) { self.checkPairingCodeExpiry(); }));
}

void OrvoHost::checkPairingCodeExpiry() {
  if (services_.clock.now() < *pairingPinExpiresAt_) return;
  pairingPinTimer_.reset();
  regeneratePairingCode();
}

std::optional<std::uint16_t> OrvoHost::pairingListenerPort() const {
  if (pairingListener_) {
    if (const auto port = pairingListener_->port()) return port;
  }
  return pairingListenerPort_;
}

void OrvoHost::startPairingListener() {
  if (pairingListener_) return;
  const auto key = derivePinKey(*pairingPIN_, pairingSalt_, hostId());
  std::string error;
  auto listener = services_.network.makeListener(makePSKParameters(kPinIdentity, key), lastPairingListenerPort_, error);
  if (!listener) {
    logLine(services_.logger, "OrvoHost: failed to start pairing listener:", error);
    return;
  }
  pairingListener_ = listener;
  pairingListener_->setNewConnectionHandler(
      weakly([](OrvoHost& self, std::shared_ptr<platform::Connection> connection) {
        self.handlePairingConnection(std::move(connection));
      }));
  pairingListener_->setStateHandler(
      weakly([](OrvoHost& self, const platform::ListenerState& state) { self.handlePairingListenerState(state); }));
  pairingListener_->start();
}

void OrvoHost::stopPairingListener() {
  if (!pairingListener_) return;
  pairingListener_->setStateHandler({});
  pairingListener_->setNewConnectionHandler({});
  pairingListener_->cancel();
  pairingListener_.reset();
}

void OrvoHost::restartPairingListener() {
  if (!*isDiscoverable_) return;
  stopPairingListener();
  pairingListenerPort_.reset();
  startPairingListener();
}

void OrvoHost::handlePairingListenerState(const platform::ListenerState& state) {
  logLine(services_.logger, "OrvoHost: pairing listener state:", describe(state));
  switch (state.kind) {
    case platform::ListenerStateKind::ready: {
      const auto port = pairingListener_ ? pairingListener_->port() : std::nullopt;
      if (!port) return;
      pairingListenerPort_ = port;
      lastPairingListenerPort_ = *port;
      if (*isDiscoverable_) {
        if (pairingNetService_) {
          pairingNetService_->stop();
          pairingNetService_.reset();
        }
        publishPairingService(*port);
      }
      return;
    }
    case platform::ListenerStateKind::failed:
      logLine(services_.logger, "OrvoHost: pairing listener failed:", state.error);
      stopPairingListener();
      pairingListenerPort_.reset();
      refreshAdvertisedTXT();
      return;
    case platform::ListenerStateKind::cancelled:
      pairingListenerPort_.reset();
      refreshAdvertisedTXT();
      return;
    default:
      return;
  }
}

void OrvoHost::publishPairingService(std::uint16_t port) {
  if (!*isDiscoverable_) return;
  const std::string name = hostName();
  publishedNames_.erase("_orvopair._tcp.");
  pairingNetService_ = services_.discovery.makeService("local.", "_orvopair._tcp.", "Orvo Pair on " + name, port);
  installServiceDelegate(*pairingNetService_);
  pairingNetService_->setTXTRecord({{"hostId", hostId()}, {"hostName", name}});
  pairingNetService_->publish();
  refreshAdvertisedTXT();
}

void OrvoHost::handlePairingConnection(std::shared_ptr<platform::Connection> connection) {
  const std::string endpoint = connection->endpointDescription();
  if (pairingConnections_.size() >= maxPairingConnections) {
    logLine(services_.logger, "OrvoHost: too many pairing connections; refusing " + endpoint);
    connection->cancel();
    return;
  }
  const auto serial = nextConnectionSerial_++;
  const std::string address = addressOf(endpoint);
  pairingConnections_[connection.get()] = PairingConnection{connection, {}, false, serial, address, false};
  std::weak_ptr<platform::Connection> weakConnection = connection;
  connection->setStateHandler(weakly([weakConnection](OrvoHost& self, const platform::ConnectionState& state) {
    if (auto strong = weakConnection.lock()) self.handlePairingConnectionState(strong, state);
  }));
  // However far it got, a pairing connection is closed 30 s after it was accepted. One
  // whose handshake began and never finished counts as a failed attempt.
  services_.main.asyncAfter(pairingConnectionLifetime, weakly([key = connection.get(), serial, endpoint](OrvoHost& self) {
    const auto found = self.pairingConnections_.find(key);
    if (found == self.pairingConnections_.end() || found->second.serial != serial) return;
    const auto stale = std::move(found->second);
    self.pairingConnections_.erase(found);
    logLine(self.services_.logger, "OrvoHost: pairing connection timed out:", endpoint);
    stale.connection->setStateHandler({});
    stale.connection->cancel();
    if (stale.handshakeStarted && !stale.receiveStarted) self.endPairingHandshake(stale.address, true);
  }));
  // Old turns of addresses that are idle and past their delay are forgotten.
  const double now = services_.clock.now();
  std::erase_if(pairingAddressTurns_, [now](const auto& entry) {
    return !entry.second.handshaking && !entry.second.retryScheduled && entry.second.notBefore <= now;
  });
  startNextPairingHandshake(address);
}

void OrvoHost::startNextPairingHandshake(const std::string& address) {
  auto& turn = pairingAddressTurns_[address];
  if (turn.handshaking || turn.retryScheduled) return;
  PairingConnection* next = nullptr;
  for (auto& [key, entry] : pairingConnections_) {
    if (entry.address == address && !entry.handshakeStarted && (!next || entry.serial < next->serial)) next = &entry;
  }
  if (!next) return;
  const double wait = turn.notBefore - services_.clock.now();
  if (wait > 0) {
    turn.retryScheduled = true;
    services_.main.asyncAfter(wait, weakly([address](OrvoHost& self) {
      self.pairingAddressTurns_[address].retryScheduled = false;
      self.startNextPairingHandshake(address);
    }));
    return;
  }
  turn.handshaking = true;
  next->handshakeStarted = true;
  next->connection->start();
}

void OrvoHost::endPairingHandshake(const std::string& address, bool failed) {
  auto& turn = pairingAddressTurns_[address];
  turn.handshaking = false;
  if (failed) {
    turn.notBefore = services_.clock.now() + pairingFailureDelay;
    notePairingFailure();
  }
  startNextPairingHandshake(address);
}

void OrvoHost::notePairingFailure() {
  if (++failedPairingAttempts_ < maxFailedPairingAttempts) return;
  logLine(services_.logger, "OrvoHost: pairing code replaced after " + std::to_string(maxFailedPairingAttempts) +
                                " failed attempts");
  regeneratePairingCode();
}

void OrvoHost::abandonPairingHandshakes() {
  std::vector<PairingConnection> abandoned;
  for (auto it = pairingConnections_.begin(); it != pairingConnections_.end();) {
    if (it->second.receiveStarted) {
      ++it;
      continue;
    }
    abandoned.push_back(std::move(it->second));
    it = pairingConnections_.erase(it);
  }
  for (auto& entry : abandoned) {
    entry.connection->setStateHandler({});
    entry.connection->cancel();
    if (entry.handshakeStarted) pairingAddressTurns_[entry.address].handshaking = false;
  }
}

void OrvoHost::closePairingConnection(const std::shared_ptr<platform::Connection>& connection) {
  // The entry goes when the cancelled state arrives (or at the 30 s limit).
  connection->cancel();
}

void OrvoHost::handlePairingConnectionState(const std::shared_ptr<platform::Connection>& connection,
                                            const platform::ConnectionState& state) {
  auto& logger = services_.logger;
  // Takes the connection's entry out; reports whether it was still in its handshake.
  auto remove = [&](std::string& address) {
    const auto found = pairingConnections_.find(connection.get());
    if (found == pairingConnections_.end()) return false;
    const bool inHandshake = found->second.handshakeStarted && !found->second.receiveStarted;
    address = found->second.address;
    pairingConnections_.erase(found);
    return inHandshake;
  };
  switch (state.kind) {
    case platform::ConnectionStateKind::waiting:
      logLine(logger, "⏳ Pairing conn waiting: " + state.error);
      return;
    case platform::ConnectionStateKind::failed: {
      // A wrong code ends here, in the handshake.
      logLine(logger, "❌ Pairing conn failed: " + state.error);
      connection->setStateHandler({});
      connection->cancel();
      std::string address;
      if (remove(address)) endPairingHandshake(address, true);
      return;
    }
    case platform::ConnectionStateKind::ready: {
      const auto found = pairingConnections_.find(connection.get());
      if (found == pairingConnections_.end() || found->second.receiveStarted) return;
      found->second.receiveStarted = true;
      logLine(logger, "🔐 Pairing conn ready");
      const std::string address = found->second.address;
      receivePairingData(connection);
      endPairingHandshake(address, false);
      return;
    }
    case platform::ConnectionStateKind::cancelled: {
      logLine(logger, "🛑 Pairing conn cancelled");
      connection->setStateHandler({});
      std::string address;
      if (remove(address)) endPairingHandshake(address, false);
      return;
    }
    default:
      return;
  }
}

void OrvoHost::receivePairingData(const std::shared_ptr<platform::Connection>& connection) {
  std::weak_ptr<platform::Connection> weakConnection = connection;
  connection->receive(1, kPairingReceiveChunk,
                      weakly([weakConnection](OrvoHost& self, Bytes data, bool isComplete,
                                              std::optional<std::string> error) {
                        if (auto strong = weakConnection.lock()) {
                          self.handlePairingReceive(strong, data, isComplete, error);
                        }
                      }));
}

void OrvoHost::handlePairingReceive(const std::shared_ptr<platform::Connection>& connection, const Bytes& data,
                                    bool isComplete, const std::optional<std::string>& error) {
  if (error) {
    logLine(services_.logger, "OrvoHost: pairing receive error:", *error);
    closePairingConnection(connection);
    return;
  }
  const auto found = pairingConnections_.find(connection.get());
  if (found == pairingConnections_.end()) return;  // closed meanwhile
  if (!data.empty()) {
    auto& buffer = found->second.data;
    buffer.insert(buffer.end(), data.begin(), data.end());
    if (mayBeCompleteObject(buffer)) {
      if (auto request = decodeMessage<PairRequestMessage>(toString(buffer))) {
        handlePairRequest(request->clientName, request->clientDeviceId, connection);
        return;
      }
    }
    if (buffer.size() > maxPairingRequestBytes) {
      logLine(services_.logger, "OrvoHost: pairing request too large / malformed; cancelling");
      closePairingConnection(connection);
      return;
    }
  }
  if (isComplete) {
    closePairingConnection(connection);
  } else {
    receivePairingData(connection);
  }
}

void OrvoHost::handlePairRequest(const std::string& clientName, const std::string& clientDeviceId,
                                 const std::shared_ptr<platform::Connection>& connection) {
  PairResponseMessage response;
  response.hostName = hostName();
  response.serviceName = netService_ ? netService_->name() : "Orvo Host";
  response.psk = randomKeyBytes(services_.random, 32);
  response.pairingId = makeUUIDString(services_.random);
  // Names are kept short: they go into the settings file, rewritten on every change.
  pairingStore_->upsertPeer(truncateUtf8(clientName, maxDeviceNameBytes), truncateUtf8(clientDeviceId, maxDeviceNameBytes),
                            std::nullopt, response.pairingId, response.psk);
  restartListener();
  // One code pairs one device: whoever watched this pairing cannot replay it.
  regeneratePairingCode();

  // The response is one JSON document without a newline; the host closes once it is sent.
  const std::string text = json::encode(toJson(response));
  std::weak_ptr<platform::Connection> weakConnection = connection;
  connection->send(Bytes(text.begin(), text.end()), weakly([weakConnection](OrvoHost& self, std::optional<std::string>) {
                     if (auto strong = weakConnection.lock()) self.closePairingConnection(strong);
                   }));
}

bool OrvoHost::revokePairing(const std::string& pairingID) {
  // The identifier may be an id, a device id or a display name; whichever devices it
  // names lose their session, however their hello named them.
  const auto ids = pairingStore_->matchingPeerIds(pairingID);
  if (ids.empty()) return false;
  if (std::ranges::any_of(ids, [&](const std::string& id) { return isClientConnected(id); })) {
    disconnectClient("Unpaired device revoked");
  }
  // Handshakes in progress were started with the key set that still holds the revoked keys.
  cancelPendingHandshakes();
  pairingStore_->removePeer(pairingID);
  return true;
}

}  // namespace orvo
