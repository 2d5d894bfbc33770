#include "platform/linux/avahi/AvahiBrowser.h"

#include <avahi-common/address.h>

#include <asio/post.hpp>
#include <exception>

namespace orvo::platform::avahi {

AvahiBrowser::AvahiBrowser(std::shared_ptr<AvahiConnection> connection, std::string type,
                           std::function<void(const ResolvedService&)> found,
                           std::function<void(const std::string&)> failed)
    : connection_(std::move(connection)),
      avahiType_(avahiServiceType(type)),
      found_(std::move(found)),
      failed_(std::move(failed)) {
  connection_->attach(*this);
}

AvahiBrowser::~AvahiBrowser() {
  connection_->detach(*this);
  clientLost();
}

void AvahiBrowser::start() {
  if (AvahiClient* client = connection_->runningClient()) {
    clientRunning(client);
  } else if (auto reason = connection_->unavailableReason()) {
    reportFailure(*reason);
  }
}

void AvahiBrowser::clientRunning(AvahiClient* client) {
  if (browser_) return;
  // IPv4 only: one report per service rather than one per IP protocol.
  browser_.reset(avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, avahiType_.c_str(), nullptr,
                                           AvahiLookupFlags(0), &AvahiBrowser::browseCallback, this));
  if (!browser_) reportFailure(errorText(avahi_client_errno(client)));
}

void AvahiBrowser::clientLost() {
  resolvers_.clear();
  browser_.reset();
}

void AvahiBrowser::browseCallback(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                                  AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                                  AvahiLookupResultFlags, void* userdata) {
  auto& self = *static_cast<AvahiBrowser*>(userdata);
  AvahiClient* client = avahi_service_browser_get_client(browser);
  switch (event) {
    case AVAHI_BROWSER_NEW: {
      ServiceKey key{interface, protocol, name, type, domain};
      if (self.resolvers_.contains(key)) break;
      // The resolver stays until the service goes, so changes of its record are seen.
      ServiceResolverHandle resolver(avahi_service_resolver_new(client, interface, protocol, name, type, domain,
                                                                AVAHI_PROTO_INET, AvahiLookupFlags(0),
                                                                &AvahiBrowser::resolveCallback, &self));
      if (!resolver) {
        logLine(self.connection_->logger(), "OrvoHost: cannot resolve", name, ":",
                errorText(avahi_client_errno(client)));
        break;
      }
      self.resolvers_.emplace(std::move(key), std::move(resolver));
      break;
    }
    case AVAHI_BROWSER_REMOVE:
      self.resolvers_.erase(ServiceKey{interface, protocol, name, type, domain});
      break;
    case AVAHI_BROWSER_FAILURE:
      self.reportFailure(errorText(avahi_client_errno(client)));
      break;
    case AVAHI_BROWSER_ALL_FOR_NOW:
    case AVAHI_BROWSER_CACHE_EXHAUSTED:
      break;
  }
}

void AvahiBrowser::resolveCallback(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol,
                                   AvahiResolverEvent event, const char* name, const char* type, const char* domain,
                                   const char* hostName, const AvahiAddress* address, std::uint16_t port,
                                   AvahiStringList* txt, AvahiLookupResultFlags, void* userdata) {
  auto& self = *static_cast<AvahiBrowser*>(userdata);
  if (event != AVAHI_RESOLVER_FOUND) {
    // One service that does not answer is not a failure of the browse.
    logLine(self.connection_->logger(), "OrvoHost: cannot resolve", name, ":",
            errorText(avahi_client_errno(avahi_service_resolver_get_client(resolver))));
    return;
  }
  char text[AVAHI_ADDRESS_STR_MAX] = {};
  if (address) avahi_address_snprint(text, sizeof text, address);
  self.report(ResolvedService{
      .name = name ? name : "",
      .type = withTrailingDot(type ? type : ""),
      .domain = withTrailingDot(domain ? domain : ""),
      .hostName = hostName ? hostName : "",
      .address = text,
      .port = port,
      .txt = recordFromStringList(txt),
  });
}

void AvahiBrowser::report(ResolvedService service) {
  asio::post(connection_->context(), [this, alive = std::weak_ptr(token_), service = std::move(service)] {
    if (alive.expired() || !found_) return;
    try {
      found_(service);
    } catch (const std::exception& error) {
      logLine(connection_->logger(), "OrvoHost: browse callback threw:", error.what());
    }
  });
}

void AvahiBrowser::reportFailure(std::string error) {
  asio::post(connection_->context(), [this, alive = std::weak_ptr(token_), error = std::move(error)] {
    if (alive.expired() || !failed_) return;
    try {
      failed_(error);
    } catch (const std::exception& thrown) {
      logLine(connection_->logger(), "OrvoHost: browse callback threw:", thrown.what());
    }
  });
}

}  // namespace orvo::platform::avahi
