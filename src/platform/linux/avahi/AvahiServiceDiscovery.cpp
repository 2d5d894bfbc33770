#include "platform/linux/avahi/AvahiServiceDiscovery.h"

#include "platform/linux/avahi/AvahiBrowser.h"
#include "platform/linux/avahi/AvahiConnection.h"
#include "platform/linux/avahi/AvahiNetService.h"

namespace orvo::platform {

AvahiServiceDiscovery::AvahiServiceDiscovery(asio::io_context& context, Logger& logger, double reclaimDelay)
    : connection_(avahi::AvahiConnection::create(context, logger)), reclaimDelay_(reclaimDelay) {}

AvahiServiceDiscovery::~AvahiServiceDiscovery() = default;

std::unique_ptr<NetService> AvahiServiceDiscovery::makeService(std::string domain, std::string type, std::string name,
                                                               std::uint16_t port) {
  return std::make_unique<avahi::AvahiNetService>(connection_, std::move(domain), std::move(type), std::move(name),
                                                  port, reclaimDelay_);
}

std::unique_ptr<ServiceBrowser> AvahiServiceDiscovery::browse(std::string type,
                                                              std::function<void(const ResolvedService&)> found,
                                                              std::function<void(const std::string&)> failed) {
  auto browser =
      std::make_unique<avahi::AvahiBrowser>(connection_, std::move(type), std::move(found), std::move(failed));
  browser->start();
  return browser;
}

}  // namespace orvo::platform
