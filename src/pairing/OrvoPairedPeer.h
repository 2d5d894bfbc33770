#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Json.h"

namespace orvo {

enum class OrvoPairingRole { host, client };

inline const char* rawValue(OrvoPairingRole role) { return role == OrvoPairingRole::host ? "host" : "client"; }

// One paired device, persisted as a JSON object whose keys are the field names; absent
// optionals leave their key out. Timestamps are seconds since 2001-01-01 UTC.
struct OrvoPairedPeer {
  std::string id;  // pairing id; also the account of the peer's key
  std::string displayName;
  std::optional<std::string> serviceName;  // on the host: the client's device id
  double createdAt = 0;
  std::optional<double> lastSeenAt;
  std::optional<std::string> stableHostId;  // client role only

  friend bool operator==(const OrvoPairedPeer&, const OrvoPairedPeer&) = default;
};

json::Json encodePeer(const OrvoPairedPeer& peer);
std::optional<OrvoPairedPeer> decodePeer(const json::Value& value);

// The persisted list: a JSON array of peers. A list with any malformed entry decodes to nothing.
json::Json encodePeers(const std::vector<OrvoPairedPeer>& peers);
std::optional<std::vector<OrvoPairedPeer>> decodePeers(const json::Value& value);

}  // namespace orvo
