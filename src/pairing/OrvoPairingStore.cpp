#include "pairing/OrvoPairingStore.h"

#include <algorithm>
#include <ctime>

#include "core/Clock.h"
#include "core/Coding.h"
#include "core/Log.h"
#include "pairing/Keychain.h"
#include "pairing/NameCollator.h"
#include "platform/SecretStore.h"
#include "platform/SettingsStore.h"

namespace orvo {

OrvoPairingStore::OrvoPairingStore(OrvoPairingRole role, platform::SettingsStore& settings,
                                   platform::SecretStore& secrets, const Clock& clock, const NameCollator& collator,
                                   Logger& logger)
    : role_(role),
      defaultsKey_(std::string("OrvoPairedPeers.") + rawValue(role)),
      keychainService_(std::string("com.corvane.orvo.psk.") + rawValue(role)),
      settings_(settings),
      secrets_(secrets),
      clock_(clock),
      collator_(collator),
      logger_(logger) {
  loadPeers();
}

void OrvoPairingStore::loadPeers() {
  std::vector<OrvoPairedPeer> peers;
  if (const auto stored = settings_.value(defaultsKey_)) {
    const json::Value value(*stored);
    bool complete = value.is_array();
    if (complete) {
      for (const auto& item : value) {
        if (auto peer = decodePeer(item)) {
          peers.push_back(std::move(*peer));
        } else {
          complete = false;
        }
      }
    }
    if (!complete) {
      std::string aside = defaultsKey_ + ".unreadable-" + std::to_string(std::time(nullptr));
      while (settings_.value(aside)) aside += "-1";
      settings_.setValue(aside, *stored);
      logLine(logger_, "OrvoHost: the paired devices stored under", defaultsKey_, "in", settings_.location(),
              "could not all be read; the stored value is kept as", aside + "; starting with the",
              std::to_string(peers.size()) + " that could");
    }
  }
  paired_.set(std::move(peers));
}

void OrvoPairingStore::savePeers() { settings_.setValue(defaultsKey_, encodePeers(paired_.get())); }

void OrvoPairingStore::sortPeers(std::vector<OrvoPairedPeer>& peers) const {
  std::stable_sort(peers.begin(), peers.end(), [this](const OrvoPairedPeer& a, const OrvoPairedPeer& b) {
    return collator_.compare(a.displayName, b.displayName) < 0;
  });
}

void OrvoPairingStore::dropDuplicates(std::vector<OrvoPairedPeer>& peers,
                                      std::optional<std::string> OrvoPairedPeer::*field, const std::string& value,
                                      const std::string& keepId, std::vector<std::string>& dropped) {
  std::erase_if(peers, [&](const OrvoPairedPeer& peer) {
    const bool duplicate = (peer.*field) && *(peer.*field) == value && peer.id != keepId;
    if (duplicate) dropped.push_back(peer.id);
    return duplicate;
  });
}

OrvoPairedPeer OrvoPairingStore::upsertPeer(const std::string& displayName,
                                            const std::optional<std::string>& serviceName,
                                            const std::optional<std::string>& stableHostId, const std::string& id,
                                            const Bytes& key, bool sameNameReplaces) {
  auto peers = paired_.get();
  const auto trimmedHost = stableHostId ? std::optional(trimWhitespace(*stableHostId)) : std::nullopt;
  const auto trimmedService = serviceName ? std::optional(trimWhitespace(*serviceName)) : std::nullopt;
  std::vector<std::string> dropped;
  if (trimmedHost && !trimmedHost->empty()) {
    dropDuplicates(peers, &OrvoPairedPeer::stableHostId, *trimmedHost, id, dropped);
  }
  const bool hasHostId = trimmedHost && !trimmedHost->empty();
  if (trimmedService && !trimmedService->empty() && (sameNameReplaces || !hasHostId)) {
    dropDuplicates(peers, &OrvoPairedPeer::serviceName, *trimmedService, id, dropped);
  }

  // The key goes first (an existing one is replaced in one step). A failed write leaves
  // the peer listed without a usable key; the session listener then refuses it until it
  // pairs again.
  if (savePSK(secrets_, key, keychainService_, id)) deletePSK(secrets_, keychainService_, id);

  OrvoPairedPeer peer;
  peer.id = id;
  peer.displayName = displayName;
  peer.serviceName = trimmedService;
  peer.stableHostId = trimmedHost;
  peer.createdAt = clock_.now();
  peer.lastSeenAt = clock_.now();

  std::erase_if(peers, [&](const OrvoPairedPeer& existing) { return existing.id == id; });
  peers.push_back(peer);
  sortPeers(peers);
  paired_.set(std::move(peers));
  savePeers();
  for (const auto& droppedId : dropped) deletePSK(secrets_, keychainService_, droppedId);
  return peer;
}

void OrvoPairingStore::insertPeer(OrvoPairedPeer peer) {
  auto peers = paired_.get();
  std::erase_if(peers, [&](const OrvoPairedPeer& existing) { return existing.id == peer.id; });
  peers.push_back(std::move(peer));
  sortPeers(peers);
  paired_.set(std::move(peers));
  savePeers();
}

std::vector<std::string> OrvoPairingStore::matchingPeerIds(const std::string& identifier) const {
  std::vector<std::string> ids;
  // An id given exactly matches first: a stored id with blanks around it (an edited
  // file) can still be unpaired by the id the panel shows, which the trimming below misses.
  for (const auto& peer : paired_.get()) {
    if (peer.id == identifier) ids.push_back(peer.id);
  }
  if (!ids.empty()) return ids;
  const std::string key = trimWhitespace(identifier);
  using Rule = bool (*)(const OrvoPairedPeer&, const std::string&);
  const Rule rules[] = {
      [](const OrvoPairedPeer& p, const std::string& k) { return p.id == k; },
      [](const OrvoPairedPeer& p, const std::string& k) { return p.serviceName && *p.serviceName == k; },
      [](const OrvoPairedPeer& p, const std::string& k) { return p.displayName == k; },
  };
  for (const Rule rule : rules) {
    for (const auto& peer : paired_.get()) {
      if (rule(peer, key)) ids.push_back(peer.id);
    }
    if (!ids.empty()) break;
  }
  return ids;
}

std::vector<std::string> OrvoPairingStore::removePeer(const std::string& identifier) {
  const auto ids = matchingPeerIds(identifier);
  if (ids.empty()) return ids;
  auto remaining = paired_.get();
  std::erase_if(remaining, [&](const OrvoPairedPeer& p) { return std::find(ids.begin(), ids.end(), p.id) != ids.end(); });
  paired_.set(std::move(remaining));
  savePeers();
  // Keys go after the list that no longer names them.
  for (const auto& id : ids) deletePSK(secrets_, keychainService_, id);
  return ids;
}

void OrvoPairingStore::touchPeer(const std::string& id, const std::string& displayName) {
  const auto& peers = paired_.get();
  const auto found = std::find_if(peers.begin(), peers.end(), [&](const OrvoPairedPeer& p) { return p.id == id; });
  if (found == peers.end()) return;
  const auto index = static_cast<std::size_t>(found - peers.begin());
  const double now = clock_.now();
  paired_.mutate([&](std::vector<OrvoPairedPeer>& list) {
    list[index].displayName = displayName;
    list[index].lastSeenAt = now;
  });
  savePeers();
}

}  // namespace orvo
