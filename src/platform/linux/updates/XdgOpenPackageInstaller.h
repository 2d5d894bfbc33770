#pragma once

#include <string>

#include "platform/PackageInstaller.h"

namespace orvo::platform {

// On a desktop, opens the package with the desktop's handler for .deb files through
// `xdg-open` (a software centre or package installer, which asks for the administrator's
// password); without a desktop, only says where the package is and which command installs
// it. The message names that command in both cases. Main queue; returns at once (the
// opener runs on its own).
class XdgOpenPackageInstaller final : public PackageInstaller {
 public:
  // `opener` is run as `opener PACKAGE`; tests put a stand-in there.
  XdgOpenPackageInstaller(bool desktopSession, std::string opener = "xdg-open");

  // True when the process runs in a graphical session ($DISPLAY or $WAYLAND_DISPLAY).
  static bool hasDesktopSession();
  // "sudo apt install PACKAGE", with the path quoted for a shell when it needs it.
  static std::string installCommand(const std::filesystem::path& package);

  Result install(const std::filesystem::path& package) override;

 private:
  bool desktop_;
  std::string opener_;
};

}  // namespace orvo::platform
