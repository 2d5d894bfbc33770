// orvo-host: the host with its control panel when a display is present, the host without
// a window (`--headless`), and `orvo-host ctl COMMAND`, which drives a running host over
// its control socket.
#include <cstdlib>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/BuildConfig.h"
#include "app/ControlSocket.h"
#include "app/HostCommands.h"
#include "app/HostService.h"
#include "app/PanelMain.h"
#include "core/Log.h"

namespace {

constexpr const char* kUsage =
    "usage: orvo-host                  run the host with its control panel (headless when there is no display)\n"
    "       orvo-host --headless       run the host without a window\n"
    "       orvo-host ctl COMMAND      drive the running host (orvo-host ctl help lists the commands)\n"
    "       orvo-host --version        print the version\n";

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

int runHost() {
  orvo::StdoutLogger logger;
  std::unique_ptr<orvo::HostService> service;
  try {
    service = std::make_unique<orvo::HostService>(logger, [&] { service->stop(); });
  } catch (const std::runtime_error& error) {  // unreadable stores, an unsafe fallback directory
    std::cerr << "orvo-host: cannot start: " << error.what() << "\n";
    return 1;
  }
  if (auto error = service->start()) {
    std::cerr << "orvo-host: " << *error << "\n";
    return 1;
  }
  service->run();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "ctl") return runCtl({args.begin() + 1, args.end()});
  if (args.empty() && orvo::displayIsReachable()) return orvo::runWithPanel(argc, argv);
  if (args.empty() || (args.size() == 1 && args[0] == "--headless")) return runHost();
  if (args.size() == 1 && args[0] == "--version") {
    std::cout << "orvo-host " << orvo::build::kVersion << "\n";
    return 0;
  }
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  std::cerr << kUsage;
  return 2;
}
