#include "app/DesktopChoice.h"

#include <cstdlib>

#include "platform/linux/wayland/portal/PortalDesktop.h"
#include "platform/linux/x11/X11Desktop.h"

namespace orvo {

std::optional<DesktopChoice> chooseDesktop(std::string& error, const std::function<const char*(const char*)>& getenv) {
  auto read = [&](const char* name) -> std::string {
    const char* value = getenv ? getenv(name) : std::getenv(name);
    return value ? value : "";
  };
  const std::string forced = read("ORVO_BACKEND");
  if (forced == "x11") return DesktopChoice{DesktopChoice::Kind::x11, "ORVO_BACKEND=x11"};
  if (forced == "wayland") return DesktopChoice{DesktopChoice::Kind::waylandPortal, "ORVO_BACKEND=wayland"};
  if (!forced.empty()) {
    error = "ORVO_BACKEND must be x11 or wayland, not “" + forced + "”";
    return std::nullopt;
  }
  if (!read("WAYLAND_DISPLAY").empty()) {
    return DesktopChoice{DesktopChoice::Kind::waylandPortal, "WAYLAND_DISPLAY is set"};
  }
  if (read("XDG_SESSION_TYPE") == "wayland") {
    return DesktopChoice{DesktopChoice::Kind::waylandPortal, "XDG_SESSION_TYPE is wayland"};
  }
  return DesktopChoice{DesktopChoice::Kind::x11, "not a Wayland session"};
}

std::unique_ptr<platform::DesktopBackend> makeDesktop(const DesktopChoice& choice, const DesktopServices& services) {
  std::unique_ptr<platform::DesktopBackend> desktop;
  switch (choice.kind) {
    case DesktopChoice::Kind::x11:
      desktop = std::make_unique<platform::x11::X11Desktop>(services.logger, services.main, services.clock,
                                                            services.trackWindowChanges);
      break;
    case DesktopChoice::Kind::waylandPortal:
      desktop = std::make_unique<platform::portal::PortalDesktop>(platform::portal::PortalDesktop::Services{
          services.logger, services.main, services.context, services.settings, services.sessionBus});
      break;
  }
  logLine(services.logger, "OrvoHost: desktop: " + desktop->name() + ", because " + choice.reason);
  return desktop;
}

}  // namespace orvo
