#include "app/HostRuntime.h"

#include <asio/steady_timer.hpp>
#include <chrono>
#include <filesystem>

#include "app/BuildConfig.h"
#include "app/DesktopChoice.h"
#include "input/RemoteInput.h"
#include "input/WindowFocus.h"
#include "platform/linux/stores/StandardPaths.h"
#include "streaming/SnapshotPump.h"
#include "streaming/WindowCatalogue.h"
#include "updates/AppcastUpdaterEngine.h"
#include "updates/OrvoUpdaterController.h"

namespace orvo {

using platform::dbus::SdBusConnection;

namespace {

DesktopChoice chosenDesktop() {
  std::string error;
  auto choice = chooseDesktop(error);
  if (!choice) throw HostStartError(error);
  return *choice;
}

}  // namespace

HostRuntime::HostRuntime(Logger& logger, Options options)
    : logger_(logger),
      work_(context_.get_executor()),
      main_(context_, logger),
      settings_(platform::FileSettingsStore::defaultPath(), logger),
      secrets_(platform::FileSecretStore::defaultRoot(), logger),
      network_(context_, options.bindAddress, logger),
      discovery_(context_, logger),
      systemBus_(SdBusConnection::open(context_, SdBusConnection::Kind::system, logger, systemBusError_,
                                       SdBusConnection::Reconnect::withBackOff)),
      sessionBus_(SdBusConnection::open(context_, SdBusConnection::Kind::session, logger, sessionBusError_)),
      environmentBus_(sessionBus_ ? SdBusConnection::open(context_, SdBusConnection::Kind::session, logger,
                                                          sessionBusError_, SdBusConnection::Reconnect::withBackOff)
                                  : nullptr),
      desktop_(makeDesktop(chosenDesktop(), DesktopServices{context_, logger, main_, clock_, settings_, sessionBus_,
                                                            options.trackWindowChanges})),
      powerEvents_(systemBus_, environmentBus_, logger),
      logindInhibitor_(systemBus_, logger),
      screenSaverInhibitor_(environmentBus_, logger),
      awake_({&logindInhibitor_, &desktop_->displaySleepInhibitor(), &screenSaverInhibitor_}),
      autostart_(platform::XdgAutostartEntry::forCurrentUser()),
      launchAtLogin_(autostart_),
      queues_(logger, 3),
      updateWorkers_(logger, 1),
      updateQueue_(updateWorkers_.makeSerialQueue("orvo.updates", QueuePriority::unspecified)),
      http_(main_, *updateQueue_,
            {.userAgent = std::string("orvo-host/") + build::kVersion,
             .allowLoopbackHttp = build::kUpdatesAllowLoopbackHttp}),
      installer_(platform::XdgOpenPackageInstaller::hasDesktopSession()) {
  // Starting on stores that exist but cannot be read would replace what they hold.
  if (const auto& error = settings_.loadError()) throw HostStartError(*error);
  if (const auto error = secrets_.checkReadable()) throw HostStartError(*error);
  host_ = OrvoHost::create(OrvoHostServices{main_, queues_, clock_, logger_, random_, settings_, secrets_, hostInfo_,
                                            network_, discovery_, desktop_->activation(), awake_, collator_, powerEvents_});
  const auto queues = host_->queues();
  auto& desktop = *desktop_;
  catalogue_ = std::make_unique<WindowCatalogue>(desktop.windowServer(), *host_, main_, clock_, logger_);
  captureCatalogue_ = std::make_unique<WindowCatalogue>(desktop.captureWindowServer(), *host_, main_, clock_, logger_);
  focus_ = std::make_unique<WindowFocus>(*host_, *catalogue_, desktop.frameWindowServer(), desktop.activation(),
                                         queues.focusState, main_, clock_, logger_);
  pump_ = std::make_unique<SnapshotPump>(*host_, queues, main_, clock_, logger_, *captureCatalogue_, *focus_,
                                         desktop.capturer());
  input_ = std::make_unique<RemoteInput>(*host_, *focus_, *catalogue_, *pump_, desktop.injector(),
                                         queues.clickTracking, main_, clock_, logger_);
  host_->attachHandlers({catalogue_.get(), pump_.get(), focus_.get(), input_.get()});
  remoteControlWatch_ = host_->remoteControlAllowed().subscribe(
      [this](const bool& allowed) { desktop_->setRemoteInputWanted(allowed); });
  if (auto* sharing = desktop.sharing()) {
    sharedWindowsWatch_ = sharing->sharedWindows().subscribe([this](const auto&) {
      if (host_->hasConnection()) catalogue_->handleWindowListRequest();
    });
  }
  if (!environmentBus_) {
    logLine(logger_, "OrvoHost: no session bus (" + sessionBusError_ +
                         "): the desktop's screen saver service is not used");
  }
  // After the host subscribed: a screen already locked at start reaches its handler.
  powerEvents_.start(systemBusError_);

  auto engine = std::make_unique<AppcastUpdaterEngine>(
      AppcastUpdaterEngine::Services{main_, logger_, settings_, http_, verifier_, packageReader_, installer_, *updateQueue_},
      AppcastUpdaterEngine::Config{
          .currentVersion = build::kVersion,
          .builtInFeedURL = build::kUpdateFeedURL,
          .publicKey = build::kUpdatePublicKey,
          .downloadDirectory = std::filesystem::path(platform::linux_paths::cacheHome()) / "orvo-host" / "updates",
      });
  updater_ = OrvoUpdaterController::create(std::move(engine), main_);
  desktop.start();
}

HostRuntime::~HostRuntime() {
  // A transfer under way is aborted; its result is dropped.
  http_.cancelAll();
  updateWorkers_.join();
  // Queued work refers to the streaming and input parts: finish it before they go.
  host_->attachHandlers({});
  queues_.join();
}

void HostRuntime::run() { context_.run(); }

void HostRuntime::stop() {
  if (stopping_) return;
  stopping_ = true;
  host_->shutdown();
  desktop_->stop();
  // Let TLS close notifies and the advertisement withdrawal go out, then stop for good.
  work_.reset();
  auto deadline = std::make_shared<asio::steady_timer>(context_, std::chrono::seconds(2));
  deadline->async_wait([this, deadline](const std::error_code& error) {
    if (!error) context_.stop();
  });
}

}  // namespace orvo
