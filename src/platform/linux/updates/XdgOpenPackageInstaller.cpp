#include "platform/linux/updates/XdgOpenPackageInstaller.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

extern char** environ;

namespace orvo::platform {
namespace {

std::string shellQuoted(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._+-~=:,@") ==
                           std::string::npos) {
    return text;
  }
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Starts `opener package` in the background through /bin/sh, which exits at once: 0 when
// the opener was found and started, 127 when there is none. Returns the shell's status.
int startInBackground(const std::string& opener, const std::string& package) {
  static const char* script = "command -v \"$0\" >/dev/null 2>&1 || exit 127; \"$0\" \"$1\" </dev/null >/dev/null 2>&1 &";
  std::vector<std::string> args = {"sh", "-c", script, opener, package};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

XdgOpenPackageInstaller::XdgOpenPackageInstaller(bool desktopSession, std::string opener)
    : desktop_(desktopSession), opener_(std::move(opener)) {}

bool XdgOpenPackageInstaller::hasDesktopSession() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

std::string XdgOpenPackageInstaller::installCommand(const std::filesystem::path& package) {
  return "sudo apt install " + shellQuoted(package.string());
}

PackageInstaller::Result XdgOpenPackageInstaller::install(const std::filesystem::path& package) {
  const std::string byHand = installCommand(package);
  if (!desktop_) {
    return {std::nullopt, "The verified update is at " + package.string() + ". Install it with: " + byHand};
  }
  if (startInBackground(opener_, package.string()) != 0) {
    return {"The package installer could not be opened. The verified update is at " + package.string() +
                ". Install it with: " + byHand,
            ""};
  }
  return {std::nullopt, "Opened " + package.string() + " with the desktop's package installer. To install it by hand: " +
                            byHand};
}

}  // namespace orvo::platform
