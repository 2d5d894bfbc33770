// orvo-host: the host without a window (`--headless`), and `orvo-host ctl COMMAND`, which
// drives a running host over its control socket.
#include <asio/signal_set.hpp>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/ControlSocket.h"
#include "app/HostCommands.h"
#include "app/HostRuntime.h"
#include "core/Log.h"

namespace {

constexpr const char* kUsage =
    "usage: orvo-host [--headless]     run the host (this build has no control panel, so it always runs headless)\n"
    "       orvo-host ctl COMMAND      drive the running host (orvo-host ctl help lists the commands)\n";

int runCtl(const std::vector<std::string>& args) {
  if (args.empty() || args[0] == "help" || args[0] == "--help") {
    std::cout << orvo::HostCommands::usage();
    return args.empty() ? 2 : 0;
  }
  const auto reply = orvo::sendControlRequest(orvo::controlSocketPath(), args);
  if (!reply.result) {
    std::cerr << "orvo-host ctl: " << reply.error << "\n";
    return 1;
  }
  (reply.result->exitCode == 0 ? std::cout : std::cerr) << reply.result->output << std::flush;
  return reply.result->exitCode;
}

int serve(orvo::HostRuntime& runtime, orvo::Logger& logger) {
  auto& host = runtime.host();

  orvo::HostCommands commands(host, runtime.activation(), runtime.clock());
  orvo::ControlServer control(runtime.context(), orvo::controlSocketPath(),
                              [&](const std::vector<std::string>& args) { return commands.execute(args); }, logger);
  if (auto error = control.start()) {
    std::cerr << "orvo-host: " << *error << "\n";
    return 1;
  }

  // The code a user types on the client, at start and after every regeneration.
  auto pinLine = host.pairingPIN().subscribe([&](const std::string& pin) {
    orvo::logLine(logger, "Pairing code: " + pin + " (valid until " +
                              orvo::formatTimestamp(*host.pairingPinExpiresAt()) + ")");
  });

  asio::signal_set signals(runtime.context(), SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code& error, int) {
    if (error) return;
    orvo::logLine(logger, "OrvoHost: stopping");
    pinLine.cancel();
    control.stop();
    runtime.stop();
  });
  runtime.run();
  control.stop();
  return 0;
}

int runHost() {
  orvo::StdoutLogger logger;
  orvo::HostRuntime::Options options;
  if (const char* bind = std::getenv("ORVO_BIND_ADDRESS"); bind && *bind) options.bindAddress = bind;
  std::unique_ptr<orvo::HostRuntime> runtime;
  try {
    runtime = std::make_unique<orvo::HostRuntime>(logger, options);
  } catch (const std::runtime_error& error) {  // unreadable stores, an unsafe fallback directory
    std::cerr << "orvo-host: cannot start: " << error.what() << "\n";
    return 1;
  }
  return serve(*runtime, logger);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "ctl") return runCtl({args.begin() + 1, args.end()});
  if (args.empty() || (args.size() == 1 && args[0] == "--headless")) return runHost();
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  std::cerr << kUsage;
  return 2;
}
