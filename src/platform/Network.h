#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Bytes.h"

namespace orvo::platform {

// TLS 1.2 with pre-shared keys only, no certificates. Each key pair is given in the
// terms of the TLS handshake: the identity the client presents and the secret both sides
// hold. (The host's key order puts the raw key bytes in the identity and the UTF-8 of
// the pairing id in the secret.)
struct PreSharedKey {
  Bytes identity;
  Bytes secret;
};

struct TlsParameters {
  std::vector<PreSharedKey> preSharedKeys;
  // IANA cipher suite numbers; the host configures 0x00A8 (TLS_PSK_WITH_AES_128_GCM_SHA256) only.
  std::vector<std::uint16_t> cipherSuites;
};

enum class ListenerStateKind { setup, waiting, ready, failed, cancelled };
struct ListenerState {
  ListenerStateKind kind = ListenerStateKind::setup;
  std::string error;  // description, for waiting and failed
};

enum class ConnectionStateKind { setup, preparing, waiting, ready, failed, cancelled };
struct ConnectionState {
  ConnectionStateKind kind = ConnectionStateKind::setup;
  std::string error;  // description, for waiting and failed
};

// How a client's failed TLS handshake begins its description, for the two cases a client
// must tell apart. The server closed (or reset) the connection before sending anything,
// its hello included: it did not take the connection on (its limits, a busy host), and
// says nothing of the key.
inline constexpr const char* kHandshakeClosedBeforeHello = "TLS handshake failed: closed by the server before its hello";
// Every handshake failure begins with this; the one that means "this key is not known
// here" carries the TLS alert unknown_psk_identity, which OpenSSL words as below.
inline constexpr const char* kHandshakeFailed = "TLS handshake failed";
inline constexpr const char* kUnknownPskIdentityAlert = "unknown psk identity";

// One TLS connection. Handlers and completions run on the main queue. Once cancelled or
// failed, a connection delivers nothing more except the final state (and completions of
// sends and receives still pending, with an error).
class Connection {
 public:
  using StateHandler = std::function<void(const ConnectionState&)>;
  // Data received (possibly empty), whether the peer has finished its side, and an error.
  using ReceiveCompletion = std::function<void(Bytes data, bool isComplete, std::optional<std::string> error)>;
  using SendCompletion = std::function<void(std::optional<std::string> error)>;

  virtual ~Connection() = default;
  // An empty handler removes the current one; no state is delivered after that.
  virtual void setStateHandler(StateHandler handler) = 0;
  // Starts the TLS handshake (server side: as accepted; client side: after connecting).
  // Reports preparing, then ready or failed.
  virtual void start() = 0;
  // Asks for between `minimum` and `maximum` bytes. One receive at a time.
  virtual void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) = 0;
  // Queues bytes for sending; callable from any thread. Bytes of successive calls are
  // written in call order, never interleaved. The completion, if any, runs on the main
  // queue once the bytes have been handed to the socket or the connection has failed.
  virtual void send(Bytes data, SendCompletion completion) = 0;
  // Closes the connection (TLS close notify where possible) and reports cancelled.
  virtual void cancel() = 0;
  // "address:port" of the remote end.
  virtual std::string endpointDescription() const = 0;
  // Server side, once ready: the secret of the pre-shared key that admitted the connection
  // (on the host's listeners the UTF-8 of the pairing id, or of "orvo-pin"). Empty before
  // the handshake has succeeded and on the client side.
  virtual Bytes authenticatedKeySecret() const { return {}; }
  // Server side: whether the peer's first TLS record has arrived whole. A listener's
  // connections are read from the moment they are accepted, started or not, so this turns
  // true before start() when the peer spoke first, and a peer that closes a connection not
  // started yet makes it report failed at once. Connections that cannot tell say true.
  // Main queue.
  virtual bool hasReceivedFirstRecord() const { return true; }
  // Server side: whether the peer sent more than its first record before the handshake
  // ended: a TLS-PSK client names its key only in its second flight, so a peer that never
  // got that far cannot have tried one. Connections that cannot tell say true.
  virtual bool hasReceivedBeyondFirstRecord() const { return true; }
};

// A TCP listener whose connections speak TLS with the given keys. Handlers run on the
// main queue.
class Listener {
 public:
  using StateHandler = std::function<void(const ListenerState&)>;
  using NewConnectionHandler = std::function<void(std::shared_ptr<Connection>)>;

  virtual ~Listener() = default;
  virtual void setStateHandler(StateHandler handler) = 0;
  // Accepted connections arrive not yet started; the receiver starts or cancels them.
  // Until started, a connection only watches for the peer's first record and its end
  // (see Connection::hasReceivedFirstRecord).
  virtual void setNewConnectionHandler(NewConnectionHandler handler) = 0;
  // Binds and listens, then reports ready (or failed).
  virtual void start() = 0;
  // Stops listening and reports cancelled; accepted connections are left alone.
  virtual void cancel() = 0;
  // The bound port once listening.
  virtual std::optional<std::uint16_t> port() const = 0;
};

class Network {
 public:
  virtual ~Network() = default;
  // A listener on the network's bind address (all interfaces for the host; tests bind
  // 127.0.0.1): on `preferredPort` when that port is free, else on any free port (0 asks
  // for any port straight away). Returns nothing and an error description when the
  // parameters cannot be used.
  virtual std::shared_ptr<Listener> makeListener(const TlsParameters& parameters, std::uint16_t preferredPort,
                                                 std::string& error) = 0;
  std::shared_ptr<Listener> makeListener(const TlsParameters& parameters, std::string& error) {
    return makeListener(parameters, 0, error);
  }
  // A client connection to host:port presenting the first key of the parameters.
  virtual std::shared_ptr<Connection> makeConnection(const std::string& host, std::uint16_t port,
                                                     const TlsParameters& parameters) = 0;
};

}  // namespace orvo::platform
