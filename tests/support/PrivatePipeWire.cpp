#include "support/PrivatePipeWire.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "support/WaitUntil.h"

namespace orvo::testing {
namespace {

bool findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path && *path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = dirs.find(':', start);
    const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::optional<std::string> PrivatePipeWire::unavailableReason() {
  for (const char* program : {"pipewire", "wireplumber", "dbus-daemon"}) {
    if (!findProgram(program)) return std::string(program) + " is not installed (see scripts/setup.sh)";
  }
  return std::nullopt;
}

PrivatePipeWire::PrivatePipeWire() : runtimeDir_(dir_.file("runtime")), bus_(PrivateDbus::Type::session) {
  if (::mkdir(runtimeDir_.c_str(), 0700) != 0) throw std::runtime_error("PrivatePipeWire: cannot make " + runtimeDir_);
  for (const char* sub : {"state", "config"}) ::mkdir(dir_.file(sub).c_str(), 0700);
  environment_ = {
      "XDG_RUNTIME_DIR=" + runtimeDir_,
      "PIPEWIRE_RUNTIME_DIR=" + runtimeDir_,
      "PIPEWIRE_REMOTE=pipewire-0",
      "DBUS_SESSION_BUS_ADDRESS=" + bus_.address(),
      // No real system bus (RTKit, logind) for these daemons.
      "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir_.file("no-system-bus"),
      "XDG_STATE_HOME=" + dir_.file("state"),
      "XDG_CONFIG_HOME=" + dir_.file("config"),
  };
  pipewire_ = startClient({"pipewire"});
  const bool listening = waitUntil([&] {
    return ::access(socketPath().c_str(), F_OK) == 0 || pipewire_->exitStatus().has_value();
  });
  if (!listening || pipewire_->exitStatus()) {
    throw std::runtime_error("PrivatePipeWire: pipewire did not come up: " + pipewire_->output());
  }
  wireplumber_ = startClient({"wireplumber"});
}

PrivatePipeWire::~PrivatePipeWire() { stop(); }

void PrivatePipeWire::stop() {
  // The session manager first: it would only complain about the daemon going.
  if (wireplumber_) wireplumber_->kill();
  if (pipewire_) pipewire_->kill();
}

std::unique_ptr<ChildProcess> PrivatePipeWire::startClient(const std::vector<std::string>& arguments) const {
  return std::make_unique<ChildProcess>(arguments, environment_);
}

int PrivatePipeWire::openConnection() const {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = socketPath();
  if (path.size() >= sizeof address.sun_path) {
    ::close(fd);
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string PrivatePipeWire::output() const {
  std::string text = "pipewire: " + (pipewire_ ? pipewire_->output() : std::string());
  if (wireplumber_) text += "\nwireplumber: " + wireplumber_->output();
  return text;
}

}  // namespace orvo::testing
