#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <memory>

#include "platform/Network.h"
#include "platform/linux/net/HandlerRelease.h"
#include "platform/linux/net/TlsContext.h"

namespace orvo {
class Logger;
}

namespace orvo::platform {

// The address the listeners of one network bind, shared by them: "::" (every interface,
// IPv4 too) falls back to 0.0.0.0 for good once the kernel turns IPv6 sockets down (IPv6
// disabled at boot), and the first listener to find that out says so in one log line.
class BindAddress {
 public:
  explicit BindAddress(asio::ip::address address) : address_(std::move(address)) {}
  // The address to bind now.
  asio::ip::address current() const;
  // Whether `error`, met binding `address`, means IPv6 is missing and "::" should become
  // 0.0.0.0; the first time, logs why.
  bool fallBackToIpv4(const asio::ip::address& address, const std::error_code& error, Logger& logger);

 private:
  const asio::ip::address address_;
  std::atomic<bool> ipv4Only_{false};
};

// The accept loop behind an AsioListener. Runs on the io_context's thread only; pending
// accepts and retry timers hold it (shared_from_this).
//
// start() binds the address on port 0 and listens, then reports ready, or failed with a
// description. Accepted sockets become connections that are not started yet (TCP
// established, TLS not begun, the peer's first bytes read: TlsSession::watchBeforeStart),
// with TCP_NODELAY set; they share the listener's TLS context,
// so they keep working after the listener is cancelled or replaced. An accept error
// (EMFILE, ENFILE, ENOBUFS, ...) is logged and retried after kAcceptRetryDelay, so a
// full descriptor table never makes the loop spin. cancel() closes the listening socket
// and reports cancelled, the final state, after which both handlers are released.
class ListenerCore final : public std::enable_shared_from_this<ListenerCore>, public HandlerOwner {
 public:
  static constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

  ListenerCore(asio::io_context& context, std::shared_ptr<BindAddress> bindAddress, std::uint16_t preferredPort,
               std::shared_ptr<const TlsContext> tls, Logger& logger);
  ListenerCore(const ListenerCore&) = delete;
  ListenerCore& operator=(const ListenerCore&) = delete;

  asio::io_context::executor_type executor() const { return context_.get_executor(); }
  // Safe from any thread.
  std::optional<std::uint16_t> port() const;

  void setStateHandler(Listener::StateHandler handler);
  void setNewConnectionHandler(Listener::NewConnectionHandler handler);
  void start();
  void cancel();
  // The owner let go: handlers removed, then cancelled.
  void abandon();
  void releaseHandlers() override;

 private:
  // Opens, binds and listens on `address`, on the preferred port or else any; the port,
  // or the error and the step that failed.
  std::error_code listenOn(const asio::ip::address& address, std::uint16_t& port, const char*& step);
  void accept();
  void onAccepted(const std::error_code& error, asio::ip::tcp::socket socket);
  void reportState(ListenerState state);

  asio::io_context& context_;
  std::shared_ptr<BindAddress> bindAddress_;
  std::uint16_t preferredPort_;
  std::shared_ptr<const TlsContext> tls_;
  Logger& logger_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer retryTimer_;
  std::atomic<std::uint16_t> port_{0};
  bool started_ = false;
  bool cancelled_ = false;
  Listener::StateHandler stateHandler_;
  Listener::NewConnectionHandler newConnectionHandler_;
};

// The Listener the host holds: a handle on a ListenerCore. Calls are carried to the
// io_context thread (at once when already on it); handlers run there. Dropping the last
// handle removes the handlers and cancels the listener.
class AsioListener final : public Listener {
 public:
  explicit AsioListener(std::shared_ptr<ListenerCore> core);
  ~AsioListener() override;
  AsioListener(const AsioListener&) = delete;
  AsioListener& operator=(const AsioListener&) = delete;

  void setStateHandler(StateHandler handler) override;
  void setNewConnectionHandler(NewConnectionHandler handler) override;
  void start() override;
  void cancel() override;
  std::optional<std::uint16_t> port() const override;

 private:
  const std::shared_ptr<ListenerCore> core_;
};

}  // namespace orvo::platform
