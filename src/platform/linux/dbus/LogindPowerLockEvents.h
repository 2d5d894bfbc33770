#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/Log.h"
#include "platform/PowerEvents.h"
#include "platform/linux/dbus/SdBusConnection.h"

namespace orvo::platform::dbus {

// Sleep and lock as the desktop announces them:
// - will sleep / did wake: logind's PrepareForSleep(true/false) on the system bus;
// - locked / unlocked: the logind session's Lock and Unlock signals and changes of its
//   LockedHint property, and org.freedesktop.ScreenSaver ActiveChanged on the session bus
//   where the desktop offers it. A session already locked at start reports "locked".
// The same state reported again (Lock, then LockedHint true) gives one event.
//
// The session is XDG_SESSION_ID's when set, else the one of this process, else (a systemd
// user service has none) the user's graphical session, logind's Display of the user.
// Without a system bus, logind or a session, start() logs one line saying which and the
// events it cannot give are never delivered; the host keeps working.
//
// Main queue: construction, start(), the handler, destruction. The connections must
// outlive this object (either may be absent).
class LogindPowerLockEvents final : public PowerLockEvents {
 public:
  LogindPowerLockEvents(std::shared_ptr<SdBusConnection> systemBus, std::shared_ptr<SdBusConnection> sessionBus,
                        Logger& logger);
  ~LogindPowerLockEvents() override;
  LogindPowerLockEvents(const LogindPowerLockEvents&) = delete;
  LogindPowerLockEvents& operator=(const LogindPowerLockEvents&) = delete;

  // Finds the session and installs the signal matches; makes a few blocking calls (bounded
  // by the bus's call timeout). `systemBusError` explains a missing system bus.
  void start(const std::string& systemBusError = {});

  Subscription subscribe(Handler handler) override;

  // The logind session watched for lock and unlock, when one was found.
  const std::optional<std::string>& sessionPath() const { return sessionPath_; }

 private:
  static int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onLockSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onPropertiesChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onScreenSaverActiveChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);

  // The session's object path, or nothing with the reason.
  std::optional<std::string> findSession(std::string& why, bool& logindMissing);
  void reportSleep(bool asleep);
  void reportLocked(bool locked);
  void deliver(PowerLockEvent event);

  std::shared_ptr<SdBusConnection> systemBus_;
  std::shared_ptr<SdBusConnection> sessionBus_;
  Logger& logger_;
  std::optional<std::string> sessionPath_;
  SlotPtr sleepMatch_;
  SlotPtr lockMatch_;
  SlotPtr unlockMatch_;
  SlotPtr propertiesMatch_;
  SlotPtr screenSaverMatch_;
  bool asleep_ = false;
  std::optional<bool> locked_;
  Handler handler_;
  std::shared_ptr<int> subscriptionToken_;
};

}  // namespace orvo::platform::dbus
