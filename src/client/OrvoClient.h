#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "client/SessionStreamParser.h"
#include "core/Bytes.h"
#include "core/Queues.h"
#include "host/ControlMessages.h"
#include "platform/Network.h"

namespace orvo::client {

// How a session ended, from the client's side.
enum class SessionEndKind {
  refused,      // the host's TLS alert for an unknown identity: it does not know this key (not
                // paired, or revoked)
  busy,         // the host closed the connection before its hello (its limits): nothing said
                // of the key; try again later
  unreachable,  // no TCP connection (wrong address, nothing listening)
  closedByHost, // the host ended an established session (revoked, replaced by another client, stopped)
  failed,       // the established connection broke (read or write error)
  protocol,     // the host broke the stream's bounds; the client closed the connection
  closed,       // close() was called
};

// What a connection that failed before its session was ready means, from the failure's
// description: the unknown-identity alert is a refusal, a close before the server's hello
// a busy host, another handshake failure a failure, anything else (no TCP connection) an
// unreachable host.
SessionEndKind classifyHandshakeFailure(const std::string& description);

struct SessionEnd {
  SessionEndKind kind = SessionEndKind::closed;
  std::string description;
};

const char* sessionEndKindName(SessionEndKind kind);

struct OrvoClientOptions {
  std::string deviceName;
  std::string platform = "linux";
  std::optional<std::string> deviceModel;
  std::optional<std::string> osVersion;
  std::optional<std::string> appVersion;
  // "clientPing" period while the session is up; the host drops a visible client that is
  // silent for more than 10 s.
  double pingInterval = 3.0;
  SessionStreamParser::Limits limits;
};

// What the session reports, all on the main queue. Any handler may be empty.
struct OrvoClientHandlers {
  // The handshake succeeded and the hello has been queued.
  std::function<void()> ready;
  std::function<void(const WindowListMessage&)> windowList;
  std::function<void(const InputRejectedMessage&)> inputRejected;
  std::function<void(ReceivedFrame)> frame;
  // A control line that is neither a window list nor an input rejection (an unknown
  // type, or text that does not decode); the session goes on.
  std::function<void(const std::string& line, const std::string& why)> unknownLine;
  // Called once, as the last report.
  std::function<void(const SessionEnd&)> ended;
};

// The pointer messages that share the request record.
enum class PointerAction { click, down, drag, up };
const char* pointerMessageType(PointerAction action);

// One client session with a host: a TLS-PSK connection keyed with the pairing id and key
// the client was given, the hello, a "clientPing" every `pingInterval` seconds, the
// splitting of the incoming stream into control lines and frames, and the sending of
// every client message.
//
// Threading: create, call and drop on the main queue; every handler runs there. The
// caller owns the session: callbacks of the connection and the ping timer hold it weakly,
// and dropping it closes the connection without a report. `main` and `network` must
// outlive it.
class OrvoClient : public std::enable_shared_from_this<OrvoClient> {
 public:
  static std::shared_ptr<OrvoClient> create(MainQueue& main, platform::Network& network, OrvoClientOptions options,
                                            OrvoClientHandlers handlers);
  ~OrvoClient();
  OrvoClient(const OrvoClient&) = delete;
  OrvoClient& operator=(const OrvoClient&) = delete;

  // Connects to host:port presenting the key as the PSK identity and the UTF-8 of the
  // pairing id as the secret. Once: a session object serves one connection.
  void connect(const std::string& host, std::uint16_t port, const std::string& pairingID, const Bytes& key);
  // Closes the connection; `ended` reports `closed` unless the session had already ended.
  void close();
  bool isReady() const { return ready_; }
  bool hasEnded() const { return ended_; }

  // Each queues one control line and returns false (sending nothing) unless the session
  // is ready. Lines go out in call order.
  bool requestWindowList();
  bool requestWindowSnapshot(std::uint32_t windowId);
  bool sendPointer(PointerAction action, std::uint32_t windowId, double normX, double normY,
                   std::optional<std::string> button = std::nullopt);
  // Horizontal and vertical scroll amounts; the window is optional.
  bool sendScroll(double dx, double dy, std::optional<std::uint32_t> windowId);
  bool sendKeyboardText(const std::string& text);
  bool sendKeyboardCommand(KeyboardCommand command);
  bool sendActiveWindow(std::uint32_t windowId);
  bool sendCaptureMode(std::uint32_t windowId, CaptureMode mode);
  bool sendVisibility(bool visible);
  bool sendPing();
  // Runs `done` on the main queue once every line queued so far has been handed to the
  // socket (or the connection has failed). False, without calling it, when not ready.
  bool afterSent(std::function<void()> done);

 private:
  OrvoClient(MainQueue& main, platform::Network& network, OrvoClientOptions options, OrvoClientHandlers handlers);

  void handleState(const platform::ConnectionState& state);
  void receiveNext();
  void handleLine(std::string line);
  bool sendLine(std::string text);
  void end(SessionEndKind kind, std::string description);

  MainQueue& main_;
  platform::Network& network_;
  OrvoClientOptions options_;
  OrvoClientHandlers handlers_;
  std::string pairingID_;
  std::shared_ptr<platform::Connection> connection_;
  SessionStreamParser parser_;
  TimerHandle pingTimer_;
  bool ready_ = false;
  bool ended_ = false;
};

}  // namespace orvo::client
