#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace orvo::testing {

// A tiny HTTP/1.1 server on 127.0.0.1 (a real socket on a free port) for tests: GET of a
// path answers the response set for it, anything else 404. One connection at a time,
// closed after each answer. Stopped and joined when the object goes.
class LocalHttpServer {
 public:
  LocalHttpServer();
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT" + path.
  std::string url(const std::string& path) const;

  void serve(const std::string& path, std::string body, int status = 200);
  // Requests received for the path so far.
  int requests(const std::string& path) const;

 private:
  struct Response {
    int status;
    std::string body;
  };
  void run();
  void answer(int connection);

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::map<std::string, Response> responses_;
  std::map<std::string, int> requests_;
  std::thread thread_;
};

}  // namespace orvo::testing
