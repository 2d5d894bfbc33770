#include "platform/linux/net/TlsSession.h"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <algorithm>
#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <system_error>

#include "platform/linux/net/CallbackGuard.h"
#include "platform/linux/net/EndpointText.h"

namespace orvo::platform {
namespace {

std::string cancelledText() { return std::make_error_code(std::errc::operation_canceled).message(); }

bool isFinal(ConnectionStateKind kind) {
  return kind == ConnectionStateKind::failed || kind == ConnectionStateKind::cancelled;
}

}  // namespace

std::shared_ptr<TlsSession> TlsSession::accepted(asio::io_context& context, asio::ip::tcp::socket socket,
                                                 std::shared_ptr<const TlsContext> tls, std::string endpoint,
                                                 Logger& logger) {
  auto session = std::make_shared<TlsSession>(context, std::move(socket), std::move(tls), TlsRole::server,
                                              std::move(endpoint), logger);
  asio::use_service<HandlerReleaseService>(context).track(session);
  return session;
}

std::shared_ptr<TlsSession> TlsSession::outgoing(asio::io_context& context, std::string host, std::uint16_t port,
                                                 std::shared_ptr<const TlsContext> tls, std::string setupError,
                                                 Logger& logger) {
  auto session = std::make_shared<TlsSession>(context, asio::ip::tcp::socket(context), std::move(tls),
                                              TlsRole::client, describeEndpoint(host, port), logger);
  session->host_ = std::move(host);
  session->port_ = port;
  session->setupError_ = std::move(setupError);
  asio::use_service<HandlerReleaseService>(context).track(session);
  return session;
}

TlsSession::TlsSession(asio::io_context& context, asio::ip::tcp::socket socket, std::shared_ptr<const TlsContext> tls,
                       TlsRole role, std::string endpoint, Logger& logger)
    : context_(context),
      socket_(std::move(socket)),
      closeTimer_(context),
      tls_(std::move(tls)),
      role_(role),
      endpoint_(std::move(endpoint)),
      logger_(logger) {}

TlsSession::~TlsSession() = default;

void TlsSession::setStateHandler(Connection::StateHandler handler) { stateHandler_ = std::move(handler); }

void TlsSession::watchBeforeStart() {
  if (role_ != TlsRole::server || started_ || finished_) return;
  watching_ = true;
  requestRead();
}

void TlsSession::start() {
  if (started_ || finished_) return;
  started_ = true;
  reportState({.kind = ConnectionStateKind::preparing});
  if (role_ == TlsRole::server) {
    beginHandshake();
  } else {
    connect();
  }
}

void TlsSession::connect() {
  if (!tls_) {
    fail(setupError_.empty() ? "TLS parameters cannot be used" : setupError_, false);
    return;
  }
  phase_ = Phase::connecting;
  resolver_.emplace(context_);
  resolver_->async_resolve(
      host_, std::to_string(port_),
      [self = shared_from_this()](const std::error_code& error, asio::ip::tcp::resolver::results_type results) {
        if (self->phase_ != Phase::connecting) return;
        if (error) {
          self->fail("cannot resolve " + self->host_ + ": " + error.message(), false);
          return;
        }
        asio::async_connect(self->socket_, results,
                            [self](const std::error_code& connectError, const asio::ip::tcp::endpoint&) {
                              if (self->phase_ != Phase::connecting) return;
                              if (connectError) {
                                self->fail(connectError.message(), false);
                                return;
                              }
                              std::error_code ignored;
                              self->socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
                              self->beginHandshake();
                            });
      });
}

void TlsSession::beginHandshake() {
  ERR_clear_error();
  ssl_ = tls_->newSsl();
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  if (!ssl_ || in == nullptr || out == nullptr) {
    BIO_free(in);
    BIO_free(out);
    fail("cannot create a TLS object: " + takeOpenSslError(), false);
    return;
  }
  SSL_set_bio(ssl_.get(), in, out);  // the SSL object owns both from here on
  networkIn_ = in;
  networkOut_ = out;
  if (!early_.empty()) {
    BIO_write(networkIn_, early_.data(), static_cast<int>(early_.size()));
    Bytes().swap(early_);
  }
  if (role_ == TlsRole::server) {
    SSL_set_accept_state(ssl_.get());
  } else {
    SSL_set_connect_state(ssl_.get());
  }
  phase_ = Phase::handshaking;
  advance();
}

void TlsSession::advance() {
  if (phase_ == Phase::handshaking) stepHandshake();
  if (phase_ == Phase::ready) {
    encryptSends();
    serveReceive();
  }
  if (phase_ == Phase::handshaking || phase_ == Phase::ready || phase_ == Phase::closing) {
    flushOutput();
    requestRead();
  }
}

void TlsSession::stepHandshake() {
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_.get());
  handshakeWantsRead_ = false;
  if (result == 1) {
    if (role_ == TlsRole::server) {
      if (const PreSharedKey* key = TlsContext::admittedKey(ssl_.get())) authenticatedKeySecret_ = key->secret;
    }
    phase_ = Phase::ready;
    reportState({.kind = ConnectionStateKind::ready});
    return;
  }
  const int sslError = SSL_get_error(ssl_.get(), result);
  if (sslError == SSL_ERROR_WANT_READ) {
    if (socketEof_) {
      fail(role_ == TlsRole::client && !peerSpoke_ ? kHandshakeClosedBeforeHello
                                                   : "TLS handshake failed: connection closed by the peer",
           false);
    } else {
      handshakeWantsRead_ = true;
    }
    return;
  }
  // The alert that tells the peer why is waiting in networkOut_; send it before closing.
  fail(describeTlsError(sslError, "TLS handshake failed"), true);
}

