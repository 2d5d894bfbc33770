#include "support/LocalHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace orvo::testing {

struct LocalHttpServer::TlsState {
  SSL_CTX* context = nullptr;
  ~TlsState() { SSL_CTX_free(context); }
};

namespace {

// One accepted connection, plain or TLS; reads and writes wait at most five seconds.
class Stream {
 public:
  Stream(int fd, SSL_CTX* tls) : fd_(fd) {
    timeval limit{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (!tls) return;
    ssl_ = SSL_new(tls);
    SSL_set_fd(ssl_, fd_);
    // A client that refuses the certificate ends here.
    if (SSL_accept(ssl_) != 1) failed_ = true;
  }
  ~Stream() {
    if (ssl_) {
      if (!failed_) SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
    ERR_clear_error();
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  bool ok() const { return !failed_; }
  long read(char* data, std::size_t size) {
    if (ssl_) return SSL_read(ssl_, data, static_cast<int>(size));
    return ::recv(fd_, data, size, 0);
  }
  bool writeAll(const char* data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
      const long n = ssl_ ? SSL_write(ssl_, data + sent, static_cast<int>(size - sent))
                          : ::send(fd_, data + sent, size - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        failed_ = true;
        return false;
      }
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
  SSL* ssl_ = nullptr;
  bool failed_ = false;
};

}  // namespace

LocalHttpServer::LocalHttpServer() { listen(); }

LocalHttpServer::LocalHttpServer(const Tls& tls) : tls_(std::make_unique<TlsState>()) {
  tls_->context = SSL_CTX_new(TLS_server_method());
  if (!tls_->context || SSL_CTX_use_certificate_chain_file(tls_->context, tls.certificateFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(tls_->context, tls.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    ERR_clear_error();
    throw std::runtime_error("LocalHttpServer: cannot load " + tls.certificateFile + " and " + tls.keyFile);
  }
  listen();
}

void LocalHttpServer::listen() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("LocalHttpServer: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { run(); });
}

LocalHttpServer::~LocalHttpServer() {
  stopping_ = true;
  thread_.join();
  ::close(listener_);
}

std::string LocalHttpServer::url(const std::string& path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

void LocalHttpServer::serve(const std::string& path, std::string body, int status) {
  std::lock_guard lock(mutex_);
  responses_[path] = Response{.status = status, .body = std::move(body)};
}

void LocalHttpServer::serveSlowly(const std::string& path, std::string body, std::size_t bytesPerSecond) {
  std::lock_guard lock(mutex_);
  responses_[path] = Response{.status = 200, .body = std::move(body), .bytesPerSecond = bytesPerSecond};
}

void LocalHttpServer::redirect(const std::string& path, const std::string& location, int status) {
  std::lock_guard lock(mutex_);
  responses_[path] = Response{.status = status, .body = "moved", .location = location};
}

int LocalHttpServer::requests(const std::string& path) const {
  std::lock_guard lock(mutex_);
  const auto found = requests_.find(path);
  return found == requests_.end() ? 0 : found->second;
}

void LocalHttpServer::run() {
  // A client that goes in the middle of a TLS answer must not end the test with SIGPIPE
  // (OpenSSL writes with write(), not send(MSG_NOSIGNAL)): blocked in this thread, the
  // write fails with EPIPE instead.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  while (!stopping_) {
    pollfd ready{listener_, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    answer(connection);
    ::close(connection);
  }
}

void LocalHttpServer::answer(int connection) {
  Stream stream(connection, tls_ ? tls_->context : nullptr);
  if (!stream.ok()) return;
  std::string request;
  char chunk[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    const long n = stream.read(chunk, sizeof chunk);
    if (n <= 0) return;
    request.append(chunk, static_cast<std::size_t>(n));
  }
  // "GET /path HTTP/1.1"
  const auto firstSpace = request.find(' ');
  const auto secondSpace = request.find(' ', firstSpace + 1);
  const std::string method = request.substr(0, firstSpace);
  const std::string path = request.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  Response response{.status = 404, .body = "not found"};
  {
    std::lock_guard lock(mutex_);
    ++requests_[path];
    if (const auto found = responses_.find(path); method == "GET" && found != responses_.end()) response = found->second;
  }
  std::string head = "HTTP/1.1 " + std::to_string(response.status) + " Status\r\nContent-Length: " +
                     std::to_string(response.body.size()) + "\r\n";
  if (response.location) head += "Location: " + *response.location + "\r\n";
  head += "Connection: close\r\n\r\n";
  if (response.bytesPerSecond == 0) {
    stream.writeAll((head + response.body).data(), head.size() + response.body.size());
    return;
  }
  if (!stream.writeAll(head.data(), head.size())) return;
  const std::size_t piece = std::max<std::size_t>(response.bytesPerSecond / 10, 1);
  for (std::size_t at = 0; at < response.body.size() && !stopping_; at += piece) {
    if (!stream.writeAll(response.body.data() + at, std::min(piece, response.body.size() - at))) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace orvo::testing
