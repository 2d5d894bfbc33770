// PIN pairing: the 6-digit code with its salt and expiry, the pairing listener keyed from
// it, its advertisement, and the one request/response exchange of a pairing connection.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/Clock.h"
#include "core/Coding.h"
#include "core/Log.h"
#include "core/Utf8.h"
#include "host/AdmissionPolicy.h"
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
  // Handshakes begun under the old code end with it; a connection already past its
  // handshake (a pairing being answered) finishes.
  abandonPairingHandshakes();
  refreshAdvertisedTXT();
  restartPairingListener();
  pairingPinTimer_.reset();
  pairingPinTimer_ =
      services_.main.scheduleRepeating(1.0, weakly([](OrvoHost& self) { self.checkPairingCodeExpiry(); }));
}

void OrvoHost::requestNewPairingCode() {
  const bool wasSuspended = pairingGuard_->suspended();
  // Resumed first, so that whoever watches the code sees the new one as a usable code.
  pairingGuard_->renew(services_.clock.now());
  pairingSuspended_.set(false);
  if (wasSuspended) logLine(services_.logger, "OrvoHost: pairing resumed with a new code");
  regeneratePairingCode();
  startPairingHandshakes();
}

std::string OrvoHost::pairingStateText() const {
  const auto& limits = pairingGuard_->limits();
  if (*pairingSuspended_) {
    return "suspended after " + std::to_string(limits.failuresPerCode) +
           " failed attempts; ask for a new code to pair again (orvo-host ctl regenerate-pin, or ↻ in the panel)";
  }
  const int failures = pairingGuard_->failuresSinceRenewal();
  std::string text = "open";
  if (failures > 0) {
    text += "; " + std::to_string(failures) + " of " + std::to_string(limits.failuresPerCode) +
            " failed attempts before pairing is suspended";
  }
  // Wrong codes from everywhere have used up what a day allows: attempts wait for it.
  const double allowance = pairingGuard_->allowance(services_.clock.now());
  if (allowance < 1 - 1e-9) {
    const double minutes = std::ceil((1 - allowance) * limits.failureRefillSeconds / 60);
    text += "; too many wrong codes lately: the next attempt can start in " +
            std::to_string(static_cast<long long>(minutes)) + " min";
  }
  return text;
}

void OrvoHost::suspendPairing() {
  pairingSuspended_.set(true);
  logLine(services_.logger, "OrvoHost: pairing suspended after " +
                                std::to_string(pairingGuard_->limits().failuresPerCode) +
                                " failed attempts; it resumes when a new code is asked for "
                                "(panel, or orvo-host ctl regenerate-pin)");
  // Connections still waiting will never get a handshake.
  startPairingHandshakes();
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
  const std::string address = addressKeyOf(endpoint);
  if (pairingGuard_->suspended()) {
    logRefusal("pairing suspended", address, "OrvoHost: pairing is suspended; refusing " + endpoint);
    connection->cancel();
    return;
  }
  // As for sessions: a few connections per address, and a newcomer from an address with
  // none pushes the oldest unpaired one out. One being answered is never pushed out.
  std::vector<SlotHolder> holders;
  holders.reserve(pairingConnections_.size());
  for (const auto& [key, entry] : pairingConnections_) {
    holders.push_back({entry.serial, entry.address, !entry.receiveStarted});
  }
  const auto decision = decideAdmission(holders, address, maxPairingConnections, maxPairingConnectionsPerAddress);
  if (decision.kind != SlotDecision::Kind::admit) {
    const bool addressFull = decision.kind == SlotDecision::Kind::refuseAddressFull;
    logRefusal(addressFull ? "too many pairing connections from one address" : "too many pairing connections",
               address,
               addressFull ? "OrvoHost: too many pairing connections from " + address + "; refusing " + endpoint
                           : "OrvoHost: too many pairing connections; refusing " + endpoint);
    connection->cancel();
    return;
  }
  if (decision.evict) {
    for (const auto& [key, entry] : pairingConnections_) {
      if (entry.serial != *decision.evict) continue;
      logRefusal("pairing connection given up for a newer address", entry.address,
                 "OrvoHost: pairing connection given up for a newer address: " + entry.endpoint);
      removePairingConnection(key, triedACode(entry), false);
      break;
    }
  }
  const auto serial = nextConnectionSerial_++;
  pairingConnections_[connection.get()] = PairingConnection{connection, {}, false, serial, address, false, endpoint};
  std::weak_ptr<platform::Connection> weakConnection = connection;
  connection->setStateHandler(weakly([weakConnection](OrvoHost& self, const platform::ConnectionState& state) {
    if (auto strong = weakConnection.lock()) self.handlePairingConnectionState(strong, state);
  }));
  // A peer that says nothing, whether its handshake began or still waits, goes soon.
  services_.main.asyncAfter(firstRecordTimeoutSeconds, weakly([key = connection.get(), serial](OrvoHost& self) {
    const auto found = self.pairingConnections_.find(key);
    if (found == self.pairingConnections_.end() || found->second.serial != serial) return;
    if (found->second.receiveStarted || found->second.connection->hasReceivedFirstRecord()) return;
    self.logRefusal("no TLS record in time", found->second.address,
                    "OrvoHost: no TLS record within " + formatDouble(firstRecordTimeoutSeconds) +
                        " s; closing pairing connection " + found->second.endpoint);
    self.removePairingConnection(key, false, false);
  }));
  // However far it got, a pairing connection is closed 30 s after it was accepted. One
  // whose handshake began and never finished counts as a failed attempt.
  services_.main.asyncAfter(pairingConnectionLifetime, weakly([key = connection.get(), serial](OrvoHost& self) {
    const auto found = self.pairingConnections_.find(key);
    if (found == self.pairingConnections_.end() || found->second.serial != serial) return;
    self.logRefusal("pairing connection timed out", found->second.address,
                    "OrvoHost: pairing connection timed out: " + found->second.endpoint);
    self.removePairingConnection(key, triedACode(found->second), false);
  }));
  startPairingHandshakes();
}

