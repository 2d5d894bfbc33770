#include "pairing/PairingMessages.h"

#include "core/Coding.h"

namespace orvo {

json::Json toJson(const PairRequestMessage& r) {
  return {{"type", r.type}, {"clientName", r.clientName}, {"clientDeviceId", r.clientDeviceId}};
}

json::Json toJson(const PairResponseMessage& r) {
  json::Json o = {{"type", r.type},           {"hostName", r.hostName},    {"serviceName", r.serviceName},
                  {"pairingId", r.pairingId}, {"psk", base64Encode(r.psk)}, {"accepted", r.accepted}};
  if (r.reason) o["reason"] = *r.reason;
  return o;
}

json::Json toJson(const OrvoPairingInvitation& r) {
  json::Json o = {{"serviceName", r.serviceName},
                  {"pairingID", r.pairingID},
                  {"pskBase64", r.pskBase64},
                  {"hostDisplayName", r.hostDisplayName}};
  if (r.hostId) o["hostId"] = *r.hostId;
  return o;
}

bool fromJson(const json::Value& value, PairRequestMessage& out, std::string& error) {
  json::ObjectReader reader(value);
  out.type = reader.requireString("type");
  out.clientName = reader.requireString("clientName");
  out.clientDeviceId = reader.requireString("clientDeviceId");
  return reader.finish(error);
}

bool fromJson(const json::Value& value, PairResponseMessage& out, std::string& error) {
  json::ObjectReader reader(value);
  out.type = reader.requireString("type");
  out.hostName = reader.requireString("hostName");
  out.serviceName = reader.requireString("serviceName");
  out.pairingId = reader.requireString("pairingId");
  const auto psk = reader.requireString("psk");
  out.accepted = reader.requireBool("accepted");
  out.reason = reader.optionalString("reason");
  if (reader.ok()) {
    if (auto bytes = base64Decode(psk)) {
      out.psk = std::move(*bytes);
    } else {
      reader.fail("dataCorrupted: \"psk\" is not base64");
    }
  }
  return reader.finish(error);
}

bool fromJson(const json::Value& value, OrvoPairingInvitation& out, std::string& error) {
  json::ObjectReader reader(value);
  out.serviceName = reader.requireString("serviceName");
  out.pairingID = reader.requireString("pairingID");
  out.pskBase64 = reader.requireString("pskBase64");
  out.hostDisplayName = reader.requireString("hostDisplayName");
  out.hostId = reader.optionalString("hostId");
  return reader.finish(error);
}

std::string encodePairingToken(const OrvoPairingInvitation& invitation) {
  const std::string text = json::encode(toJson(invitation));
  return base64Encode(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::optional<OrvoPairingInvitation> decodePairingToken(std::string_view token, std::string* error) {
  const auto bytes = base64Decode(trimWhitespace(token));
  if (!bytes) {
    if (error) *error = "the token is not base64";
    return std::nullopt;
  }
  std::string fault;
  const auto parsed = json::parse(toString(*bytes), &fault);
  OrvoPairingInvitation invitation;
  if (parsed && fromJson(*parsed, invitation, fault)) return invitation;
  if (error) *error = fault;
  return std::nullopt;
}

}  // namespace orvo
