#pragma once

#include <asio/steady_timer.hpp>
#include <memory>
#include <optional>
#include <string>

#include "core/Log.h"
#include "platform/PowerEvents.h"
#include "platform/linux/dbus/SdBusConnection.h"

namespace orvo::platform::dbus {

// Sleep and lock as the desktop announces them, each source kept apart:
// - sleep: logind's PrepareForSleep(true/false) on the system bus and its
//   PreparingForSleep property;
// - the logind session: its Lock and Unlock signals and its LockedHint property;
// - the screen saver: org.freedesktop.ScreenSaver's ActiveChanged and GetActive on the
//   session bus, where the desktop offers it.
// The screen counts as locked while any source says locked, and while a source that was
// heard cannot be heard now: its bus was lost, or logind left the bus (the host fails
// safe: no input, no frames). When the bus is back (SdBusConnection connects again) or
// logind returns, the matches are made again and LockedHint and PreparingForSleep read
// again; until they answer the screen stays locked. A screen saver service that leaves
// the bus no longer counts (its lock went with it); one that appears is asked GetActive.
// A state already reported is not reported again; a screen locked at start counts.
//
// The session is XDG_SESSION_ID's when set, else the one of this process, else (a systemd
// user service has none) the user's graphical session, logind's Display of the user.
// Without a system bus, logind or a session at start, start() logs one line saying which
// and those sources are not watched; the host keeps working.
//
// Main queue: construction, start(), the handler, destruction. The connections must
// outlive this object (either may be absent); the system connection should reconnect.
class LogindPowerLockEvents final : public PowerLockEvents {
 public:
  LogindPowerLockEvents(std::shared_ptr<SdBusConnection> systemBus, std::shared_ptr<SdBusConnection> sessionBus,
                        Logger& logger);
  ~LogindPowerLockEvents() override;
  LogindPowerLockEvents(const LogindPowerLockEvents&) = delete;
  LogindPowerLockEvents& operator=(const LogindPowerLockEvents&) = delete;

  // Finds the session, installs the signal matches and reads the current states; makes a
  // few blocking calls (bounded by the bus's call timeout). `systemBusError` explains a
  // missing system bus.
  void start(const std::string& systemBusError = {});

  Subscription subscribe(Handler handler) override;

  // The logind session watched for lock and unlock, when one was found.
  const std::optional<std::string>& sessionPath() const { return sessionPath_; }

  // What one source says: not watched, not heard now, or its state.
  enum class Reading { absent, unknown, off, on };

 private:
  static int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onLockSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onPropertiesChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onScreenSaverActiveChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onLogindOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onScreenSaverOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onSleepStateRead(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onLockedHintRead(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onScreenSaverActiveRead(sd_bus_message* reply, void* userdata, sd_bus_error* error);

  // The session's object path, or nothing with the reason.
  std::optional<std::string> findSession(std::string& why, bool& logindMissing);
  // Matches on the current system connection: sleep, the session, logind's owner.
  void watchLogind();
  // PreparingForSleep and LockedHint: at start with blocking calls, later without.
  void readLogindNow();
  void readLogindLater();
  void retryLogindLater();
  void logindUnheard(const std::string& why);
  void systemBusChanged(bool connected);
  void watchScreenSaver();
  void readScreenSaverNow();
  void readScreenSaverLater();
  void sessionBusChanged(bool connected);
  // Sets a source; reports what changed in sum.
  void set(Reading& source, Reading value);
  void update();
  void deliver(PowerLockEvent event);

  std::shared_ptr<SdBusConnection> systemBus_;
  std::shared_ptr<SdBusConnection> sessionBus_;
  Logger& logger_;
  std::optional<std::string> sessionPath_;
  Reading sleep_ = Reading::absent;
  Reading sessionLock_ = Reading::absent;
  Reading screenSaver_ = Reading::absent;
  // System bus: matches and pending reads.
  SlotPtr sleepMatch_;
  SlotPtr lockMatch_;
  SlotPtr unlockMatch_;
  SlotPtr propertiesMatch_;
  SlotPtr logindOwnerMatch_;
  SlotPtr sleepStateCall_;
  SlotPtr lockedHintCall_;
  std::optional<asio::steady_timer> retryTimer_;
  double retryDelay_ = 0.5;
  bool unheardLogged_ = false;
  // Session bus.
  SlotPtr screenSaverMatch_;
  SlotPtr screenSaverOwnerMatch_;
  SlotPtr screenSaverCall_;
  Subscription systemWatch_;
  Subscription sessionWatch_;
  std::optional<bool> reportedLocked_;
  bool reportedAsleep_ = false;
  Handler handler_;
  std::shared_ptr<int> subscriptionToken_;
  // Timer work holds this weakly: it does nothing once the object is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace orvo::platform::dbus
