#include "BlockingTlsClient.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace orvo::platform::nettest {

BlockingTlsClient::BlockingTlsClient(std::uint16_t port, const TlsParameters& parameters) {
  std::string error;
  tls_ = TlsContext::make(TlsRole::client, parameters, error);
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval timeout{.tv_sec = 5, .tv_usec = 0};
  ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!tls_ || ::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return;
  ssl_ = tls_->newSsl();
  if (ssl_) SSL_set_fd(ssl_.get(), socket_);
}

BlockingTlsClient::~BlockingTlsClient() { drop(); }

bool BlockingTlsClient::handshake() { return ssl_ && SSL_connect(ssl_.get()) == 1; }

bool BlockingTlsClient::write(const Bytes& data) {
  std::size_t written = 0;
  return ssl_ && SSL_write_ex(ssl_.get(), data.data(), data.size(), &written) == 1 && written == data.size();
}

Bytes BlockingTlsClient::readToEnd(bool& closeNotify) {
  closeNotify = false;
  Bytes data;
  if (!ssl_) return data;
  std::uint8_t buffer[16384];
  for (;;) {
    std::size_t got = 0;
    if (SSL_read_ex(ssl_.get(), buffer, sizeof buffer, &got) == 1) {
      data.insert(data.end(), buffer, buffer + got);
      continue;
    }
    closeNotify = SSL_get_error(ssl_.get(), 0) == SSL_ERROR_ZERO_RETURN;
    return data;
  }
}

void BlockingTlsClient::drop() {
  ssl_.reset();
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
}

}  // namespace orvo::platform::nettest
