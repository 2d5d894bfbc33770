#include "support/PrivateDbus.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/WaitUntil.h"

namespace orvo::testing {

std::string PrivateDbus::configText(Type type, const std::string& socketPath) {
  return std::string(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>)") +
         (type == Type::system ? "system" : "session") + R"(</type>
  <listen>unix:path=)" + socketPath + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";
}

PrivateDbus::PrivateDbus(Type type) {
  std::ofstream(dir_.file("bus.conf")) << configText(type, dir_.file("bus"));
  address_ = "unix:path=" + dir_.file("bus");
  start();
}

void PrivateDbus::stop() {
  if (!daemon_) return;
  daemon_->kill();
  waitUntil([&] { return daemon_->exitStatus().has_value(); });
  daemon_.reset();
}

void PrivateDbus::start() {
  stop();
  std::filesystem::remove(dir_.file("bus"));
  daemon_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"dbus-daemon", "--nofork", "--config-file=" + dir_.file("bus.conf"), "--print-address"});
  // The daemon prints its address once it listens.
  const bool listening = waitUntil([&] {
    return daemon_->output().find('\n') != std::string::npos || daemon_->exitStatus().has_value();
  });
  if (!listening || daemon_->output().find("unix:") == std::string::npos) {
    throw std::runtime_error("PrivateDbus: dbus-daemon did not come up: " + daemon_->output());
  }
}

PrivateDbus::~PrivateDbus() = default;

}  // namespace orvo::testing