bool OrvoHost::triedACode(const PairingConnection& entry) {
  // The client names its key (the code's) in the handshake's second flight: a peer that
  // sent no more than its first record has tried nothing.
  return entry.handshakeStarted && !entry.receiveStarted && entry.connection->hasReceivedBeyondFirstRecord();
}

void OrvoHost::removePairingConnection(const platform::Connection* key, bool failed, bool alreadyEnded, bool next) {
  const auto found = pairingConnections_.find(key);
  if (found == pairingConnections_.end()) return;
  const auto entry = std::move(found->second);
  pairingConnections_.erase(found);
  if (!alreadyEnded) {
    entry.connection->setStateHandler({});
    entry.connection->cancel();
  }
  if (entry.handshakeStarted && !entry.receiveStarted) {
    if (pairingGuard_->end(entry.address, failed, services_.clock.now())) suspendPairing();
  }
  if (next) startPairingHandshakes();
}

void OrvoHost::startPairingHandshakes() {
  const double now = services_.clock.now();
  // Waiting connections in the order they came.
  std::vector<std::pair<std::uint64_t, const platform::Connection*>> waiting;
  for (const auto& [key, entry] : pairingConnections_) {
    if (!entry.handshakeStarted) waiting.emplace_back(entry.serial, key);
  }
  std::ranges::sort(waiting);
  std::optional<double> nextAt;
  std::vector<const platform::Connection*> refused;
  for (const auto& [serial, key] : waiting) {
    auto& entry = pairingConnections_.at(key);
    const auto verdict = pairingGuard_->gate(entry.address, now);
    switch (verdict.gate) {
      case PairingGuard::Gate::open:
        pairingGuard_->begin(entry.address);
        entry.handshakeStarted = true;
        entry.connection->start();
        break;
      case PairingGuard::Gate::wait:
        if (!nextAt || verdict.at < *nextAt) nextAt = verdict.at;
        break;
      case PairingGuard::Gate::busy:
        break;
      case PairingGuard::Gate::closed:
        refused.push_back(key);
        break;
    }
  }
  for (const auto* key : refused) {
    const auto& entry = pairingConnections_.at(key);
    logRefusal("pairing refused", entry.address,
               pairingGuard_->suspended()
                   ? "OrvoHost: pairing is suspended; closing " + entry.endpoint
                   : "OrvoHost: " + entry.address + " tried too many wrong codes; closing " + entry.endpoint);
    const auto connection = entry.connection;
    pairingConnections_.erase(key);
    connection->setStateHandler({});
    connection->cancel();
  }
  // One timer, for the earliest moment a waiting connection may go.
  if (nextAt && (pairingTimerAt_ < 0 || *nextAt < pairingTimerAt_)) {
    pairingTimerAt_ = *nextAt;
    services_.main.asyncAfter(std::max(0.0, *nextAt - now), weakly([at = *nextAt](OrvoHost& self) {
      if (self.pairingTimerAt_ != at) return;  // replaced by an earlier one
      self.pairingTimerAt_ = -1;
      self.startPairingHandshakes();
    }));
  }
}

void OrvoHost::abandonPairingHandshakes() {
  std::vector<const platform::Connection*> abandoned;
  for (const auto& [key, entry] : pairingConnections_) {
    if (!entry.receiveStarted) abandoned.push_back(key);
  }
  for (const auto* key : abandoned) {
    const auto found = pairingConnections_.find(key);
    if (found == pairingConnections_.end()) continue;
    removePairingConnection(key, triedACode(found->second), false, /*next=*/false);
  }
}

void OrvoHost::closePairingConnection(const std::shared_ptr<platform::Connection>& connection) {
  // The entry goes when the cancelled state arrives (or at the 30 s limit).
  connection->cancel();
}

void OrvoHost::handlePairingConnectionState(const std::shared_ptr<platform::Connection>& connection,
                                            const platform::ConnectionState& state) {
  const auto found = pairingConnections_.find(connection.get());
  const std::string address = found != pairingConnections_.end() ? found->second.address : std::string();
  switch (state.kind) {
    case platform::ConnectionStateKind::waiting:
      logRefusal("pairing connection waiting", address, "⏳ Pairing conn waiting: " + state.error);
      return;
    case platform::ConnectionStateKind::failed: {
      // A wrong code ends here, in the handshake; so does a peer that closed while its
      // connection waited for its turn.
      logRefusal("pairing connection failed", address, "❌ Pairing conn failed: " + state.error);
      connection->setStateHandler({});
      connection->cancel();
      if (found != pairingConnections_.end()) {
        removePairingConnection(connection.get(), triedACode(found->second), true);
      }
      return;
    }
    case platform::ConnectionStateKind::ready: {
      if (found == pairingConnections_.end() || found->second.receiveStarted) return;
      found->second.receiveStarted = true;
      logLine(services_.logger, "🔐 Pairing conn ready");
      receivePairingData(connection);
      if (pairingGuard_->end(found->second.address, false, services_.clock.now())) suspendPairing();
      startPairingHandshakes();
      return;
    }
    case platform::ConnectionStateKind::cancelled: {
      logRefusal("pairing connection cancelled", address, "🛑 Pairing conn cancelled");
      connection->setStateHandler({});
      if (found != pairingConnections_.end()) removePairingConnection(connection.get(), triedACode(found->second), true);
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
