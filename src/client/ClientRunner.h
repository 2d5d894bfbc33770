#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "client/ClientCommandLine.h"
#include "client/ClientCredentials.h"
#include "client/HostDirectory.h"
#include "client/OrvoClient.h"
#include "core/AsioQueues.h"
#include "core/Clock.h"
#include "core/Coding.h"
#include "core/Log.h"
#include "pairing/NameCollator.h"
#include "pairing/OrvoPairingStore.h"
#include "platform/linux/net/AsioNetwork.h"
#include "platform/linux/stores/FileSecretStore.h"
#include "platform/linux/stores/FileSettingsStore.h"

namespace orvo::platform {
class AvahiServiceDiscovery;
}

namespace orvo::client {

// Exit statuses of `orvo-client`.
enum ExitStatus : int {
  kExitSuccess = 0,
  kExitFailure = 1,
  kExitUsage = 2,
  kExitHostNotFound = 3,
  kExitRefused = 4,
  kExitSessionEnded = 5,
  kExitTimedOut = 6,
  kExitInputRejected = 7,
  kExitBusy = 8,
};

// A host that closes connections before its hello (its limits are taken) is asked again
// after busyFirstDelay, the delay doubling up to busyMaxDelay, until the command's timeout.
inline constexpr double busyFirstDelay = 0.25;
inline constexpr double busyMaxDelay = 2.0;

// Runs one parsed `orvo-client` command against the real network, Avahi and the client's
// own stores ($XDG_CONFIG_HOME/orvo-client/defaults.json and
// $XDG_DATA_HOME/orvo-client/secrets). Results go to `out`, errors to `err`.
//
// Threading: everything runs on the calling thread, which drives the io_context that the
// network, discovery and the session share, one handler at a time, until the command is
// done or its deadline passes.
class ClientRunner {
 public:
  ClientRunner(const ClientCommand& command, std::ostream& out, std::ostream& err);
  ~ClientRunner();
  ClientRunner(const ClientRunner&) = delete;
  ClientRunner& operator=(const ClientRunner&) = delete;

  int run();

 private:
  // Where a session connects and with which credential: the given address, or the
  // session service of the advertised host that `matches` accepts.
  struct SessionTarget {
    std::optional<Endpoint> given;
    std::function<bool(const AdvertisedHost&)> matches;
    HostCredential credential;
  };

  int discover();
  int pair();
  int pairWithToken();
  int windows();
  int stream();
  int input();

  // Runs the io_context until `done` holds or `seconds` pass; returns `done()`.
  bool runUntil(const std::function<bool()>& done, double seconds);
  void startBrowsing(bool pairingToo);
  std::optional<SessionTarget> findSessionTarget(int& status);
  // The addresses to try for the target, newest first.
  std::vector<Endpoint> sessionCandidates(const SessionTarget& target) const;
  // Connects and waits for the session to be ready; reports failures and sets `status`.
  // An advertised address that nothing listens on any more is skipped for the next one
  // browsing reports.
  std::shared_ptr<OrvoClient> openSession(const SessionTarget& target, const OrvoClientHandlers& handlers,
                                          int& status);
  // The message and status for a session that ended before the command was done.
  int reportSessionEnd(const SessionEnd& end);
  int fail(int status, const std::string& message);
  std::string deviceName() const;

  ClientCommand command_;
  std::ostream& out_;
  std::ostream& err_;

  std::unique_ptr<Logger> logger_;
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  AsioMainQueue main_;
  platform::AsioNetwork network_;
  std::unique_ptr<platform::AvahiServiceDiscovery> discovery_;
  std::vector<std::unique_ptr<platform::ServiceBrowser>> browsers_;
  HostDirectory directory_;
  std::optional<std::string> browseError_;

  SystemClock clock_;
  OpenSslRandom random_;
  NameCollator collator_;
  platform::FileSettingsStore settings_;
  platform::FileSecretStore secrets_;
  OrvoPairingStore store_;
  ClientCredentials credentials_;

  std::optional<SessionEnd> sessionEnd_;
};

}  // namespace orvo::client
