#pragma once

#include <asio/io_context.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/Log.h"
#include "platform/DesktopBackend.h"

namespace orvo {

class Clock;
class MainQueue;
namespace platform {
class SettingsStore;
namespace dbus {
class SdBusConnection;
}
}  // namespace platform

// Which desktop the host serves, and why: the only place that knows which kinds exist.
struct DesktopChoice {
  enum class Kind { x11, waylandPortal };
  Kind kind = Kind::x11;
  std::string reason;  // for the log line
};

// From the environment: ORVO_BACKEND=x11|wayland decides; otherwise a Wayland session
// (WAYLAND_DISPLAY set, or XDG_SESSION_TYPE=wayland) gets the portal backend and anything
// else X11. Nothing, with the reason in `error`, for an ORVO_BACKEND it does not know.
// `getenv` reads one variable (std::getenv by default; tests pass their own).
std::optional<DesktopChoice> chooseDesktop(std::string& error,
                                           const std::function<const char*(const char*)>& getenv = {});

// What a backend may need from the host's runtime. The references must outlive it.
struct DesktopServices {
  asio::io_context& context;
  Logger& logger;
  MainQueue& main;
  const Clock& clock;
  platform::SettingsStore& settings;
  std::shared_ptr<platform::dbus::SdBusConnection> sessionBus;
  bool trackWindowChanges = true;
};

std::unique_ptr<platform::DesktopBackend> makeDesktop(const DesktopChoice& choice, const DesktopServices& services);

}  // namespace orvo
