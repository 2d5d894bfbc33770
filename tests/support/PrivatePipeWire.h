#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/PrivateDbus.h"
#include "support/TempDir.h"

namespace orvo::testing {

// A private PipeWire for one test or suite: a runtime directory of its own (0700), a
// private session bus, and `pipewire` with its session manager `wireplumber` started
// there, each stopped by its PID when the object goes (wireplumber first).
//
// Both run as the user running the tests, root included: PipeWire and WirePlumber work
// as root (measured with 0.3.65 and 0.4.13: nodes, links and memfd buffers as for any
// user), and a client can only reach a daemon of its own user unless it is root (the
// socket is not writable by others). Nothing is shared with a PipeWire of the desktop:
// the state and configuration directories of WirePlumber are in the temporary
// directory, and the system bus points nowhere.
//
// The constructor waits until PipeWire listens and throws std::runtime_error with the
// daemons' output when it does not come up. WirePlumber links streams once it has
// started; a test waits for what it needs (a stream streaming, a picture arriving).
class PrivatePipeWire {
 public:
  // Why PipeWire cannot run here (a program missing), or nothing. Tests give up with this
  // text through ORVO_UNAVAILABLE (support/Unavailable.h).
  static std::optional<std::string> unavailableReason();

  PrivatePipeWire();
  ~PrivatePipeWire();
  PrivatePipeWire(const PrivatePipeWire&) = delete;
  PrivatePipeWire& operator=(const PrivatePipeWire&) = delete;

  // What a client of this PipeWire needs in its environment, as "NAME=VALUE" entries:
  // XDG_RUNTIME_DIR, PIPEWIRE_RUNTIME_DIR, PIPEWIRE_REMOTE, DBUS_SESSION_BUS_ADDRESS,
  // DBUS_SYSTEM_BUS_ADDRESS, XDG_STATE_HOME, XDG_CONFIG_HOME.
  const std::vector<std::string>& environment() const { return environment_; }
  const std::string& runtimeDir() const { return runtimeDir_; }
  // The daemon's socket.
  std::string socketPath() const { return runtimeDir_ + "/pipewire-0"; }
  // A new connection to the daemon, as the portal's OpenPipeWireRemote hands out; the
  // caller owns the descriptor. -1 when the daemon cannot be reached.
  int openConnection() const;
  // What the daemons wrote so far, for failure messages.
  std::string output() const;

  // Stops both daemons now (by PID), as when PipeWire goes away under its clients.
  void stop();

  // Runs `arguments` as a client of this PipeWire (its environment added).
  std::unique_ptr<ChildProcess> startClient(const std::vector<std::string>& arguments) const;

 private:
  TempDir dir_;
  std::string runtimeDir_;
  PrivateDbus bus_;
  std::vector<std::string> environment_;
  std::unique_ptr<ChildProcess> pipewire_;
  std::unique_ptr<ChildProcess> wireplumber_;
};

}  // namespace orvo::testing
