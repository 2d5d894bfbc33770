#pragma once

#include <asio/signal_set.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/ControlSocket.h"
#include "app/HostCommands.h"
#include "app/HostRuntime.h"

namespace orvo {

// The running host as `orvo-host` starts it: the runtime, the `ctl` control socket, and
// the log line of each new pairing code. Built, run and destroyed on one thread, the one
// that runs the host's main queue (the main thread when headless, a thread of its own
// beside the control panel).
class HostService {
 public:
  // `onTerminate` runs on the main queue when SIGINT or SIGTERM arrives.
  HostService(Logger& logger, std::function<void()> onTerminate);
  ~HostService();
  HostService(const HostService&) = delete;
  HostService& operator=(const HostService&) = delete;

  // Opens the control socket; fails when another host already answers there.
  std::optional<std::string> start();
  // Runs the main queue until stop() lets it finish.
  void run();
  // Main queue: withdraws the advertisements, closes everything and lets run() return.
  void stop();

  HostRuntime& runtime() { return runtime_; }

 private:
  Logger& logger_;
  HostRuntime runtime_;
  HostCommands commands_;
  ControlServer control_;
  Subscription pinLine_;
  std::function<void()> onTerminate_;
  asio::signal_set signals_;
};

}  // namespace orvo
