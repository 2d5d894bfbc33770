// Message dispatch: the envelope, the remote-control gate, the full decode and the route
// of each control line.
#include <array>
#include <string_view>

#include "core/Clock.h"
#include "core/Log.h"
#include "host/OrvoHost.h"

namespace orvo {
namespace {

constexpr std::array<std::string_view, 7> kRemoteControlTypes = {
    "mouseClick", "mouseScroll", "mouseDown", "mouseDrag", "mouseUp", "keyboardText", "keyboardCommand"};

// The description may quote the client's text (a value, a key, the bytes around a syntax
// error), so it is escaped like the line itself.
void logDecodeFailure(Logger& logger, const std::string& error, const std::string& line) {
  logLine(logger, "OrvoHost: failed to decode incoming message:", escapeForLog(error));
  logLine(logger, "Line was:", escapeForLog(line));
}

}  // namespace

bool OrvoHost::isRemoteControlMessageType(const std::string& type) {
  for (const auto candidate : kRemoteControlTypes) {
    if (type == candidate) return true;
  }
  return false;
}

void OrvoHost::handleMessageLine(const std::string& line) {
  if (hostIsLockedOrAsleep_) return;
  auto& logger = services_.logger;

  // The line is parsed once; the envelope and the record of its type read the same tree.
  std::string error;
  const auto parsed = json::parse(line, &error);
  if (!parsed) {
    logDecodeFailure(logger, error, line);
    return;
  }
  const auto envelope = decodeRecord<MessageEnvelope>(*parsed, &error);
  if (!envelope) {
    logDecodeFailure(logger, error, line);
    return;
  }
  const std::string& type = envelope->type;
  if (isRemoteControlMessageType(type) && !isRemoteControlPermitted()) {
    logLine(logger, "OrvoHost: remote control blocked (disabled or AX not granted) for message type:",
            escapeForLog(type));
    return;
  }

  // Decodes the line as the record of its type and hands it on, or logs why not.
  auto route = [&]<class Record>(auto&& handle) {
    if (auto record = decodeRecord<Record>(*parsed, &error)) {
      handle(*record);
    } else {
      logDecodeFailure(logger, error, line);
    }
  };
  auto unserved = [&] { logLine(logger, "OrvoHost: no handler on this host for message type:", escapeForLog(type)); };

  if (type == "requestWindowList" || type == "requestWindowSnapshot" || type == "mouseClick" ||
      type == "mouseScroll" || type == "mouseDown" || type == "mouseDrag" || type == "mouseUp") {
    route.operator()<OrvoRequest>([&](const OrvoRequest& request) { handleRequest(request); });
  } else if (type == "keyboardText") {
    route.operator()<KeyboardTextMessage>([&](const KeyboardTextMessage& message) {
      if (handlers_.input) {
        handlers_.input->handleKeyboardText(message.text);
      } else {
        unserved();
      }
    });
  } else if (type == "keyboardCommand") {
    route.operator()<KeyboardCommandMessage>([&](const KeyboardCommandMessage& message) {
      if (handlers_.input) {
        handlers_.input->handleKeyboardCommand(message.command);
      } else {
        unserved();
      }
    });
  } else if (type == "clientVisibility") {
    route.operator()<ClientVisibilityMessage>([&](const ClientVisibilityMessage& message) {
      clientIsVisible_ = message.isVisible;
      lastClientPingAt_ = services_.clock.now();
      logLine(logger, "OrvoHost: client visibility =", message.isVisible);
      updateAwakeState();
    });
  } else if (type == "clientPing") {
    route.operator()<ClientPingMessage>([&](const ClientPingMessage&) { lastClientPingAt_ = services_.clock.now(); });
  } else if (type == "clientHello") {
    route.operator()<ClientHelloMessage>([&](const ClientHelloMessage& hello) { handleClientHello(hello); });
  } else if (type == "clientActiveWindow") {
    route.operator()<ClientActiveWindowMessage>([&](const ClientActiveWindowMessage& message) {
      if (handlers_.focus) {
        handlers_.focus->setClientActiveWindow(message.windowId);
      } else {
        unserved();
      }
    });
  } else if (type == "setCaptureMode") {
    route.operator()<SetCaptureModeMessage>([&](const SetCaptureModeMessage& message) {
      if (handlers_.stream) {
        handlers_.stream->setCaptureMode(message.windowId, message.captureMode);
      } else {
        unserved();
      }
    });
  } else {
    logLine(logger, "OrvoHost: unknown message type:", escapeForLog(type));
  }
}

void OrvoHost::handleRequest(const OrvoRequest& request) {
  if (hostIsLockedOrAsleep_ || !clientIsVisible_) return;
  const auto& type = request.type;
  if (type == "requestWindowList") {
    if (handlers_.windowList) return handlers_.windowList->handleWindowListRequest();
  } else if (type == "requestWindowSnapshot") {
    // Frames only of listed windows; a request without an id goes on to be logged there.
    if (request.windowId && (!handlers_.windowList || !handlers_.windowList->admitsFrames(*request.windowId))) return;
    if (handlers_.stream) return handlers_.stream->handleSnapshotRequest(request.windowId);
  } else if (handlers_.input) {
    return handlers_.input->handlePointerRequest(request);
  }
  logLine(services_.logger, "OrvoHost: no handler on this host for message type:", type);
}

}  // namespace orvo
