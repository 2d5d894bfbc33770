#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ServiceDiscovery.h"
#include "support/TempDir.h"

namespace orvo::testing {

// One service as `avahi-browse -rp` resolved it.
struct BrowsedService {
  std::string interface;  // "lo"
  std::string protocol;   // "IPv4"
  std::string name;       // unescaped: "Orvo on vm"
  std::string type;       // "_orvo._tcp"
  std::string domain;     // "local"
  std::string hostName;
  std::string address;
  std::uint16_t port = 0;
  platform::TXTRecord txt;  // in record (wire) order

  const std::string* txtValue(std::string_view key) const;
};

// The resolved ("=") lines of `avahi-browse -p` output. avahi-browse prints a TXT record
// last string first; the result has them in record order again.
std::vector<BrowsedService> parseAvahiBrowse(std::string_view output);

// A private Avahi for tests: a dbus-daemon of type "system" listening in a temporary
// directory, and an avahi-daemon in the foreground that uses only the loopback interface
// (IPv4, no workstation record, no wide-area, no reflector).
//
// Where the kernel allows it (root with CAP_SYS_ADMIN), avahi-daemon runs in a private
// network and mount namespace: its own loopback, its own /run (so its pid file and socket
// never meet another avahi-daemon), and not one packet on a real interface. Otherwise it
// runs in the host's namespaces on `lo` only, after clearing a stale
// /run/avahi-daemon/pid; a live avahi-daemon there is an error. Either way one test runs
// it at a time: give the tests the ctest property RESOURCE_LOCK avahi.
//
// The constructor points DBUS_SYSTEM_BUS_ADDRESS at the private bus for this process and
// its children (avahi-daemon, avahi-browse, and an Avahi client created afterwards); the
// destructor stops both daemons by PID and restores the variable. libdbus reads that
// variable once per process, so every fixture of a process uses the same bus path, and
// only one fixture may exist at a time in a process.
//
// Startup waits for readiness (the bus's printed address, the daemon's "Server startup
// complete") within deadlines, and throws std::runtime_error with the daemon's output
// when something does not come up. Not thread-safe; use it from the test's thread.
class AvahiFixture {
 public:
  // Why the fixture cannot run on this machine (not root, a program missing), or nothing.
  // Tests give up with this text through ORVO_UNAVAILABLE (support/Unavailable.h).
  static std::optional<std::string> unavailableReason();

  // Starts the bus, and the daemon unless `startDaemon` is false.
  explicit AvahiFixture(bool startDaemon = true);
  ~AvahiFixture();
  AvahiFixture(const AvahiFixture&) = delete;
  AvahiFixture& operator=(const AvahiFixture&) = delete;

  void startDaemon();
  void stopDaemon();
  bool daemonRunning() const { return daemonPid_ > 0; }
  // Whether avahi-daemon runs in its own network namespace (else on the host's lo).
  bool isolated() const { return isolated_; }
  const std::string& busAddress() const { return busAddress_; }
  // What the current (or last) avahi-daemon wrote.
  std::string daemonLog() const;

  // Sends one mDNS packet to the multicast group on the daemon's loopback from
  // 127.0.0.2:5353, as another host on the link would (in the daemon's network namespace
  // when isolated). Throws when the packet cannot be sent.
  void sendFromPeer(const std::vector<std::uint8_t>& packet) const;

  // One `avahi-browse -rtp <type>` run: the services it resolved.
  std::vector<BrowsedService> browse(const std::string& type) const;
  // Runs avahi-browse until `done` accepts its result or `timeout` passes; returns the
  // last result either way.
  std::vector<BrowsedService> browseUntil(const std::string& type,
                                          const std::function<bool(const std::vector<BrowsedService>&)>& done,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  void startBus();
  void stopBus();
  void writeConfigs();

  std::string directory_;  // the per-process bus directory
  TempDir temp_;           // configs and logs
  std::string busAddress_;
  std::optional<std::string> previousBusAddress_;
  pid_t busPid_ = -1;
  pid_t daemonPid_ = -1;
  int daemonStarts_ = 0;
  bool isolated_ = false;
};

}  // namespace orvo::testing
