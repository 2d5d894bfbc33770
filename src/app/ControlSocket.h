#pragma once

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/HostCommands.h"

namespace orvo {

class Logger;

// Where the running host listens for `orvo-host ctl`: $XDG_RUNTIME_DIR/orvo-host.sock, or,
// when the runtime directory is not set, orvo-host.sock in the private directory
// linux_paths::runtimeFallbackDir() (~/.cache/orvo-host/run).
std::string controlSocketPath();

// One request per connection: a JSON line {"args":[...]} answered by one JSON line
// {"exitCode":N,"output":"..."}; then the host closes.
std::string encodeControlRequest(const std::vector<std::string>& args);
std::optional<std::vector<std::string>> decodeControlRequest(const std::string& line);
std::string encodeControlResponse(const HostCommands::Result& result);
std::optional<HostCommands::Result> decodeControlResponse(const std::string& line);

// The host's end of the control socket, on the main queue's io_context. The socket file is
// created 0600 and removed when the server stops; connections from other users are
// refused; requests are bounded in size, time and number (a request must arrive within
// 5 s; its answer, which may wait for the network, within 10 minutes); a failed accept
// (a full descriptor table) is retried after a pause instead of at once.
class ControlServer {
 public:
  // Runs one command; the answer may come later, through `reply`, on the main queue.
  using Executor =
      std::function<void(const std::vector<std::string>&, std::function<void(HostCommands::Result)> reply)>;

  ControlServer(asio::io_context& context, std::string path, Executor executor, Logger& logger);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Binds and listens. Fails (with a description) when another host already answers on the
  // path; a stale socket file is replaced.
  std::optional<std::string> start();
  void stop();
  const std::string& path() const { return path_; }

 private:
  struct Session;
  void accept();

  asio::io_context& context_;
  std::string path_;
  Executor executor_;
  Logger& logger_;
  asio::local::stream_protocol::acceptor acceptor_;
  asio::steady_timer retryTimer_;
  std::shared_ptr<int> open_ = std::make_shared<int>(0);  // counts live sessions through use_count
  bool bound_ = false;
};

// The `orvo-host ctl` side: sends one request and returns the host's answer, or an error
// text when no host answers.
struct ControlReply {
  std::optional<HostCommands::Result> result;
  std::string error;
};
ControlReply sendControlRequest(const std::string& path, const std::vector<std::string>& args);

}  // namespace orvo