void TlsSession::encryptSends() {
  // Only what the next write takes: the rest waits as plaintext, so a slow peer costs no
  // more than one batch of ciphertext.
  if (writeInFlight_) return;
  while (!sendQueue_.empty()) {
    const std::size_t pending = BIO_ctrl_pending(networkOut_);
    if (pending >= kWriteBatch) break;
    PendingSend& entry = sendQueue_.front();
    const std::size_t chunk = std::min(entry.data.size() - entry.offset, kWriteBatch - pending);
    if (chunk > 0) {
      ERR_clear_error();
      std::size_t written = 0;
      if (SSL_write_ex(ssl_.get(), entry.data.data() + entry.offset, chunk, &written) != 1) {
        const int sslError = SSL_get_error(ssl_.get(), 0);
        fail(describeTlsError(sslError, "TLS send failed"), true);
        return;
      }
      entry.offset += written;
    }
    if (entry.offset < entry.data.size()) continue;
    if (entry.completion) encryptedCompletions_.push_back(std::move(entry.completion));
    sendQueue_.pop_front();
  }
}

void TlsSession::serveReceive() {
  if (!receive_) return;
  receiveWantsRead_ = false;
  PendingReceive& pending = *receive_;
  std::optional<std::string> error;
  while (!peerFinished_ && pending.data.size() < pending.maximum) {
    ERR_clear_error();
    const std::size_t wanted = std::min(plainBuffer_.size(), pending.maximum - pending.data.size());
    std::size_t got = 0;
    if (SSL_read_ex(ssl_.get(), plainBuffer_.data(), wanted, &got) == 1) {
      pending.data.insert(pending.data.end(), plainBuffer_.begin(), plainBuffer_.begin() + static_cast<long>(got));
      continue;
    }
    const int sslError = SSL_get_error(ssl_.get(), 0);
    if (sslError == SSL_ERROR_WANT_READ) {
      // A TCP end without close notify counts as the end of the data too: it is how
      // many clients finish.
      if (socketEof_) {
        peerFinished_ = true;
      } else {
        receiveWantsRead_ = true;
      }
      break;
    }
    if (sslError == SSL_ERROR_ZERO_RETURN) {
      peerFinished_ = true;
      break;
    }
    error = describeTlsError(sslError, "TLS receive failed");
    break;
  }
  if (!error && !peerFinished_ && pending.data.size() < std::max<std::size_t>(pending.minimum, 1)) return;

  PendingReceive done = std::move(*receive_);
  receive_.reset();
  receiveWantsRead_ = false;
  asio::post(context_, [&logger = logger_, completion = std::move(done.completion), data = std::move(done.data),
                        complete = peerFinished_ && !error, error]() mutable {
    invokeGuarded(logger, "receive completion", completion, std::move(data), complete, error);
  });
  if (error) fail(*error, true);
}

void TlsSession::flushOutput() {
  if (writeInFlight_ || phase_ == Phase::closed) return;
  const std::size_t pending = networkOut_ != nullptr ? BIO_ctrl_pending(networkOut_) : 0;
  if (pending == 0) {
    // Sends of no bytes complete once everything before them is written.
    completeSends(encryptedCompletions_, std::nullopt);
    if (phase_ == Phase::closing) finishClosing();
    return;
  }
  outgoing_.resize(pending);
  const int read = BIO_read(networkOut_, outgoing_.data(), static_cast<int>(pending));
  outgoing_.resize(read > 0 ? static_cast<std::size_t>(read) : 0);
  writingCompletions_ = std::move(encryptedCompletions_);
  encryptedCompletions_.clear();
  writeInFlight_ = true;
  asio::async_write(socket_, asio::buffer(outgoing_),
                    [self = shared_from_this()](const std::error_code& error, std::size_t) { self->onWritten(error); });
}

