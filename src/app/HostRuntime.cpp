#include "app/HostRuntime.h"

#include <asio/steady_timer.hpp>
#include <chrono>

#include "input/RemoteInput.h"
#include "input/WindowFocus.h"
#include "streaming/SnapshotPump.h"
#include "streaming/WindowCatalogue.h"

namespace orvo {

HostRuntime::HostRuntime(Logger& logger, Options options)
    : logger_(logger),
      work_(context_.get_executor()),
      main_(context_, logger),
      settings_(platform::FileSettingsStore::defaultPath(), logger),
      secrets_(platform::FileSecretStore::defaultRoot(), logger),
      network_(context_, options.bindAddress, logger),
      discovery_(context_, logger),
      mainDisplay_(logger, "", "main"),
      captureDisplay_(logger, "", "capture"),
      windowServer_(mainDisplay_),
      activation_(mainDisplay_),
      sleepInhibitor_(mainDisplay_, logger),
      capturer_(captureDisplay_, logger),
      injector_(logger, main_, clock_),
      queues_(logger, 3) {
  // Starting on stores that exist but cannot be read would replace what they hold.
  if (const auto& error = settings_.loadError()) throw HostStartError(*error);
  if (const auto error = secrets_.checkReadable()) throw HostStartError(*error);
  host_ = OrvoHost::create(OrvoHostServices{main_, queues_, clock_, logger_, random_, settings_, secrets_, hostInfo_,
                                            network_, discovery_, activation_, sleepInhibitor_, collator_});
  const auto queues = host_->queues();
  catalogue_ = std::make_unique<WindowCatalogue>(windowServer_, *host_, main_, clock_, logger_);
  focus_ = std::make_unique<WindowFocus>(*host_, *catalogue_, windowServer_, activation_, queues.focusState, main_,
                                         clock_, logger_);
  pump_ = std::make_unique<SnapshotPump>(*host_, queues, main_, clock_, logger_, *catalogue_, *focus_, capturer_);
  input_ = std::make_unique<RemoteInput>(*host_, *focus_, *catalogue_, *pump_, injector_, queues.clickTracking, main_,
                                         clock_, logger_);
  host_->attachHandlers({catalogue_.get(), pump_.get(), focus_.get(), input_.get()});
}

HostRuntime::~HostRuntime() {
  // Queued work refers to the streaming and input parts: finish it before they go.
  host_->attachHandlers({});
  queues_.join();
}

void HostRuntime::run() { context_.run(); }

void HostRuntime::stop() {
  if (stopping_) return;
  stopping_ = true;
  host_->shutdown();
  // Let TLS close notifies and the advertisement withdrawal go out, then stop for good.
  work_.reset();
  auto deadline = std::make_shared<asio::steady_timer>(context_, std::chrono::seconds(2));
  deadline->async_wait([this, deadline](const std::error_code& error) {
    if (!error) context_.stop();
  });
}

}  // namespace orvo
