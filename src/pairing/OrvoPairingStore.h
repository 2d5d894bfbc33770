#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/Bytes.h"
#include "core/Published.h"
#include "pairing/OrvoPairedPeer.h"

namespace orvo {

class Clock;
class Logger;
class NameCollator;
namespace platform {
class SecretStore;
class SettingsStore;
}  // namespace platform

// The memory of trusted devices: the list of paired peers, persisted as JSON in the
// settings store under "OrvoPairedPeers.<role>", and one pre-shared key per peer in the
// secret store under ("com.corvane.orvo.psk.<role>", peer id). Main queue only.
//
// Each operation announces the resulting list once (intermediate states of an upsert are
// not announced), so subscribers always see a consistent list.
class OrvoPairingStore {
 public:
  OrvoPairingStore(OrvoPairingRole role, platform::SettingsStore& settings, platform::SecretStore& secrets,
                   const Clock& clock, const NameCollator& collator, Logger& logger);
  OrvoPairingStore(const OrvoPairingStore&) = delete;
  OrvoPairingStore& operator=(const OrvoPairingStore&) = delete;

  const Published<std::vector<OrvoPairedPeer>>& paired() const { return paired_; }
  OrvoPairingRole role() const { return role_; }
  const std::string& defaultsKey() const { return defaultsKey_; }
  const std::string& keychainService() const { return keychainService_; }
  platform::SecretStore& secrets() { return secrets_; }

  // Reads the stored list and starts with the peers that decode. A stored value that does
  // not decode in full (a bad entry, not a list) is first copied aside, under the key
  // followed by ".unreadable-<unix time>", and one line names it, so the next save cannot
  // lose what could not be read.
  void loadPeers();
  void savePeers();

  // Stores a newly paired peer and its key. Replaces any entry with the same id, and any
  // other entry with the same trimmed stable host id or service name (deleting their
  // keys); sorts and saves. With `sameNameReplaces` false, a peer that has a stable host id
  // replaces only entries of that id: names are not unique (two hosts may advertise the
  // same one), ids are.
  //
  // Storage order, so that a crash at any point never leaves a listed peer without its
  // key: a new key is written before the list that names it, and a dropped peer's key is
  // deleted only after the list without it is saved (at worst an unlisted key stays).
  OrvoPairedPeer upsertPeer(const std::string& displayName, const std::optional<std::string>& serviceName,
                            const std::optional<std::string>& stableHostId, const std::string& id, const Bytes& key,
                            bool sameNameReplaces = true);
  // Adds a peer whose key is already stored, replacing an entry with the same id; sorts
  // and saves. No de-duplication by service name or stable host id.
  void insertPeer(OrvoPairedPeer peer);
  // Removes the entries matching the trimmed identifier: by id, else by service name, else
  // by display name (all entries matching the first rule that matches any). Deletes their
  // keys and saves. Returns the ids removed (empty when nothing matched).
  std::vector<std::string> removePeer(const std::string& identifier);
  // The ids removePeer would remove for this identifier.
  std::vector<std::string> matchingPeerIds(const std::string& identifier) const;
  // Renames the peer with exactly this id and marks it seen now; keeps its place.
  void touchPeer(const std::string& id, const std::string& displayName);

 private:
  // Stable sort by display name, localized and case-insensitive.
  void sortPeers(std::vector<OrvoPairedPeer>& peers) const;
  // Drops entries whose `field` equals `value` (and whose id differs from `keepId`) and
  // adds their ids to `dropped`; their keys are deleted by the caller once the list
  // without them is saved.
  void dropDuplicates(std::vector<OrvoPairedPeer>& peers, std::optional<std::string> OrvoPairedPeer::*field,
                      const std::string& value, const std::string& keepId, std::vector<std::string>& dropped);

  OrvoPairingRole role_;
  std::string defaultsKey_;
  std::string keychainService_;
  platform::SettingsStore& settings_;
  platform::SecretStore& secrets_;
  const Clock& clock_;
  const NameCollator& collator_;
  Logger& logger_;
  Published<std::vector<OrvoPairedPeer>> paired_;
};

}  // namespace orvo