void TlsSession::onWritten(const std::error_code& error) {
  writeInFlight_ = false;
  std::vector<Connection::SendCompletion> completions = std::move(writingCompletions_);
  writingCompletions_.clear();
  if (error) {
    const std::string text = error == asio::error::operation_aborted ? endError_ : error.message();
    completeSends(completions, text.empty() ? cancelledText() : text);
    if (phase_ == Phase::closing || phase_ == Phase::closed) {
      closeNow();
    } else {
      fail(text, false);
    }
    return;
  }
  completeSends(completions, std::nullopt);
  advance();
}

void TlsSession::requestRead() {
  if (readInFlight_ || socketEof_) return;
  const bool wanted = (phase_ == Phase::idle && watching_ && !finished_ && early_.size() < kEarlyLimit) ||
                      (phase_ == Phase::handshaking && handshakeWantsRead_) ||
                      (phase_ == Phase::ready && receive_ && receiveWantsRead_) ||
                      (phase_ == Phase::closing && draining_);
  if (!wanted) return;
  readInFlight_ = true;
  socket_.async_read_some(asio::buffer(socketBuffer_),
                          [self = shared_from_this()](const std::error_code& error, std::size_t length) {
                            self->onRead(error, length);
                          });
}

void TlsSession::onRead(const std::error_code& error, std::size_t length) {
  readInFlight_ = false;
  if (phase_ == Phase::closed) return;
  if (phase_ == Phase::idle) {
    // Not started yet: keep what came for the handshake, and end at once when the peer
    // has gone, so that a connection waiting for its turn holds nothing for nobody.
    if (finished_ || error == asio::error::operation_aborted) return;
    if (error == asio::error::eof) {
      fail("connection closed by the peer before the handshake", false);
    } else if (error) {
      fail(error.message(), false);
    } else {
      noteReceived(socketBuffer_.data(), length);
      early_.insert(early_.end(), socketBuffer_.begin(), socketBuffer_.begin() + static_cast<long>(length));
      requestRead();
    }
    return;
  }
  if (phase_ == Phase::closing) {
    // Whatever the peer still sends is of no use now; wait for its end.
    if (error && error != asio::error::eof) {
      closeNow();
      return;
    }
    if (error) socketEof_ = true;
    advance();
    return;
  }
  if (error == asio::error::eof) {
    socketEof_ = true;
  } else if (error) {
    // A server that resets a connection it never answered turned it away, like a close.
    const bool turnedAway = role_ == TlsRole::client && phase_ == Phase::handshaking && !peerSpoke_ &&
                            error == asio::error::connection_reset;
    fail(turnedAway ? std::string(kHandshakeClosedBeforeHello) + " (" + error.message() + ")" : error.message(), false);
    return;
  } else {
    if (length > 0) peerSpoke_ = true;
    if (phase_ == Phase::handshaking) noteReceived(socketBuffer_.data(), length);
    BIO_write(networkIn_, socketBuffer_.data(), static_cast<int>(length));
  }
  advance();
}

void TlsSession::noteReceived(const std::uint8_t* data, std::size_t length) {
  if (beyondFirstRecord_.load(std::memory_order_relaxed)) return;
  // The record header: type, version (2 bytes), length (2 bytes).
  for (std::size_t i = 0; i < length && receivedBeforeReady_ + i < firstHeader_.size(); ++i) {
    firstHeader_[receivedBeforeReady_ + i] = data[i];
  }
  receivedBeforeReady_ += length;
  if (receivedBeforeReady_ < firstHeader_.size()) return;
  const std::size_t recordLength = std::size_t{firstHeader_[3]} << 8 | firstHeader_[4];
  const std::size_t firstRecordEnd = firstHeader_.size() + recordLength;
  if (receivedBeforeReady_ >= firstRecordEnd) firstRecordArrived_.store(true, std::memory_order_relaxed);
  if (receivedBeforeReady_ > firstRecordEnd) beyondFirstRecord_.store(true, std::memory_order_relaxed);
}

void TlsSession::receive(std::size_t minimum, std::size_t maximum, Connection::ReceiveCompletion completion) {
  if (!completion) return;
  auto answerNow = [this, &completion](std::string error) {
    asio::post(context_, [&logger = logger_, completion = std::move(completion), error = std::move(error)]() mutable {
      invokeGuarded(logger, "receive completion", completion, Bytes{}, false, std::optional<std::string>(error));
    });
  };
  if (receive_) {
    answerNow("a receive is already pending");
    return;
  }
  if (finished_) {
    answerNow(endError_);
    return;
  }
  maximum = std::max<std::size_t>(maximum, 1);
  receive_ = PendingReceive{.minimum = std::min(minimum, maximum), .maximum = maximum,
                            .completion = std::move(completion)};
  advance();
}

