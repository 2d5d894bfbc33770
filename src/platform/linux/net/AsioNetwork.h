#pragma once

#include <asio/io_context.hpp>
#include <memory>
#include <string>

#include "platform/Network.h"

namespace orvo {
class Logger;
}

namespace orvo::platform {

class BindAddress;

// Listeners and connections speaking TLS 1.2 with pre-shared keys over TCP, on Asio and
// OpenSSL 3.
//
// Threads: `context` is the host's main queue (AsioMainQueue wraps the same io_context),
// run by one thread. Every state handler, new-connection handler, receive completion and
// send completion runs on that thread, always posted (never from inside the call that
// caused it). Connection::send() may be called from any thread; the other operations of
// listeners and connections belong on the main queue. Objects returned here may be
// dropped on any thread.
//
// Lifetime: `context` and `logger` must outlive every listener and connection made here,
// including the few seconds a cancelled connection may take to close (or until the
// io_context is destroyed, which ends everything and drops pending handlers and
// completions without calling them). The network object itself may go before them.
//
// Every receive and send completion is called exactly once, also after the connection
// failed, was cancelled or was dropped by the host (then with an error). A state handler
// is released after the final state (failed or cancelled, exactly one of them), so a
// handler may hold its own connection to keep it until then.
//
// TLS: TLS 1.2 only, the parameters' cipher suites only, no certificates, no session
// resumption. A listener answers the client's PSK identity with the secret of the key
// whose identity equals it byte for byte; an unknown identity, or an empty key set, fails
// the handshake. A client connection presents the first key of its parameters.
class AsioNetwork final : public Network {
 public:
  // `bindAddress`: numeric address the listeners bind ("0.0.0.0", "::" for all interfaces
  // with IPv4 too, "127.0.0.1"). Where the kernel has no IPv6, "::" becomes 0.0.0.0 for
  // every listener, with one log line.
  AsioNetwork(asio::io_context& context, std::string bindAddress, Logger& logger);
  AsioNetwork(const AsioNetwork&) = delete;
  AsioNetwork& operator=(const AsioNetwork&) = delete;

  // Nothing, with a description, when the bind address is not a numeric address or the
  // TLS parameters cannot be used (unknown cipher suite, none at all).
  using Network::makeListener;
  std::shared_ptr<Listener> makeListener(const TlsParameters& parameters, std::uint16_t preferredPort,
                                         std::string& error) override;
  // Unusable parameters give a connection that reports failed on start().
  std::shared_ptr<Connection> makeConnection(const std::string& host, std::uint16_t port,
                                             const TlsParameters& parameters) override;

 private:
  asio::io_context& context_;
  std::string bindAddressText_;
  std::shared_ptr<BindAddress> bindAddress_;  // parsed by the first listener
  Logger& logger_;
};

}  // namespace orvo::platform
