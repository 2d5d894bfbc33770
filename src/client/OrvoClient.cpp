#include "client/OrvoClient.h"

#include "pairing/OrvoTLS.h"

namespace orvo::client {

namespace {

// Largest read of the receive loop; frames arrive in many reads.
constexpr std::size_t kReceiveChunk = 256 * 1024;

}  // namespace

SessionEndKind classifyHandshakeFailure(const std::string& description) {
  // Only the alert for an unknown identity says anything about the key.
  if (description.find(platform::kUnknownPskIdentityAlert) != std::string::npos) return SessionEndKind::refused;
  if (description.rfind(platform::kHandshakeClosedBeforeHello, 0) == 0) return SessionEndKind::busy;
  if (description.rfind(platform::kHandshakeFailed, 0) == 0) return SessionEndKind::failed;
  return SessionEndKind::unreachable;
}

namespace {

}  // namespace

const char* sessionEndKindName(SessionEndKind kind) {
  switch (kind) {
    case SessionEndKind::refused: return "refused";
    case SessionEndKind::busy: return "busy";
    case SessionEndKind::unreachable: return "unreachable";
    case SessionEndKind::closedByHost: return "closedByHost";
    case SessionEndKind::failed: return "failed";
    case SessionEndKind::protocol: return "protocol";
    case SessionEndKind::closed: return "closed";
  }
  return "closed";
}

const char* pointerMessageType(PointerAction action) {
  switch (action) {
    case PointerAction::click: return "mouseClick";
    case PointerAction::down: return "mouseDown";
    case PointerAction::drag: return "mouseDrag";
    case PointerAction::up: return "mouseUp";
  }
  return "mouseClick";
}

std::shared_ptr<OrvoClient> OrvoClient::create(MainQueue& main, platform::Network& network,
                                               OrvoClientOptions options, OrvoClientHandlers handlers) {
  return std::shared_ptr<OrvoClient>(new OrvoClient(main, network, std::move(options), std::move(handlers)));
}

OrvoClient::OrvoClient(MainQueue& main, platform::Network& network, OrvoClientOptions options,
                       OrvoClientHandlers handlers)
    : main_(main),
      network_(network),
      options_(std::move(options)),
      handlers_(std::move(handlers)),
      parser_(SessionStreamParser::Handlers{
                  .line =
                      [this](std::string line) {
                        if (!ended_) handleLine(std::move(line));
                      },
                  .frame =
                      [this](ReceivedFrame frame) {
                        if (!ended_ && handlers_.frame) handlers_.frame(std::move(frame));
                      },
              },
              options_.limits) {}

OrvoClient::~OrvoClient() {
  if (connection_ && !ended_) {
    connection_->setStateHandler(nullptr);
    connection_->cancel();
  }
}

void OrvoClient::connect(const std::string& host, std::uint16_t port, const std::string& pairingID,
                         const Bytes& key) {
  if (connection_ || ended_) return;
  pairingID_ = pairingID;
  connection_ = network_.makeConnection(host, port, makePSKParameters(pairingID, key));
  connection_->setStateHandler([weak = weak_from_this()](const platform::ConnectionState& state) {
    if (auto self = weak.lock()) self->handleState(state);
  });
  connection_->start();
}

void OrvoClient::close() { end(SessionEndKind::closed, "closed by the client"); }

void OrvoClient::handleState(const platform::ConnectionState& state) {
  if (ended_) return;
  switch (state.kind) {
    case platform::ConnectionStateKind::ready: {
      if (ready_) return;
      ready_ = true;
      ClientHelloMessage hello;
      hello.pairingID = pairingID_;
      hello.deviceName = options_.deviceName;
      hello.deviceModel = options_.deviceModel;
      hello.platform = options_.platform;
      hello.osVersion = options_.osVersion;
      hello.appVersion = options_.appVersion;
      sendLine(encodeMessage(hello));
      pingTimer_ = main_.scheduleRepeating(options_.pingInterval, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->sendPing();
      });
      receiveNext();
      if (handlers_.ready) handlers_.ready();
      return;
    }
    case platform::ConnectionStateKind::failed:
      if (ready_) {
        end(SessionEndKind::failed, state.error);
      } else {
        end(classifyHandshakeFailure(state.error), state.error);
      }
      return;
    case platform::ConnectionStateKind::cancelled:
      end(ready_ ? SessionEndKind::closedByHost : SessionEndKind::unreachable, "connection cancelled");
      return;
    default:
      return;
  }
}

