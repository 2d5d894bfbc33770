#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace orvo::testing {

// A tiny HTTP/1.1 server on 127.0.0.1 (a real socket on a free port) for tests, plain or
// over TLS with a certificate the test made: GET of a path answers the response set for
// it (a body, a redirect, or a body sent slowly), anything else 404. One connection at a
// time, closed after each answer. Stopped and joined when the object goes.
class LocalHttpServer {
 public:
  struct Tls {
    std::string certificateFile;  // PEM, the server's certificate (with its chain)
    std::string keyFile;          // PEM, its private key
  };

  // Plain HTTP.
  LocalHttpServer();
  // HTTPS; throws std::runtime_error when the certificate or key cannot be loaded.
  explicit LocalHttpServer(const Tls& tls);
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT" + path, or https.
  std::string url(const std::string& path) const;

  void serve(const std::string& path, std::string body, int status = 200);
  // The body at about `bytesPerSecond`, in pieces of a tenth of it; stops early when the
  // client goes or the server stops.
  void serveSlowly(const std::string& path, std::string body, std::size_t bytesPerSecond);
  // A redirect to `location` (absolute).
  void redirect(const std::string& path, const std::string& location, int status = 302);
  // Requests received for the path so far.
  int requests(const std::string& path) const;

 private:
  struct Response {
    int status = 200;
    std::string body;
    std::optional<std::string> location;
    std::size_t bytesPerSecond = 0;  // 0: all at once
  };
  struct TlsState;

  void listen();
  void run();
  void answer(int connection);

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::unique_ptr<TlsState> tls_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::map<std::string, Response> responses_;
  std::map<std::string, int> requests_;
  std::thread thread_;
};

}  // namespace orvo::testing
