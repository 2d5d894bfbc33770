#include "pairing/OrvoPairedPeer.h"

namespace orvo {

json::Json encodePeer(const OrvoPairedPeer& peer) {
  json::Json object = {{"id", peer.id}, {"displayName", peer.displayName}};
  if (peer.serviceName) object["serviceName"] = *peer.serviceName;
  object["createdAt"] = json::timestamp(peer.createdAt);
  if (peer.lastSeenAt) object["lastSeenAt"] = json::timestamp(*peer.lastSeenAt);
  if (peer.stableHostId) object["stableHostId"] = *peer.stableHostId;
  return object;
}

std::optional<OrvoPairedPeer> decodePeer(const json::Value& value) {
  json::ObjectReader reader(value);
  OrvoPairedPeer peer;
  peer.id = reader.requireString("id");
  peer.displayName = reader.requireString("displayName");
  peer.serviceName = reader.optionalString("serviceName");
  peer.createdAt = reader.requireNumber("createdAt");
  peer.lastSeenAt = reader.optionalNumber("lastSeenAt");
  peer.stableHostId = reader.optionalString("stableHostId");
  if (!reader.ok()) return std::nullopt;
  return peer;
}

json::Json encodePeers(const std::vector<OrvoPairedPeer>& peers) {
  json::Json array = json::Json::array();
  for (const auto& peer : peers) array.push_back(encodePeer(peer));
  return array;
}

std::optional<std::vector<OrvoPairedPeer>> decodePeers(const json::Value& value) {
  if (!value.is_array()) return std::nullopt;
  std::vector<OrvoPairedPeer> peers;
  peers.reserve(value.size());
  for (const auto& item : value) {
    auto peer = decodePeer(item);
    if (!peer) return std::nullopt;
    peers.push_back(std::move(*peer));
  }
  return peers;
}

}  // namespace orvo
