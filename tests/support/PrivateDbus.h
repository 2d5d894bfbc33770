#pragma once

#include <memory>
#include <string>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace orvo::testing {

// A private dbus-daemon for one test: a bus of type "system" or "session" listening on a
// socket in a temporary directory, with a permissive policy (any user may own any name and
// send anything). Stopped by its PID when the object goes.
//
// The constructor waits until the daemon listens and throws std::runtime_error with its
// output when it does not come up. Point a client at it with address() (for sd-bus:
// DBUS_SYSTEM_BUS_ADDRESS or DBUS_SESSION_BUS_ADDRESS, read at each connection).
class PrivateDbus {
 public:
  enum class Type { system, session };

  explicit PrivateDbus(Type type);
  ~PrivateDbus();
  PrivateDbus(const PrivateDbus&) = delete;
  PrivateDbus& operator=(const PrivateDbus&) = delete;

  const std::string& address() const { return address_; }

  // Stops the daemon (by its PID, at once, as a crash would): every connection to it ends.
  void stop();
  // Starts a new daemon on the same address, as a restarted bus; waits until it listens.
  void start();

  // The configuration file text for a bus of `type` listening on `socketPath`.
  static std::string configText(Type type, const std::string& socketPath);

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> daemon_;
  std::string address_;
};

}  // namespace orvo::testing
