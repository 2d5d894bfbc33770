#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/LoginItems.h"

namespace orvo::platform {

// Launch at login through the desktop's XDG autostart: the entry
// `<config home>/autostart/orvo-host.desktop` starts the program when the user logs in.
//
// Status: not registered when there is no entry, or the entry is switched off
// (`Hidden=true`, or `X-GNOME-Autostart-enabled=false` as GNOME's own settings write it);
// not found when the entry names a program that no longer exists (an older install);
// enabled otherwise. Registering writes the entry atomically with `Exec=` the absolute
// path of the running program; unregistering removes it.
//
// Main queue (one thread at a time); every call reads or writes the file afresh.
class XdgAutostartEntry final : public LoginItemService {
 public:
  // `configHome` is the XDG config directory; `executablePath` gives the program's absolute
  // path (asked at registration, so a missing path is reported then).
  XdgAutostartEntry(std::string configHome, std::function<std::optional<std::string>()> executablePath);
  // The entry of the current user ($XDG_CONFIG_HOME, else ~/.config) for the running program.
  static XdgAutostartEntry forCurrentUser();

  const std::string& entryPath() const { return entryPath_; }

  LoginItemStatus status() override;
  std::optional<std::string> registerItem() override;
  std::optional<std::string> unregisterItem() override;

 private:
  std::string directory_;
  std::string entryPath_;
  std::function<std::optional<std::string>()> executablePath_;
};

// The text of the autostart entry for the program at `executablePath`.
std::string autostartEntryText(const std::string& executablePath);

// The program an entry's `Exec=` value starts (its first word, desktop-entry quoting undone).
std::optional<std::string> desktopExecProgram(const std::string& execValue);

}  // namespace orvo::platform
