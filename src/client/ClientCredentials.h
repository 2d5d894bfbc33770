#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/Bytes.h"
#include "pairing/OrvoPairingStore.h"
#include "pairing/PairingMessages.h"

namespace orvo {
class RandomSource;
}

namespace orvo::client {

// A stored pairing with a host and the key that opens its sessions.
struct HostCredential {
  OrvoPairedPeer peer;  // id = pairing id, stableHostId = the host's id
  Bytes key;
};

// The client's memory of the hosts it paired with: the pairing store in the client role
// ("OrvoPairedPeers.client" in the settings, keys under "com.corvane.orvo.psk.client"),
// one entry per host, keyed by the host id (a new pairing with the same host id replaces
// the old one; hosts that advertise the same name keep one each), plus the client's own
// stable device id. Files written before read as they are. Main queue (like the store).
class ClientCredentials {
 public:
  static constexpr const char* kDeviceIdKey = "OrvoClient.deviceId";

  ClientCredentials(OrvoPairingStore& store, platform::SettingsStore& settings, RandomSource& random);
  ClientCredentials(const ClientCredentials&) = delete;
  ClientCredentials& operator=(const ClientCredentials&) = delete;

  // Stores what a PIN pairing returned; the host id is the one the key was derived with.
  HostCredential storePairing(const PairResponseMessage& response, const std::string& hostId);
  // Stores an advanced pairing token's content. Fails (nothing stored) when its key is not
  // base64 of a non-empty key.
  std::optional<HostCredential> storeInvitation(const OrvoPairingInvitation& invitation, std::string& error);

  // The credential for a host id; without one, the only stored credential. Fails with a
  // reason when nothing (or, without a host id, more than one host) matches, or the key
  // is missing.
  std::optional<HostCredential> find(const std::optional<std::string>& hostId, std::string& error) const;
  std::vector<OrvoPairedPeer> peers() const { return store_.paired().get(); }

  // A UUID made once and kept in the settings; names this client to hosts when it pairs.
  std::string deviceId();

 private:
  OrvoPairingStore& store_;
  platform::SettingsStore& settings_;
  RandomSource& random_;
};

}  // namespace orvo::client
