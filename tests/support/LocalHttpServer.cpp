#include "support/LocalHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace orvo::testing {

LocalHttpServer::LocalHttpServer() {
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
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LocalHttpServer::serve(const std::string& path, std::string body, int status) {
  std::lock_guard lock(mutex_);
  responses_[path] = Response{status, std::move(body)};
}

int LocalHttpServer::requests(const std::string& path) const {
  std::lock_guard lock(mutex_);
  const auto found = requests_.find(path);
  return found == requests_.end() ? 0 : found->second;
}

void LocalHttpServer::run() {
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
  std::string request;
  char chunk[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    pollfd ready{connection, POLLIN, 0};
    if (::poll(&ready, 1, 5000) <= 0) return;
    const auto n = ::recv(connection, chunk, sizeof chunk, 0);
    if (n <= 0) return;
    request.append(chunk, static_cast<std::size_t>(n));
  }
  // "GET /path HTTP/1.1"
  const auto firstSpace = request.find(' ');
  const auto secondSpace = request.find(' ', firstSpace + 1);
  const std::string method = request.substr(0, firstSpace);
  const std::string path = request.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  Response response{404, "not found"};
  {
    std::lock_guard lock(mutex_);
    ++requests_[path];
    if (const auto found = responses_.find(path); method == "GET" && found != responses_.end()) response = found->second;
  }
  std::string reply = "HTTP/1.1 " + std::to_string(response.status) + " Status\r\nContent-Length: " +
                      std::to_string(response.body.size()) + "\r\nConnection: close\r\n\r\n" + response.body;
  std::size_t sent = 0;
  while (sent < reply.size()) {
    const auto n = ::send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

}  // namespace orvo::testing
