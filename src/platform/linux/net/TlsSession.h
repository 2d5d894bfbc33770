#pragma once

#include <openssl/ssl.h>

#include <array>
#include <atomic>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Bytes.h"
#include "platform/Network.h"
#include "platform/linux/net/HandlerRelease.h"
#include "platform/linux/net/TlsContext.h"

namespace orvo {
class Logger;
}

namespace orvo::platform {

// One TLS 1.2 connection over TCP, driven by Asio on one io_context. OpenSSL works on
// memory buffers and this class moves the bytes between them and the socket, so that it
// alone decides when to read (only while a handshake or a receive needs bytes, one
// record-sized chunk at a time) and what to write (one write in flight; queued sends are
// encrypted in batches of at most kWriteBatch bytes just before they go out).
//
// Every method runs on the io_context's thread, and so does every handler and completion
// (always posted, never called from inside a method). Each receive and send completion is
// called exactly once, unless the io_context is destroyed first: then every handler is
// dropped uncalled (HandlerReleaseService). Pending Asio operations hold the session (shared_from_this), so it
// lives until its socket is closed; AsioConnection, the object the host holds, cancels it
// when the host lets go.
//
// Server side, the socket is read from the moment watchBeforeStart() is called (the
// listener does so on accept), before the handshake begins: the bytes wait for start(), at
// most kEarlyLimit of them, so that the peer's first record is seen (firstRecordArrived) and
// a peer that closes a connection that was never started makes it fail at once.
//
// States: setup → preparing (start) → ready, or failed with a description; cancel() at
// any point reports cancelled instead. failed and cancelled are final: exactly one of
// them is reported, and the state handler is released after it, so a handler that
// captures the connection does not keep it alive beyond its end.
class TlsSession final : public std::enable_shared_from_this<TlsSession>, public HandlerOwner {
 public:
  static constexpr std::size_t kWriteBatch = 256 * 1024;
  // How long a closing connection may take to write its last bytes and TLS close
  // notification, and to see the peer's end, before its socket is closed regardless.
  static constexpr std::chrono::milliseconds kCloseTimeout{2000};
  // Bytes a server connection reads before start(): more than a ClientHello needs.
  static constexpr std::size_t kEarlyLimit = 18 * 1024;

  // Server side: an accepted socket; the handshake waits for start().
  static std::shared_ptr<TlsSession> accepted(asio::io_context& context, asio::ip::tcp::socket socket,
                                              std::shared_ptr<const TlsContext> tls, std::string endpoint,
                                              Logger& logger);
  // Client side: resolves and connects on start(), then does the handshake. Without a
  // context (parameters unusable), start() reports failed with `setupError`.
  static std::shared_ptr<TlsSession> outgoing(asio::io_context& context, std::string host, std::uint16_t port,
                                              std::shared_ptr<const TlsContext> tls, std::string setupError,
                                              Logger& logger);

  TlsSession(asio::io_context& context, asio::ip::tcp::socket socket, std::shared_ptr<const TlsContext> tls,
             TlsRole role, std::string endpoint, Logger& logger);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  asio::io_context::executor_type executor() const { return context_.get_executor(); }
  // Fixed at creation, so readable from any thread.
  const std::string& endpoint() const { return endpoint_; }
  // Server side, once ready: the secret of the key that admitted the peer; else empty.
  const Bytes& authenticatedKeySecret() const { return authenticatedKeySecret_; }
  // Server side: the peer's first TLS record has arrived whole (readable from any thread).
  // Client side: always true.
  bool firstRecordArrived() const {
    return role_ == TlsRole::client || firstRecordArrived_.load(std::memory_order_relaxed);
  }

  // Server side: the peer sent more than its first record before the handshake ended.
  bool receivedBeyondFirstRecord() const {
    return role_ == TlsRole::client || beyondFirstRecord_.load(std::memory_order_relaxed);
  }

