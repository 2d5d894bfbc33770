#include "platform/linux/net/AsioListener.h"

#include <asio/dispatch.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>

#include "core/Log.h"
#include "platform/linux/net/AsioConnection.h"
#include "platform/linux/net/CallbackGuard.h"
#include "platform/linux/net/EndpointText.h"
#include "platform/linux/net/TlsSession.h"

namespace orvo::platform {

asio::ip::address BindAddress::current() const {
  if (ipv4Only_.load()) return asio::ip::address_v4::any();
  return address_;
}

bool BindAddress::fallBackToIpv4(const asio::ip::address& address, const std::error_code& error, Logger& logger) {
  // Only "::" has an IPv4 equivalent; a chosen IPv6 address that fails stays a failure.
  if (!address.is_v6() || !address.is_unspecified()) return false;
  if (error != asio::error::address_family_not_supported && error != std::errc::address_not_available &&
      error != std::errc::protocol_not_supported) {
    return false;
  }
  if (!ipv4Only_.exchange(true)) {
    logLine(logger, "OrvoHost: IPv6 is not available (" + error.message() +
                        "); listening on 0.0.0.0, IPv4 only");
  }
  return true;
}

ListenerCore::ListenerCore(asio::io_context& context, std::shared_ptr<BindAddress> bindAddress, std::uint16_t preferredPort,
                           std::shared_ptr<const TlsContext> tls, Logger& logger)
    : context_(context),
      bindAddress_(std::move(bindAddress)),
      preferredPort_(preferredPort),
      tls_(std::move(tls)),
      logger_(logger),
      acceptor_(context),
      retryTimer_(context) {}

std::optional<std::uint16_t> ListenerCore::port() const {
  const std::uint16_t port = port_.load();
  if (port == 0) return std::nullopt;
  return port;
}

void ListenerCore::setStateHandler(Listener::StateHandler handler) { stateHandler_ = std::move(handler); }

void ListenerCore::setNewConnectionHandler(Listener::NewConnectionHandler handler) {
  newConnectionHandler_ = std::move(handler);
}

void ListenerCore::start() {
  if (started_ || cancelled_) return;
  started_ = true;
  asio::ip::address address = bindAddress_->current();
  std::uint16_t port = 0;
  const char* step = "open";
  std::error_code error = listenOn(address, port, step);
  if (error && bindAddress_->fallBackToIpv4(address, error, logger_)) {
    address = bindAddress_->current();
    error = listenOn(address, port, step);
  }
  if (error) {
    reportState({.kind = ListenerStateKind::failed,
                 .error = std::string("cannot ") + step + " on " + describeEndpoint(address, 0) + ": " + error.message()});
    return;
  }
  port_ = port;
  reportState({.kind = ListenerStateKind::ready});
  accept();
}

std::error_code ListenerCore::listenOn(const asio::ip::address& address, std::uint16_t& port, const char*& step) {
  std::error_code error;
  // The port of the listener this one replaces keeps clients that remember it working;
  // when it is taken, any free port will do.
  for (const std::uint16_t candidate : {preferredPort_, std::uint16_t{0}}) {
    if (error) {
      std::error_code ignored;
      acceptor_.close(ignored);
      error.clear();
    }
    const asio::ip::tcp::endpoint endpoint(address, candidate);
    step = "open";
    acceptor_.open(endpoint.protocol(), error);
    if (!error && address.is_v6()) {
      // "::" serves IPv4 clients too.
      std::error_code ignored;
      acceptor_.set_option(asio::ip::v6_only(false), ignored);
    }
    if (!error) {
      step = "bind";
      acceptor_.set_option(asio::socket_base::reuse_address(true), error);
      if (!error) acceptor_.bind(endpoint, error);
    }
    if (!error) {
      step = "listen";
      acceptor_.listen(asio::socket_base::max_listen_connections, error);
    }
    if (!error) port = acceptor_.local_endpoint(error).port();
    if (!error || candidate == 0) break;
  }
  if (error) {
    std::error_code ignored;
    acceptor_.close(ignored);
  }
  return error;
}

void ListenerCore::accept() {
  acceptor_.async_accept([self = shared_from_this()](const std::error_code& error, asio::ip::tcp::socket socket) {
    self->onAccepted(error, std::move(socket));
  });
}

void ListenerCore::onAccepted(const std::error_code& error, asio::ip::tcp::socket socket) {
  if (cancelled_ || error == asio::error::operation_aborted) return;
  if (error) {
    // Mostly a full descriptor table: the pending connection stays queued, so an
    // immediate retry would fail the same way. Wait a little.
    logLine(logger_, "OrvoHost: accept failed:", error.message());
    retryTimer_.expires_after(kAcceptRetryDelay);
    retryTimer_.async_wait([self = shared_from_this()](const std::error_code& timerError) {
      if (!timerError && !self->cancelled_) self->accept();
    });
    return;
  }
  std::error_code ignored;
  socket.set_option(asio::ip::tcp::no_delay(true), ignored);
  std::error_code endpointError;
  const asio::ip::tcp::endpoint remote = socket.remote_endpoint(endpointError);
  std::string description = endpointError ? std::string("unknown") : describeEndpoint(remote);
  auto session = TlsSession::accepted(context_, std::move(socket), tls_, std::move(description), logger_);
  session->watchBeforeStart();
  auto connection = std::make_shared<AsioConnection>(std::move(session));
  accept();
  // Without a receiver the connection goes with its last handle, which closes it.
  Listener::NewConnectionHandler handler = newConnectionHandler_;
  if (handler) invokeGuarded(logger_, "new connection handler", handler, std::move(connection));
}

void ListenerCore::cancel() {
  if (cancelled_) return;
  cancelled_ = true;
  std::error_code ignored;
  acceptor_.close(ignored);
  retryTimer_.cancel();
  reportState({.kind = ListenerStateKind::cancelled});
}

void ListenerCore::abandon() {
  releaseHandlers();
  cancel();
}

void ListenerCore::releaseHandlers() {
  stateHandler_ = {};
  newConnectionHandler_ = {};
}

void ListenerCore::reportState(ListenerState state) {
  asio::post(context_, [self = shared_from_this(), state = std::move(state)] {
    Listener::StateHandler handler = self->stateHandler_;
    if (state.kind == ListenerStateKind::cancelled) {
      self->stateHandler_ = {};
      self->newConnectionHandler_ = {};
    }
    if (handler) invokeGuarded(self->logger_, "listener state handler", handler, state);
  });
}

AsioListener::AsioListener(std::shared_ptr<ListenerCore> core) : core_(std::move(core)) {}

AsioListener::~AsioListener() {
  asio::dispatch(core_->executor(), [core = core_] { core->abandon(); });
}

void AsioListener::setStateHandler(StateHandler handler) {
  asio::dispatch(core_->executor(), [core = core_, handler = std::move(handler)]() mutable {
    core->setStateHandler(std::move(handler));
  });
}

void AsioListener::setNewConnectionHandler(NewConnectionHandler handler) {
  asio::dispatch(core_->executor(), [core = core_, handler = std::move(handler)]() mutable {
    core->setNewConnectionHandler(std::move(handler));
  });
}

void AsioListener::start() {
  asio::dispatch(core_->executor(), [core = core_] { core->start(); });
}

void AsioListener::cancel() {
  asio::dispatch(core_->executor(), [core = core_] { core->cancel(); });
}

std::optional<std::uint16_t> AsioListener::port() const { return core_->port(); }

}  // namespace orvo::platform
