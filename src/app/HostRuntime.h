#pragma once

#include <asio/io_context.hpp>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/AsioQueues.h"
#include "core/Clock.h"
#include "core/Coding.h"
#include "environment/HostAwakeController.h"
#include "environment/LaunchAtLoginManager.h"
#include "core/Published.h"
#include "platform/DesktopBackend.h"
#include "host/OrvoHost.h"
#include "pairing/NameCollator.h"
#include "platform/linux/avahi/AvahiServiceDiscovery.h"
#include "platform/linux/dbus/BusSleepInhibitors.h"
#include "platform/linux/dbus/LogindPowerLockEvents.h"
#include "platform/linux/desktop/XdgAutostartEntry.h"
#include "platform/linux/net/AsioNetwork.h"
#include "platform/linux/stores/FileSecretStore.h"
#include "platform/linux/stores/FileSettingsStore.h"
#include "platform/linux/stores/LinuxHostInfo.h"
#include "platform/linux/updates/CurlHttpClient.h"
#include "platform/linux/updates/DpkgDebPackageReader.h"
#include "platform/linux/updates/SodiumUpdateVerifier.h"
#include "platform/linux/updates/XdgOpenPackageInstaller.h"

namespace orvo {

class WindowCatalogue;
class WindowFocus;
class SnapshotPump;
class RemoteInput;
class OrvoUpdaterController;

// The host cannot start without losing stored state (unreadable settings or secrets).
class HostStartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The whole host on the real platform: the main queue on an io_context run by the calling
// thread, the serial queues on a small pool, the stores under the XDG directories, TLS
// listeners, Avahi, the desktop (chosen at start, see DesktopChoice: the X display of
// $DISPLAY, or a Wayland desktop through its portal), logind and the desktop's screen saver service
// over the system and session buses (sleep, lock, sleep prevention), launch at login
// through XDG autostart, and the updater (its transfers on a worker thread of their own).
// Built, run and destroyed on one thread.
class HostRuntime {
 public:
  struct Options {
    // Listeners bind here: all interfaces by default; tests use "127.0.0.1".
    std::string bindAddress = "::";
    // Frames from the windows' changes (XDamage); off, every frame is captured whole.
    bool trackWindowChanges = true;
  };

  // Throws HostStartError when the stored settings or secrets exist but cannot be read.
  HostRuntime(Logger& logger, Options options);
  ~HostRuntime();
  HostRuntime(const HostRuntime&) = delete;
  HostRuntime& operator=(const HostRuntime&) = delete;

  asio::io_context& context() { return context_; }
  OrvoHost& host() { return *host_; }
  MainQueue& mainQueue() { return main_; }
  OrvoUpdaterController& updater() { return *updater_; }
  platform::WindowActivation& activation() { return desktop_->activation(); }
  platform::DesktopBackend& desktop() { return *desktop_; }
  LaunchAtLoginManager& launchAtLogin() { return launchAtLogin_; }
  const Clock& clock() const { return clock_; }

  // Runs the main queue until stop() lets it finish.
  void run();
  // Orderly stop: the host withdraws its advertisements and closes its listeners and
  // connection; the main queue then finishes what is left (at most about two seconds).
  void stop();

 private:
  Logger& logger_;
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  AsioMainQueue main_;
  SystemClock clock_;
  OpenSslRandom random_;
  platform::FileSettingsStore settings_;
  platform::FileSecretStore secrets_;
  platform::LinuxHostInfo hostInfo_;
  NameCollator collator_;
  platform::AsioNetwork network_;
  platform::AvahiServiceDiscovery discovery_;
  // Sleep, wake, lock and unlock; sleep prevention (logind, X screen saver, desktop screen
  // saver). A bus that is missing at start is null; what needs it then does nothing. The
  // system bus and the environment's session connection (screen saver) connect again
  // after a loss; the desktop's own session connection (portal sessions, which end with
  // it) does not.
  std::string systemBusError_;
  std::string sessionBusError_;
  std::shared_ptr<platform::dbus::SdBusConnection> systemBus_;
  std::shared_ptr<platform::dbus::SdBusConnection> sessionBus_;
  std::shared_ptr<platform::dbus::SdBusConnection> environmentBus_;
  // Window list, capture, input and activation of the desktop served.
  std::unique_ptr<platform::DesktopBackend> desktop_;
  platform::dbus::LogindPowerLockEvents powerEvents_;
  platform::dbus::LogindSleepInhibitor logindInhibitor_;
  platform::dbus::ScreenSaverInhibitor screenSaverInhibitor_;
  HostAwakeController awake_;
  platform::XdgAutostartEntry autostart_;
  LaunchAtLoginManager launchAtLogin_;
  AsioQueueFactory queues_;
  std::shared_ptr<OrvoHost> host_;
  std::unique_ptr<WindowCatalogue> catalogue_;
  std::unique_ptr<WindowCatalogue> captureCatalogue_;  // bounds for the snapshot pump
  std::unique_ptr<WindowFocus> focus_;
  std::unique_ptr<SnapshotPump> pump_;
  std::unique_ptr<RemoteInput> input_;
  // A change of the windows the person shares reaches the client as a new list.
  Subscription sharedWindowsWatch_;
  // The desktop learns whether remote input is wanted (a portal asks for it then).
  Subscription remoteControlWatch_;
  AsioQueueFactory updateWorkers_;
  std::unique_ptr<SerialQueue> updateQueue_;
  platform::CurlHttpClient http_;
  platform::SodiumUpdateVerifier verifier_;
  platform::DpkgDebPackageReader packageReader_;
  platform::XdgOpenPackageInstaller installer_;
  std::shared_ptr<OrvoUpdaterController> updater_;
  bool stopping_ = false;
};

}  // namespace orvo
