#include "client/ClientCredentials.h"

#include "core/Coding.h"
#include "pairing/Keychain.h"
#include "platform/SettingsStore.h"

namespace orvo::client {

ClientCredentials::ClientCredentials(OrvoPairingStore& store, platform::SettingsStore& settings,
                                     RandomSource& random)
    : store_(store), settings_(settings), random_(random) {}

HostCredential ClientCredentials::storePairing(const PairResponseMessage& response, const std::string& hostId) {
  // Keyed by the host id: two hosts that advertise the same name keep a pairing each.
  auto peer = store_.upsertPeer(response.hostName, response.serviceName, hostId, response.pairingId, response.psk,
                                /*sameNameReplaces=*/false);
  return {std::move(peer), response.psk};
}

std::optional<HostCredential> ClientCredentials::storeInvitation(const OrvoPairingInvitation& invitation,
                                                                 std::string& error) {
  auto key = base64Decode(invitation.pskBase64);
  if (!key || key->empty()) {
    error = "the token's key is not valid base64";
    return std::nullopt;
  }
  if (trimWhitespace(invitation.pairingID).empty()) {
    error = "the token has no pairing id";
    return std::nullopt;
  }
  // Keyed by the host id where the token names one; an old token without one replaces
  // the pairing of the same advertised name, as before.
  auto peer = store_.upsertPeer(invitation.hostDisplayName, invitation.serviceName, invitation.hostId,
                                invitation.pairingID, *key, /*sameNameReplaces=*/false);
  return HostCredential{std::move(peer), std::move(*key)};
}

std::optional<HostCredential> ClientCredentials::find(const std::optional<std::string>& hostId,
                                                      std::string& error) const {
  const auto& peers = store_.paired().get();
  const OrvoPairedPeer* match = nullptr;
  if (hostId) {
    const std::string wanted = trimWhitespace(*hostId);
    for (const auto& peer : peers) {
      if (peer.stableHostId && *peer.stableHostId == wanted) match = &peer;
    }
    if (match == nullptr) {
      error = "not paired with host " + wanted + " (pair first: orvo-client pair --pin CODE)";
      return std::nullopt;
    }
  } else if (peers.empty()) {
    error = "not paired with any host (pair first: orvo-client pair --pin CODE)";
    return std::nullopt;
  } else if (peers.size() > 1) {
    error = "paired with " + std::to_string(peers.size()) + " hosts; choose one with --host-id";
    return std::nullopt;
  } else {
    match = &peers.front();
  }
  auto key = loadPSK(store_.secrets(), store_.keychainService(), match->id);
  if (!key || key->empty()) {
    error = "the key of pairing " + match->id + " is missing; pair again";
    return std::nullopt;
  }
  return HostCredential{*match, std::move(*key)};
}

std::string ClientCredentials::deviceId() {
  if (auto stored = settings_.string(kDeviceIdKey); stored && !stored->empty()) return *stored;
  std::string id = makeUUIDString(random_);
  settings_.setValue(kDeviceIdKey, id);
  return id;
}

}  // namespace orvo::client