void OrvoClient::receiveNext() {
  if (!connection_ || ended_) return;
  connection_->receive(1, kReceiveChunk,
                       [weak = weak_from_this()](Bytes data, bool isComplete, std::optional<std::string> error) {
                         auto self = weak.lock();
                         if (!self || self->ended_) return;
                         if (!data.empty() && !self->parser_.feed(data)) {
                           self->end(SessionEndKind::protocol, self->parser_.error());
                           return;
                         }
                         if (self->ended_) return;  // a handler closed the session
                         if (error) {
                           self->end(SessionEndKind::failed, *error);
                         } else if (isComplete) {
                           self->end(SessionEndKind::closedByHost, "the host closed the session");
                         } else {
                           self->receiveNext();
                         }
                       });
}

void OrvoClient::handleLine(std::string line) {
  std::string error;
  auto parsed = json::parse(line, &error);
  if (!parsed || !parsed->is_object()) {
    if (handlers_.unknownLine) handlers_.unknownLine(line, parsed ? "not a JSON object" : error);
    return;
  }
  const auto type = parsed->find("type");
  if (type == parsed->end() || type->is_null()) {
    // The one line without a type: an input rejection.
    InputRejectedMessage rejected;
    if (fromJson(*parsed, rejected, error)) {
      if (handlers_.inputRejected) handlers_.inputRejected(rejected);
    } else if (handlers_.unknownLine) {
      handlers_.unknownLine(line, error);
    }
    return;
  }
  if (type->is_string() && type->get<std::string>() == "windowList") {
    WindowListMessage list;
    if (fromJson(*parsed, list, error)) {
      if (handlers_.windowList) handlers_.windowList(list);
    } else if (handlers_.unknownLine) {
      handlers_.unknownLine(line, error);
    }
    return;
  }
  if (handlers_.unknownLine) handlers_.unknownLine(line, "unknown message type");
}

bool OrvoClient::sendLine(std::string text) {
  if (!ready_ || ended_ || !connection_) return false;
  text.push_back('\n');
  connection_->send(toBytes(text), nullptr);
  return true;
}

bool OrvoClient::requestWindowList() { return sendLine(encodeMessage(OrvoRequest{.type = "requestWindowList"})); }

bool OrvoClient::requestWindowSnapshot(std::uint32_t windowId) {
  return sendLine(encodeMessage(OrvoRequest{.type = "requestWindowSnapshot", .windowId = windowId}));
}

bool OrvoClient::sendPointer(PointerAction action, std::uint32_t windowId, double normX, double normY,
                             std::optional<std::string> button) {
  return sendLine(encodeMessage(OrvoRequest{.type = pointerMessageType(action),
                                            .windowId = windowId,
                                            .normX = normX,
                                            .normY = normY,
                                            .button = std::move(button)}));
}

bool OrvoClient::sendScroll(double dx, double dy, std::optional<std::uint32_t> windowId) {
  return sendLine(encodeMessage(OrvoRequest{.type = "mouseScroll", .windowId = windowId, .normX = dx, .normY = dy}));
}

bool OrvoClient::sendKeyboardText(const std::string& text) {
  return sendLine(encodeMessage(KeyboardTextMessage{.text = text}));
}

bool OrvoClient::sendKeyboardCommand(KeyboardCommand command) {
  return sendLine(encodeMessage(KeyboardCommandMessage{.command = command}));
}

bool OrvoClient::sendActiveWindow(std::uint32_t windowId) {
  return sendLine(encodeMessage(ClientActiveWindowMessage{.windowId = windowId}));
}

bool OrvoClient::sendCaptureMode(std::uint32_t windowId, CaptureMode mode) {
  return sendLine(encodeMessage(SetCaptureModeMessage{.windowId = windowId, .captureMode = mode}));
}

bool OrvoClient::sendVisibility(bool visible) {
  return sendLine(encodeMessage(ClientVisibilityMessage{.isVisible = visible}));
}

bool OrvoClient::sendPing() { return sendLine(encodeMessage(ClientPingMessage{})); }

bool OrvoClient::afterSent(std::function<void()> done) {
  if (!ready_ || ended_ || !connection_) return false;
  // A send of no bytes completes once everything queued before it has been written.
  connection_->send(Bytes{}, [done = std::move(done)](std::optional<std::string>) { done(); });
  return true;
}

void OrvoClient::end(SessionEndKind kind, std::string description) {
  if (ended_) return;
  ended_ = true;
  ready_ = false;
  pingTimer_.reset();
  if (connection_) {
    connection_->setStateHandler(nullptr);
    connection_->cancel();
  }
  if (handlers_.ended) handlers_.ended(SessionEnd{kind, std::move(description)});
}

}  // namespace orvo::client
