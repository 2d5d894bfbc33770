#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/Log.h"
#include "platform/HostInfo.h"
#include "platform/linux/dbus/SdBusConnection.h"

namespace orvo::platform::dbus {

// logind's inhibitor lock against idle and sleep: begin() asks logind for
// Inhibit("idle:sleep", "Orvo", reason, "block") and keeps the file descriptor it hands
// out; end() closes it, which releases the lock. The call is asynchronous: an end() before
// the answer drops the descriptor as soon as it arrives. A failure is logged once (again
// only after a success; a missing logind is not repeated here), and nothing is held.
// When the system bus comes back after a loss while the lock is wanted, it is asked for
// again (logind may have restarted with the bus); the new descriptor replaces the old.
//
// Main queue only. The connection may be absent (nothing is then taken); it must outlive
// this object. The destructor releases a held lock.
class LogindSleepInhibitor final : public SleepInhibitor {
 public:
  LogindSleepInhibitor(std::shared_ptr<SdBusConnection> systemBus, Logger& logger);
  LogindSleepInhibitor(const LogindSleepInhibitor&) = delete;
  LogindSleepInhibitor& operator=(const LogindSleepInhibitor&) = delete;

  void begin(const std::string& reason) override;
  void end() override;
  // Whether logind's lock is held now (the descriptor arrived and is open).
  bool isHeld() const { return static_cast<bool>(fd_); }

 private:
  static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  void request();
  void busChanged(bool connected);

  std::shared_ptr<SdBusConnection> bus_;
  Logger& logger_;
  // The last Inhibit call; kept (inert) after its reply, dropped by the next call or end().
  SlotPtr call_;
  bool awaiting_ = false;
  bool wanted_ = false;
  std::string reason_;
  UniqueFd fd_;
  bool failureLogged_ = false;
  Subscription busWatch_;
};

// The desktop's screen saver service on the session bus (org.freedesktop.ScreenSaver):
// begin() calls Inhibit("Orvo", reason) and keeps the cookie, end() calls UnInhibit with
// it. A desktop without the service is no failure (nothing to inhibit there); other
// failures are logged once. Asynchronous like LogindSleepInhibitor. The service drops the
// inhibition of a connection that is gone: after the bus comes back, a wanted one is asked
// for again.
//
// Main queue only. The connection may be absent; it must outlive this object.
class ScreenSaverInhibitor final : public SleepInhibitor {
 public:
  ScreenSaverInhibitor(std::shared_ptr<SdBusConnection> sessionBus, Logger& logger);
  ~ScreenSaverInhibitor() override { end(); }
  ScreenSaverInhibitor(const ScreenSaverInhibitor&) = delete;
  ScreenSaverInhibitor& operator=(const ScreenSaverInhibitor&) = delete;

  void begin(const std::string& reason) override;
  void end() override;
  bool isHeld() const { return cookie_.has_value(); }

 private:
  static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  void request();
  void unInhibit(std::uint32_t cookie);
  void busChanged(bool connected);

  std::shared_ptr<SdBusConnection> bus_;
  Logger& logger_;
  SlotPtr call_;  // as in LogindSleepInhibitor
  bool awaiting_ = false;
  bool wanted_ = false;
  std::string reason_;
  std::optional<std::uint32_t> cookie_;
  bool failureLogged_ = false;
  Subscription busWatch_;
};

}  // namespace orvo::platform::dbus
