#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Json.h"
#include "platform/WindowServer.h"

// The control records of the session protocol: one JSON object per line, both ways.
// Every record encodes to and decodes from JSON here, for the host and for clients alike.
namespace orvo {

struct MessageEnvelope {
  std::string type;
};

// The shared record of the seven client request types. For pointer events normX/normY
// are the position as fractions of the window; for "mouseScroll" they are the
// horizontal and vertical scroll deltas.
struct OrvoRequest {
  std::string type;
  std::optional<std::uint32_t> windowId;
  std::optional<double> normX;
  std::optional<double> normY;
  std::optional<std::string> button;
};

struct KeyboardTextMessage {
  std::string type = "keyboardText";
  std::string text;
};

enum class KeyboardCommand { backspace, enter, escape, leftArrow, rightArrow, upArrow, downArrow };

struct KeyboardCommandMessage {
  std::string type = "keyboardCommand";
  KeyboardCommand command = KeyboardCommand::enter;
};

struct ClientVisibilityMessage {
  std::string type = "clientVisibility";
  bool isVisible = true;
};

struct ClientPingMessage {
  std::string type = "clientPing";
};

// Device names that clients send (hello, pairing request) are kept to this many bytes of
// UTF-8: they are stored in the settings file, which is rewritten on every hello.
inline constexpr std::size_t maxDeviceNameBytes = 256;

struct ClientHelloMessage {
  std::string type = "clientHello";
  std::optional<std::string> pairingID;
  std::string deviceName;
  std::optional<std::string> deviceModel;
  std::string platform;
  std::optional<std::string> osVersion;
  std::optional<std::string> appVersion;
};

struct ClientActiveWindowMessage {
  std::string type = "clientActiveWindow";
  std::uint32_t windowId = 0;
};

struct SetCaptureModeMessage {
  std::string type = "setCaptureMode";
  std::uint32_t windowId = 0;
  CaptureMode captureMode = CaptureMode::composited;
};

struct OrvoWindow {
  std::uint32_t windowId = 0;
  std::string appName;
  std::string title;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::optional<std::string> statusSummary;

  friend bool operator==(const OrvoWindow&, const OrvoWindow&) = default;
};

struct WindowListMessage {
  std::string type = "windowList";
  std::vector<OrvoWindow> windows;
};

// The one control line without a type key.
struct InputRejectedMessage {
  std::uint32_t windowId = 0;
  std::string reason;
  double timestamp = 0;  // seconds since 2001-01-01 UTC
};

const char* keyboardCommandName(KeyboardCommand command);
std::optional<KeyboardCommand> keyboardCommandNamed(std::string_view name);
const char* captureModeName(CaptureMode mode);
std::optional<CaptureMode> captureModeNamed(std::string_view name);

// Encoding: compact JSON, empty optionals left out.
json::Json toJson(const OrvoRequest& record);
json::Json toJson(const KeyboardTextMessage& record);
json::Json toJson(const KeyboardCommandMessage& record);
json::Json toJson(const ClientVisibilityMessage& record);
json::Json toJson(const ClientPingMessage& record);
json::Json toJson(const ClientHelloMessage& record);
json::Json toJson(const ClientActiveWindowMessage& record);
json::Json toJson(const SetCaptureModeMessage& record);
json::Json toJson(const OrvoWindow& record);
json::Json toJson(const WindowListMessage& record);
json::Json toJson(const InputRejectedMessage& record);

// Strict decoding: returns false and describes the first fault.
bool fromJson(const json::Value& value, MessageEnvelope& out, std::string& error);
bool fromJson(const json::Value& value, OrvoRequest& out, std::string& error);
bool fromJson(const json::Value& value, KeyboardTextMessage& out, std::string& error);
bool fromJson(const json::Value& value, KeyboardCommandMessage& out, std::string& error);
bool fromJson(const json::Value& value, ClientVisibilityMessage& out, std::string& error);
bool fromJson(const json::Value& value, ClientPingMessage& out, std::string& error);
bool fromJson(const json::Value& value, ClientHelloMessage& out, std::string& error);
bool fromJson(const json::Value& value, ClientActiveWindowMessage& out, std::string& error);
bool fromJson(const json::Value& value, SetCaptureModeMessage& out, std::string& error);
bool fromJson(const json::Value& value, OrvoWindow& out, std::string& error);
bool fromJson(const json::Value& value, WindowListMessage& out, std::string& error);
bool fromJson(const json::Value& value, InputRejectedMessage& out, std::string& error);

// The JSON text of a record, without the line feed.
template <class Record>
std::string encodeMessage(const Record& record) {
  return json::encode(toJson(record));
}

// Decodes an already parsed line as a record of type Record.
template <class Record>
std::optional<Record> decodeRecord(const json::Value& parsed, std::string* error = nullptr) {
  std::string fault;
  Record record;
  if (fromJson(parsed, record, fault)) return record;
  if (error) *error = fault;
  return std::nullopt;
}

// Decodes one line as a record of type Record.
template <class Record>
std::optional<Record> decodeMessage(std::string_view line, std::string* error = nullptr) {
  std::string fault;
  const auto parsed = json::parse(line, &fault);
  if (!parsed) {
    if (error) *error = fault;
    return std::nullopt;
  }
  return decodeRecord<Record>(*parsed, error);
}

}  // namespace orvo
