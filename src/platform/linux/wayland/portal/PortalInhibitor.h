#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/Log.h"
#include "platform/HostInfo.h"
#include "platform/linux/dbus/SdBusConnection.h"

namespace orvo::platform::portal {

// Keeps a Wayland desktop from going idle (and blanking the display) through the desktop
// portal: begin() calls org.freedesktop.portal.Inhibit.Inhibit("", idle, {reason}) and
// keeps the Request it returns; end() closes that Request, which ends the inhibition.
// Asynchronous like the other inhibitors: an end() before the answer closes the Request as
// soon as its path arrives. A missing portal is logged once and nothing is held.
//
// Main queue only. The connection may be absent; it must outlive this object.
class PortalInhibitor final : public SleepInhibitor {
 public:
  PortalInhibitor(std::shared_ptr<dbus::SdBusConnection> sessionBus, Logger& logger)
      : bus_(std::move(sessionBus)), logger_(logger) {}
  ~PortalInhibitor() override { end(); }
  PortalInhibitor(const PortalInhibitor&) = delete;
  PortalInhibitor& operator=(const PortalInhibitor&) = delete;

  void begin(const std::string& reason) override;
  void end() override;
  bool isHeld() const { return request_.has_value(); }

 private:
  static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  void close(const std::string& request);

  std::shared_ptr<dbus::SdBusConnection> bus_;
  Logger& logger_;
  dbus::SlotPtr call_;
  bool awaiting_ = false;
  bool wanted_ = false;
  std::optional<std::string> request_;
  bool failureLogged_ = false;
};

}  // namespace orvo::platform::portal
