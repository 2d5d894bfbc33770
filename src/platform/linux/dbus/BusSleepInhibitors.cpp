#include "platform/linux/dbus/BusSleepInhibitors.h"

#include <fcntl.h>

#include <cstring>

namespace orvo::platform::dbus {
namespace {

constexpr const char* kWho = "Orvo";

}  // namespace

void LogindSleepInhibitor::begin(const std::string& reason) {
  if (!bus_ || fd_ || awaiting_) return;
  sd_bus_slot* slot = nullptr;
  const int result = sd_bus_call_method_async(bus_->get(), &slot, "org.freedesktop.login1", "/org/freedesktop/login1",
                                              "org.freedesktop.login1.Manager", "Inhibit", onReply, this, "ssss",
                                              "idle:sleep", kWho, reason.c_str(), "block");
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
  call_.reset();  // an answer still on its way is dropped, and its descriptor with it
  awaiting_ = false;
  fd_.reset();
}

int LogindSleepInhibitor::onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<LogindSleepInhibitor*>(userdata);
  self.awaiting_ = false;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    // No logind: start-up has said so already.
    if (!self.failureLogged_ && !isNoOwnerError(error)) {
      logLine(self.logger_, "OrvoHost: logind refused to inhibit idle and sleep: " + describeReplyError(reply));
    }
    self.failureLogged_ = true;
    return 0;
  }
  int fd = -1;
  if (sd_bus_message_read(reply, "h", &fd) < 0 || fd < 0) return 0;
  // The descriptor belongs to the message: keep a copy of our own.
  self.fd_.reset(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
  if (self.fd_) self.failureLogged_ = false;
  return 0;
}

void ScreenSaverInhibitor::begin(const std::string& reason) {
  if (!bus_ || wanted_) return;
  wanted_ = true;
  if (cookie_ || awaiting_) return;
  sd_bus_slot* slot = nullptr;
  const int result = sd_bus_call_method_async(bus_->get(), &slot, "org.freedesktop.ScreenSaver",
                                              "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "Inhibit",
                                              onReply, this, "ss", kWho, reason.c_str());
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

void ScreenSaverInhibitor::unInhibit(std::uint32_t cookie) {
  if (!bus_) return;
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
    if (!isNoOwnerError(error) && !sd_bus_error_has_name(error, SD_BUS_ERROR_UNKNOWN_METHOD) && !self.failureLogged_) {
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
