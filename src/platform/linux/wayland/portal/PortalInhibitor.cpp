#include "platform/linux/wayland/portal/PortalInhibitor.h"

#include <cstring>

#include "platform/linux/wayland/portal/PortalMessages.h"

namespace orvo::platform::portal {
namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr std::uint32_t kInhibitIdle = 8;

}  // namespace

void PortalInhibitor::begin(const std::string& reason) {
  if (!bus_ || wanted_) return;
  wanted_ = true;
  if (request_ || awaiting_) return;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus_->get(), &raw, kPortal, "/org/freedesktop/portal/desktop",
                                         "org.freedesktop.portal.Inhibit", "Inhibit");
  dbus::MessagePtr message(raw);
  if (r >= 0) r = sd_bus_message_append(raw, "su", "", kInhibitIdle);
  if (r >= 0) r = appendOptions(raw, {{"reason", reason}});
  sd_bus_slot* slot = nullptr;
  if (r >= 0) r = sd_bus_call_async(bus_->get(), &slot, raw, onReply, this, 0);
  if (r < 0) {
    if (!failureLogged_) logLine(logger_, "OrvoHost: cannot ask the desktop to stay awake:", std::strerror(-r));
    failureLogged_ = true;
    return;
  }
  call_.reset(slot);
  awaiting_ = true;
  bus_->wake();
}

void PortalInhibitor::end() {
  if (!wanted_) return;
  wanted_ = false;
  // A pending Inhibit is left to arrive: its Request is then closed at once.
  if (request_) close(*std::exchange(request_, std::nullopt));
}

void PortalInhibitor::close(const std::string& request) {
  if (!bus_) return;
  sd_bus_call_method_async(bus_->get(), nullptr, kPortal, request.c_str(), "org.freedesktop.portal.Request", "Close",
                           nullptr, nullptr, "");
  bus_->wake();
}

int PortalInhibitor::onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<PortalInhibitor*>(userdata);
  self.awaiting_ = false;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    if (!self.failureLogged_) {
      logLine(self.logger_, "OrvoHost: the desktop portal did not keep the desktop awake: " +
                                dbus::describeReplyError(reply));
      self.failureLogged_ = true;
    }
    return 0;
  }
  const char* path = nullptr;
  if (sd_bus_message_read(reply, "o", &path) < 0 || !path) return 0;
  self.failureLogged_ = false;
  if (self.wanted_) {
    self.request_ = path;
  } else {
    self.close(path);  // released while the answer was on its way
  }
  return 0;
}

}  // namespace orvo::platform::portal
