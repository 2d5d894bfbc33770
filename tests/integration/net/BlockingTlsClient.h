#pragma once

#include <cstdint>
#include <string>

#include "core/Bytes.h"
#include "platform/Network.h"
#include "platform/linux/net/TlsContext.h"

namespace orvo::platform::nettest {

// A plain blocking OpenSSL client over a socket descriptor, for tests that need to see
// the wire the way a simple client does (how the stream ended, bytes left unread).
// Meant for a thread of its own; every read and write gives up after five seconds.
class BlockingTlsClient {
 public:
  BlockingTlsClient(std::uint16_t port, const TlsParameters& parameters);
  ~BlockingTlsClient();
  BlockingTlsClient(const BlockingTlsClient&) = delete;
  BlockingTlsClient& operator=(const BlockingTlsClient&) = delete;

  bool handshake();
  bool write(const Bytes& data);
  // Reads until the stream ends; `closeNotify` tells whether it ended with TLS close
  // notify (rather than a bare TCP end, a reset or a timeout).
  Bytes readToEnd(bool& closeNotify);
  // Closes the socket without TLS close notify.
  void drop();

 private:
  int socket_ = -1;
  std::shared_ptr<TlsContext> tls_;
  UniqueSsl ssl_;
};

}  // namespace orvo::platform::nettest