void TlsSession::send(Bytes data, Connection::SendCompletion completion) {
  if (finished_) {
    std::vector<Connection::SendCompletion> one;
    if (completion) one.push_back(std::move(completion));
    completeSends(one, endError_);
    return;
  }
  sendQueue_.push_back({.data = std::move(data), .offset = 0, .completion = std::move(completion)});
  advance();
}

void TlsSession::cancel() {
  if (finished_) return;
  finished_ = true;
  endError_ = cancelledText();
  failPending(endError_);
  reportState({.kind = ConnectionStateKind::cancelled});
  if (phase_ == Phase::ready) {
    closeGracefully(true);
  } else if (phase_ != Phase::closing) {
    closeNow();
  }
}

void TlsSession::abandon() {
  stateHandler_ = {};
  cancel();
}

void TlsSession::releaseHandlers() {
  stateHandler_ = {};
  receive_.reset();
  sendQueue_.clear();
  encryptedCompletions_.clear();
  writingCompletions_.clear();
}

void TlsSession::fail(const std::string& description, bool flushFirst) {
  if (finished_) {
    if (!flushFirst) closeNow();
    return;
  }
  finished_ = true;
  endError_ = description;
  failPending(description);
  reportState({.kind = ConnectionStateKind::failed, .error = description});
  if (flushFirst && ssl_) {
    closeGracefully(false);
  } else {
    closeNow();
  }
}

void TlsSession::failPending(const std::string& description) {
  if (receive_) {
    PendingReceive done = std::move(*receive_);
    receive_.reset();
    asio::post(context_, [&logger = logger_, completion = std::move(done.completion), data = std::move(done.data),
                          description]() mutable {
      invokeGuarded(logger, "receive completion", completion, std::move(data), false,
                    std::optional<std::string>(description));
    });
  }
  std::vector<Connection::SendCompletion> queued;
  for (PendingSend& entry : sendQueue_) {
    if (entry.completion) queued.push_back(std::move(entry.completion));
  }
  sendQueue_.clear();
  completeSends(queued, description);
}

void TlsSession::closeGracefully(bool sendCloseNotify) {
  phase_ = Phase::closing;
  if (sendCloseNotify && ssl_ && SSL_is_init_finished(ssl_.get())) {
    ERR_clear_error();
    SSL_shutdown(ssl_.get());  // puts close notify into networkOut_; the peer's answer is not awaited
    ERR_clear_error();
  }
  closeTimer_.expires_after(kCloseTimeout);
  closeTimer_.async_wait([self = shared_from_this()](const std::error_code& error) {
    if (!error) self->closeNow();
  });
  advance();
}

// Everything is written: shut our side, then read until the peer's end so that our close
// never turns into a reset that could destroy bytes the peer has not read yet.
void TlsSession::finishClosing() {
  if (!draining_) {
    draining_ = true;
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  }
  if (socketEof_) {
    closeNow();
    return;
  }
  requestRead();
}

void TlsSession::closeNow() {
  if (phase_ == Phase::closed) return;
  phase_ = Phase::closed;
  draining_ = false;
  closeTimer_.cancel();
  if (resolver_) resolver_->cancel();
  std::error_code ignored;
  socket_.close(ignored);
  // Bytes still in networkOut_ will never be written.
  completeSends(encryptedCompletions_, endError_.empty() ? cancelledText() : endError_);
}

void TlsSession::reportState(ConnectionState state) {
  asio::post(context_, [self = shared_from_this(), state = std::move(state)] {
    Connection::StateHandler handler = self->stateHandler_;
    if (isFinal(state.kind)) self->stateHandler_ = {};
    if (handler) invokeGuarded(self->logger_, "connection state handler", handler, state);
  });
}

void TlsSession::completeSends(std::vector<Connection::SendCompletion>& completions,
                               const std::optional<std::string>& error) {
  for (Connection::SendCompletion& completion : completions) {
    asio::post(context_, [&logger = logger_, completion = std::move(completion), error]() mutable {
      invokeGuarded(logger, "send completion", completion, error);
    });
  }
  completions.clear();
}

std::string TlsSession::describeTlsError(int sslError, const char* what) {
  std::string reason = takeOpenSslError();
  if (reason.empty()) {
    reason = sslError == SSL_ERROR_SYSCALL ? "connection closed by the peer" : "TLS error " + std::to_string(sslError);
  }
  return std::string(what) + ": " + reason;
}

}  // namespace orvo::platform
