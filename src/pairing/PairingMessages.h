#pragma once

#include <optional>
#include <string>

#include "core/Bytes.h"
#include "core/Json.h"

// The records of the pairing connection and of the advanced pairing token.
namespace orvo {

// Client to host: the one request of a pairing connection.
struct PairRequestMessage {
  std::string type = "pairRequest";  // required, value not checked
  std::string clientName;
  std::string clientDeviceId;
};

// Host to client: the answer, sent without a trailing newline, then the host closes.
// "pairingId" with a lower-case d, unlike the hello and the token.
struct PairResponseMessage {
  std::string type = "pairResponse";
  std::string hostName;
  std::string serviceName;
  std::string pairingId;
  Bytes psk;  // base64 in JSON
  bool accepted = true;
  std::optional<std::string> reason;
};

// The content of an advanced pairing token (base64 of this record's JSON).
struct OrvoPairingInvitation {
  std::string serviceName;
  std::string pairingID;
  std::string pskBase64;
  std::string hostDisplayName;
  std::optional<std::string> hostId;
};

json::Json toJson(const PairRequestMessage& record);
json::Json toJson(const PairResponseMessage& record);
json::Json toJson(const OrvoPairingInvitation& record);
bool fromJson(const json::Value& value, PairRequestMessage& out, std::string& error);
bool fromJson(const json::Value& value, PairResponseMessage& out, std::string& error);
bool fromJson(const json::Value& value, OrvoPairingInvitation& out, std::string& error);

// The token text for an invitation, and back.
std::string encodePairingToken(const OrvoPairingInvitation& invitation);
std::optional<OrvoPairingInvitation> decodePairingToken(std::string_view token, std::string* error = nullptr);

}  // namespace orvo
