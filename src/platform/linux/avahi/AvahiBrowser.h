#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "platform/ServiceDiscovery.h"
#include "platform/linux/avahi/AvahiConnection.h"

namespace orvo::platform::avahi {

// A running browse for one service type with a resolver per service found. Main queue
// only (see AvahiServiceDiscovery); callbacks are queued on the main queue and dropped
// once the browser is gone.
class AvahiBrowser final : public ServiceBrowser, private ClientUser {
 public:
  AvahiBrowser(std::shared_ptr<AvahiConnection> connection, std::string type,
               std::function<void(const ResolvedService&)> found, std::function<void(const std::string&)> failed);
  ~AvahiBrowser() override;
  AvahiBrowser(const AvahiBrowser&) = delete;
  AvahiBrowser& operator=(const AvahiBrowser&) = delete;

  // Starts at once when the daemon runs; otherwise reports why not and starts later.
  void start();

 private:
  void clientRunning(AvahiClient* client) override;
  void clientLost() override;

  static void browseCallback(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                             AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                             AvahiLookupResultFlags flags, void* userdata);
  static void resolveCallback(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol protocol,
                              AvahiResolverEvent event, const char* name, const char* type, const char* domain,
                              const char* hostName, const AvahiAddress* address, std::uint16_t port,
                              AvahiStringList* txt, AvahiLookupResultFlags flags, void* userdata);
  void report(ResolvedService service);
  void reportFailure(std::string error);

  // interface, protocol, name, type, domain: how Avahi tells one service from another.
  using ServiceKey = std::tuple<AvahiIfIndex, AvahiProtocol, std::string, std::string, std::string>;

  std::shared_ptr<AvahiConnection> connection_;
  std::string avahiType_;
  std::function<void(const ResolvedService&)> found_;
  std::function<void(const std::string&)> failed_;
  ServiceBrowserHandle browser_;
  // Declared after the browser so that they go first.
  std::map<ServiceKey, ServiceResolverHandle> resolvers_;
  std::shared_ptr<bool> token_ = std::make_shared<bool>();
};

}  // namespace orvo::platform::avahi
