#include "platform/linux/dbus/BusSleepInhibitors.h"

#include <fcntl.h>

#include <cstring>

namespace orvo::platform::dbus {
namespace {

constexpr const char* kWho = "Orvo";

// A reply made up by sd-bus for a call whose connection closed: no answer of the service.
bool connectionWentAway(sd_bus_message* reply) { return sd_bus_is_open(sd_bus_message_get_bus(reply)) <= 0; }

}  // namespace

LogindSleepInhibitor::LogindSleepInhibitor(std::shared_ptr<SdBusConnection> systemBus, Logger& logger)
    : bus_(std::move(systemBus)), logger_(logger) {
  if (bus_) busWatch_ = bus_->watch([this](bool connected) { busChanged(connected); });
}

void LogindSleepInhibitor::begin(const std::string& reason) {
  if (!bus_ || wanted_) return;
  wanted_ = true;
  reason_ = reason;
  if (!fd_ && !awaiting_) request();
}

void LogindSleepInhibitor::request() {
  if (!bus_->isConnected()) return;  // asked for when the bus is back
  sd_bus_slot* slot = nullptr;
  const int result = sd_bus_call_method_async(bus_->get(), &slot, "org.freedesktop.login1", "/org/freedesktop/login1",
                                              "org.freedesktop.login1.Manager", "Inhibit", onReply, this, "ssss",
                                              "idle:sleep", kWho, reason_.c_str(), "block");
  if (result < 0) {
    if (!failureLogged_) logLine(logger_, "OrvoHost: cannot ask logind to inhibit idle and sleep:", std::strerror(-result));
    failureLogged_ = true;
    return;
  }
  call_.reset(slot);
  awaiting_ = true;
  bus_->wake();
}

void LogindSleepInhibitor::end() {
  wanted_ = false;
  call_.reset();  // an answer still on its way is dropped, and its descriptor with it
  awaiting_ = false;
  fd_.reset();
}

void LogindSleepInhibitor::busChanged(bool connected) {
  call_.reset();  // made on the old connection: no answer comes
  awaiting_ = false;
  // The descriptor is kept until a new one replaces it: logind may have outlived the bus.
  if (connected && wanted_) request();
}

int LogindSleepInhibitor::onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<LogindSleepInhibitor*>(userdata);
  self.awaiting_ = false;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    // No logind: start-up has said so already. A lost bus is said by the connection.
    if (!self.failureLogged_ && !isNoOwnerError(error) && !connectionWentAway(reply)) {
      logLine(self.logger_, "OrvoHost: logind refused to inhibit idle and sleep: " + describeReplyError(reply));
      self.failureLogged_ = true;
    }
    return 0;
  }
  int fd = -1;
  if (sd_bus_message_read(reply, "h", &fd) < 0 || fd < 0) return 0;
  // The descriptor belongs to the message: keep a copy of our own.
  self.fd_.reset(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
  if (self.fd_) self.failureLogged_ = false;
  return 0;
}

ScreenSaverInhibitor::ScreenSaverInhibitor(std::shared_ptr<SdBusConnection> sessionBus, Logger& logger)
    : bus_(std::move(sessionBus)), logger_(logger) {
  if (bus_) busWatch_ = bus_->watch([this](bool connected) { busChanged(connected); });
}

void ScreenSaverInhibitor::begin(const std::string& reason) {
  if (!bus_ || wanted_) return;
  wanted_ = true;
  reason_ = reason;
  if (cookie_ || awaiting_) return;
  request();
}

void ScreenSaverInhibitor::request() {
  if (!bus_->isConnected()) return;  // asked for when the bus is back
  sd_bus_slot* slot = nullptr;
  const int result = sd_bus_call_method_async(bus_->get(), &slot, "org.freedesktop.ScreenSaver",
                                              "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "Inhibit",
                                              onReply, this, "ss", kWho, reason_.c_str());
  if (result < 0) {
    if (!failureLogged_) {
      logLine(logger_, "OrvoHost: cannot ask the desktop's screen saver to stay off:", std::strerror(-result));
    }
    failureLogged_ = true;
    return;
  }
  call_.reset(slot);
  awaiting_ = true;
  bus_->wake();
}

void ScreenSaverInhibitor::end() {
  if (!wanted_) return;
  wanted_ = false;
  // A pending Inhibit is left to arrive: its cookie is then given back at once.
  if (cookie_) unInhibit(*std::exchange(cookie_, std::nullopt));
}

void ScreenSaverInhibitor::busChanged(bool connected) {
  // The service forgets the inhibitions of a connection that is gone.
  call_.reset();
  awaiting_ = false;
  cookie_.reset();
  if (connected && wanted_) request();
}

void ScreenSaverInhibitor::unInhibit(std::uint32_t cookie) {
  if (!bus_ || !bus_->isConnected()) return;
  // Fire and forget: nothing waits for the answer.
  sd_bus_call_method_async(bus_->get(), nullptr, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                           "org.freedesktop.ScreenSaver", "UnInhibit", nullptr, nullptr, "u", cookie);
  bus_->wake();
}

int ScreenSaverInhibitor::onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<ScreenSaverInhibitor*>(userdata);
  self.awaiting_ = false;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    // No screen saver service on this desktop: nothing to keep off.
    if (!isNoOwnerError(error) && !sd_bus_error_has_name(error, SD_BUS_ERROR_UNKNOWN_METHOD) &&
        !connectionWentAway(reply) && !self.failureLogged_) {
      logLine(self.logger_, "OrvoHost: the desktop's screen saver refused to stay off: " + describeReplyError(reply));
      self.failureLogged_ = true;
    }
    return 0;
  }
  std::uint32_t cookie = 0;
  if (sd_bus_message_read(reply, "u", &cookie) < 0) return 0;
  self.failureLogged_ = false;
  if (self.wanted_) {
    self.cookie_ = cookie;
  } else {
    self.unInhibit(cookie);  // released while the answer was on its way
  }
  return 0;
}

}  // namespace orvo::platform::dbus