  // Server side, not started yet: reads what the peer sends (see above).
  void watchBeforeStart();

  void setStateHandler(Connection::StateHandler handler);
  void start();
  void receive(std::size_t minimum, std::size_t maximum, Connection::ReceiveCompletion completion);
  void send(Bytes data, Connection::SendCompletion completion);
  void cancel();
  // The owner let go: no state is delivered any more, and the connection is cancelled.
  void abandon();
  void releaseHandlers() override;

 private:
  enum class Phase { idle, connecting, handshaking, ready, closing, closed };
  struct PendingReceive {
    std::size_t minimum = 1;
    std::size_t maximum = 1;
    Connection::ReceiveCompletion completion;
    Bytes data;
  };
  struct PendingSend {
    Bytes data;
    std::size_t offset = 0;  // bytes already encrypted
    Connection::SendCompletion completion;
  };

  void connect();
  void beginHandshake();
  // Moves every part forward as far as the buffered bytes allow.
  void advance();
  void stepHandshake();
  void encryptSends();
  void serveReceive();
  void flushOutput();
  void requestRead();
  void onRead(const std::error_code& error, std::size_t length);
  void onWritten(const std::error_code& error);
  // Counts bytes from the peer until it has sent more than its first record.
  void noteReceived(const std::uint8_t* data, std::size_t length);
  // Ends the connection: failPending, then the final state, then closing.
  void fail(const std::string& description, bool flushFirst);
  void failPending(const std::string& description);
  void closeGracefully(bool sendCloseNotify);
  void finishClosing();
  void closeNow();
  void reportState(ConnectionState state);
  void completeSends(std::vector<Connection::SendCompletion>& completions, const std::optional<std::string>& error);
  std::string describeTlsError(int sslError, const char* what);

  asio::io_context& context_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer closeTimer_;
  std::optional<asio::ip::tcp::resolver> resolver_;
  std::shared_ptr<const TlsContext> tls_;
  const TlsRole role_;
  std::string endpoint_;
  Logger& logger_;
  // Client side only.
  std::string host_;
  std::uint16_t port_ = 0;
  std::string setupError_;

  UniqueSsl ssl_;
  BIO* networkIn_ = nullptr;   // owned by ssl_: ciphertext read from the socket
  BIO* networkOut_ = nullptr;  // owned by ssl_: ciphertext waiting for the socket

  Phase phase_ = Phase::idle;
  bool peerSpoke_ = false;  // any byte has come from the peer
  Bytes authenticatedKeySecret_;
  bool watching_ = false;  // server side: reading before start()
  Bytes early_;            // ciphertext read before start(), handed to TLS when it begins
  std::array<std::uint8_t, 5> firstHeader_{};
  std::size_t receivedBeforeReady_ = 0;  // counted until the first record is complete
  std::atomic<bool> firstRecordArrived_{false};
  std::atomic<bool> beyondFirstRecord_{false};
  bool started_ = false;
  bool finished_ = false;  // the final state has been reported
  std::string endError_;   // what operations after the end report
  bool handshakeWantsRead_ = false;
  bool receiveWantsRead_ = false;
  bool readInFlight_ = false;
  bool writeInFlight_ = false;
  bool socketEof_ = false;     // TCP end seen
  bool peerFinished_ = false;  // the peer's data is over (close notify or TCP end)
  bool draining_ = false;      // closing: our side is shut, waiting for the peer's end

  Connection::StateHandler stateHandler_;
  std::optional<PendingReceive> receive_;
  std::deque<PendingSend> sendQueue_;
  std::vector<Connection::SendCompletion> encryptedCompletions_;  // their bytes wait in networkOut_
  std::vector<Connection::SendCompletion> writingCompletions_;    // their bytes are being written
  Bytes outgoing_;
  std::array<std::uint8_t, 17 * 1024> socketBuffer_{};
  std::array<std::uint8_t, 16 * 1024> plainBuffer_{};
};

}  // namespace orvo::platform
