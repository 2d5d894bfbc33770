#pragma once

#include <asio/io_context.hpp>
#include <memory>

#include "core/Log.h"
#include "platform/ServiceDiscovery.h"

namespace orvo::platform {

namespace avahi {
class AvahiConnection;
}

// DNS-SD advertisement and browsing through the Avahi daemon (over the system D-Bus),
// driven by the io_context of the main queue: no thread of its own.
//
// Contract:
// - Construct, call and destroy this object, its services and its browsers on the
//   thread that runs `context` (or before it runs). Every delegate and browse callback
//   runs there too, queued on `context`, never from inside a call made by the caller.
// - `context` and `logger` must outlive this object and everything it made; services
//   and browsers may outlive the discovery object itself.
// - The host starts without a daemon: a service published while the daemon is not
//   running hears didNotPublish (with Avahi's reason, e.g. "Daemon not running") and is
//   registered, with didPublish, once the daemon runs. When the daemon restarts, every
//   service still published is registered again (and hears didPublish again).
// - Types are given as "_orvo._tcp." and domains as "local." (the dotted DNS-SD forms);
//   resolved services report them in the same forms.
// - Name collisions are resolved by Avahi's alternative names ("Orvo on x #2"), with one
//   log line per rename; NetService::name() then returns the name published. A renamed
//   service asks for its own name again reclaimDelay after the rename (the delay doubling
//   on each failed try, up to 32 times it): when the other claimant has gone, it is
//   published under its own name again (and hears didPublish with it). Every new
//   registration (publish, a restarted daemon) starts from the service's own name.
class AvahiServiceDiscovery final : public ServiceDiscovery {
 public:
  static constexpr double defaultReclaimDelay = 60.0;

  AvahiServiceDiscovery(asio::io_context& context, Logger& logger, double reclaimDelay = defaultReclaimDelay);
  ~AvahiServiceDiscovery() override;
  AvahiServiceDiscovery(const AvahiServiceDiscovery&) = delete;
  AvahiServiceDiscovery& operator=(const AvahiServiceDiscovery&) = delete;

  std::unique_ptr<NetService> makeService(std::string domain, std::string type, std::string name,
                                          std::uint16_t port) override;
  // Browses on IPv4 and resolves each service found to an IPv4 address. A service is
  // reported again when its TXT record changes. When the daemon is not running,
  // `failed` hears why, and browsing starts once the daemon runs.
  std::unique_ptr<ServiceBrowser> browse(std::string type, std::function<void(const ResolvedService&)> found,
                                         std::function<void(const std::string& error)> failed) override;

 private:
  std::shared_ptr<avahi::AvahiConnection> connection_;
  double reclaimDelay_;
};

}  // namespace orvo::platform
