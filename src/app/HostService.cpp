#include "app/HostService.h"

#include <cstdlib>
#include <string_view>

#include "core/Log.h"

namespace orvo {
namespace {

HostRuntime::Options runtimeOptions() {
  HostRuntime::Options options;
  if (const char* bind = std::getenv("ORVO_BIND_ADDRESS"); bind && *bind) options.bindAddress = bind;
  // For measuring what change tracking saves (bench/e2e): every frame captured whole.
  if (const char* whole = std::getenv("ORVO_CAPTURE_WHOLE"); whole && std::string_view(whole) == "1") {
    options.trackWindowChanges = false;
  }
  return options;
}

}  // namespace

HostService::HostService(Logger& logger, std::function<void()> onTerminate)
    : logger_(logger),
      runtime_(logger, runtimeOptions()),
      commands_(runtime_.host(), runtime_.activation(), runtime_.clock()),
      control_(
          runtime_.context(), controlSocketPath(),
          [this](const std::vector<std::string>& args, std::function<void(HostCommands::Result)> reply) {
            commands_.executeAsync(args, std::move(reply));
          },
          logger),
      onTerminate_(std::move(onTerminate)),
      signals_(runtime_.context(), SIGINT, SIGTERM) {
  commands_.attachLaunchAtLogin(&runtime_.launchAtLogin());
  commands_.attachUpdater(runtime_.updater());
  commands_.attachDesktop(runtime_.desktop());
}

HostService::~HostService() { control_.stop(); }

std::optional<std::string> HostService::start() {
  if (auto error = control_.start()) return error;
  // The code a user types on the client, at start and after every regeneration.
  auto& host = runtime_.host();
  pinLine_ = host.pairingPIN().subscribe([this, &host](const std::string& pin) {
    if (*host.pairingSuspended()) return;  // it cannot pair; the suspension has its own line
    logLine(logger_, "Pairing code: " + pin + " (valid until " + formatTimestamp(*host.pairingPinExpiresAt()) + ")");
  });
  signals_.async_wait([this](const std::error_code& error, int) {
    if (!error) onTerminate_();
  });
  return std::nullopt;
}

void HostService::run() { runtime_.run(); }

void HostService::stop() {
  logLine(logger_, "OrvoHost: stopping");
  pinLine_.cancel();
  signals_.cancel();
  control_.stop();
  runtime_.stop();
}

}  // namespace orvo
