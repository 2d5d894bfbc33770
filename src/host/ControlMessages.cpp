#include "host/ControlMessages.h"

#include <array>
#include <utility>

namespace orvo {
namespace {

constexpr std::array<std::pair<KeyboardCommand, const char*>, 7> kKeyboardCommands{{
    {KeyboardCommand::backspace, "backspace"},
    {KeyboardCommand::enter, "enter"},
    {KeyboardCommand::escape, "escape"},
    {KeyboardCommand::leftArrow, "leftArrow"},
    {KeyboardCommand::rightArrow, "rightArrow"},
    {KeyboardCommand::upArrow, "upArrow"},
    {KeyboardCommand::downArrow, "downArrow"},
}};

void putIfPresent(json::Json& object, const char* key, const std::optional<std::string>& value) {
  if (value) object[key] = *value;
}

}  // namespace

const char* keyboardCommandName(KeyboardCommand command) {
  for (const auto& [value, name] : kKeyboardCommands) {
    if (value == command) return name;
  }
  return "enter";
}

std::optional<KeyboardCommand> keyboardCommandNamed(std::string_view name) {
  for (const auto& [value, text] : kKeyboardCommands) {
    if (name == text) return value;
  }
  return std::nullopt;
}

const char* captureModeName(CaptureMode mode) { return mode == CaptureMode::isolated ? "isolated" : "composited"; }

std::optional<CaptureMode> captureModeNamed(std::string_view name) {
  if (name == "isolated") return CaptureMode::isolated;
  if (name == "composited") return CaptureMode::composited;
  return std::nullopt;
}

json::Json toJson(const OrvoRequest& r) {
  json::Json o = {{"type", r.type}};
  if (r.windowId) o["windowId"] = *r.windowId;
  if (r.normX) o["normX"] = *r.normX;
  if (r.normY) o["normY"] = *r.normY;
  putIfPresent(o, "button", r.button);
  return o;
}

json::Json toJson(const KeyboardTextMessage& r) { return {{"type", r.type}, {"text", r.text}}; }

json::Json toJson(const KeyboardCommandMessage& r) {
  return {{"type", r.type}, {"command", keyboardCommandName(r.command)}};
}

json::Json toJson(const ClientVisibilityMessage& r) { return {{"type", r.type}, {"isVisible", r.isVisible}}; }

json::Json toJson(const ClientPingMessage& r) { return {{"type", r.type}}; }

json::Json toJson(const ClientHelloMessage& r) {
  json::Json o = {{"type", r.type}};
  putIfPresent(o, "pairingID", r.pairingID);
  o["deviceName"] = r.deviceName;
  putIfPresent(o, "deviceModel", r.deviceModel);
  o["platform"] = r.platform;
  putIfPresent(o, "osVersion", r.osVersion);
  putIfPresent(o, "appVersion", r.appVersion);
  return o;
}

json::Json toJson(const ClientActiveWindowMessage& r) { return {{"type", r.type}, {"windowId", r.windowId}}; }

json::Json toJson(const SetCaptureModeMessage& r) {
  return {{"type", r.type}, {"windowId", r.windowId}, {"captureMode", captureModeName(r.captureMode)}};
}

json::Json toJson(const OrvoWindow& r) {
  json::Json o = {{"windowId", r.windowId}, {"appName", r.appName}, {"title", r.title},
                  {"width", r.width},       {"height", r.height}};
  putIfPresent(o, "statusSummary", r.statusSummary);
  return o;
}

json::Json toJson(const WindowListMessage& r) {
  json::Json windows = json::Json::array();
  for (const auto& window : r.windows) windows.push_back(toJson(window));
  return {{"type", r.type}, {"windows", std::move(windows)}};
}

json::Json toJson(const InputRejectedMessage& r) {
  return {{"windowId", r.windowId}, {"reason", r.reason}, {"timestamp", json::timestamp(r.timestamp)}};
}

bool fromJson(const json::Value& value, MessageEnvelope& out, std::string& error) {
  json::ObjectReader reader(value);
  out.type = reader.requireString("type");
  return reader.finish(error);
}

bool fromJson(const json::Value& value, OrvoRequest& out, std::string& error) {
  json::ObjectReader reader(value);
  out.type = reader.requireString("type");
  out.windowId = reader.optionalWindowId("windowId");
  out.normX = reader.optionalNumber("normX");
  out.normY = reader.optionalNumber("normY");
  out.button = reader.optionalString("button");
  return reader.finish(error);
}

bool fromJson(const json::Value& value, KeyboardTextMessage& out, std::string& error) {
  json::ObjectReader reader(value);
  out.type = reader.requireString("type");
  out.text = reader.requireString("text");
  return reader.finish(error);
}

bool fromJson(const json::Value& value, KeyboardCommandMessage& out, std::string& error) {
  json::ObjectReader reader(value);
  out.type = reader.requireString("type");
  const auto command = reader.requireString("command");
  if (reader.ok()) {
    if (const auto parsed = keyboardCommandNamed(command)) {
      out.command = *parsed;
    } else {
      reader.fail("dataCorrupted: invalid KeyboardCommand value \"" + command + "\"");
    }
  }
  return reader.finish(error);
}

bool fromJson(const json::Value& value, ClientVisibilityMessage& out, std::string& error) {
  json::ObjectReader reader(value);
  out.type = reader.requireString("type");
  out.isVisible = reader.requireBool("isVisible");
  return reader.finish(error);
}

bool fromJson(const json::Value& value, ClientPingMessage& out, std::string& error) {
  json::ObjectReader reader(value);
  out.type = reader.requireString("type");
  return reader.finish(error);
}

bool fromJson(const json::Value& value, ClientHelloMessage& out, std::string& error) {
  json::ObjectReader reader(value);
  out.type = reader.requireString("type");
  out.pairingID = reader.optionalString("pairingID");
  out.deviceName = reader.requireString("deviceName");
  out.deviceModel = reader.optionalString("deviceModel");
  out.platform = reader.requireString("platform");
  out.osVersion = reader.optionalString("osVersion");
  out.appVersion = reader.optionalString("appVersion");
  return reader.finish(error);
}

bool fromJson(const json::Value& value, ClientActiveWindowMessage& out, std::string& error) {
  json::ObjectReader reader(value);
  out.type = reader.requireString("type");
  out.windowId = reader.requireWindowId("windowId");
  return reader.finish(error);
}

bool fromJson(const json::Value& value, SetCaptureModeMessage& out, std::string& error) {
  json::ObjectReader reader(value);
  out.type = reader.requireString("type");
  out.windowId = reader.requireWindowId("windowId");
  const auto mode = reader.requireString("captureMode");
  if (reader.ok()) {
    if (const auto parsed = captureModeNamed(mode)) {
      out.captureMode = *parsed;
    } else {
      reader.fail("dataCorrupted: invalid CaptureMode value \"" + mode + "\"");
    }
  }
  return reader.finish(error);
}

bool fromJson(const json::Value& value, OrvoWindow& out, std::string& error) {
  json::ObjectReader reader(value);
  out.windowId = reader.requireWindowId("windowId");
  out.appName = reader.requireString("appName");
  out.title = reader.requireString("title");
  out.width = reader.requireInt64("width");
  out.height = reader.requireInt64("height");
  out.statusSummary = reader.optionalString("statusSummary");
  return reader.finish(error);
}

bool fromJson(const json::Value& value, WindowListMessage& out, std::string& error) {
  json::ObjectReader reader(value);
  out.type = reader.requireString("type");
  const json::Value* windows = reader.requireValue("windows");
  if (reader.ok() && !windows->is_array()) reader.fail("typeMismatch: expected an array at \"windows\"");
  if (!reader.finish(error)) return false;
  out.windows.clear();
  for (const auto& item : *windows) {
    OrvoWindow window;
    if (!fromJson(item, window, error)) return false;
    out.windows.push_back(std::move(window));
  }
  return true;
}

bool fromJson(const json::Value& value, InputRejectedMessage& out, std::string& error) {
  json::ObjectReader reader(value);
  out.windowId = reader.requireWindowId("windowId");
  out.reason = reader.requireString("reason");
  out.timestamp = reader.requireNumber("timestamp");
  return reader.finish(error);
}

}  // namespace orvo
