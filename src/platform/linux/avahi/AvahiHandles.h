#pragma once

// Owning handles for the Avahi client objects, and the conversions between our
// DNS-SD values and Avahi's. Plain helpers: no queue of their own, call them on the
// thread that owns the objects (the main queue).

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/strlst.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ServiceDiscovery.h"

namespace orvo::platform::avahi {

namespace detail {
struct ClientFree {
  void operator()(AvahiClient* client) const { avahi_client_free(client); }
};
struct EntryGroupFree {
  void operator()(AvahiEntryGroup* group) const { avahi_entry_group_free(group); }
};
struct ServiceBrowserFree {
  void operator()(AvahiServiceBrowser* browser) const { avahi_service_browser_free(browser); }
};
struct ServiceResolverFree {
  void operator()(AvahiServiceResolver* resolver) const { avahi_service_resolver_free(resolver); }
};
struct StringListFree {
  void operator()(AvahiStringList* list) const { avahi_string_list_free(list); }
};
}  // namespace detail

// Freeing a client also frees the groups, browsers and resolvers made from it, so
// every handle made from a client must be reset before the client's handle.
using ClientHandle = std::unique_ptr<AvahiClient, detail::ClientFree>;
// Freeing an entry group withdraws its services from the network.
using EntryGroupHandle = std::unique_ptr<AvahiEntryGroup, detail::EntryGroupFree>;
using ServiceBrowserHandle = std::unique_ptr<AvahiServiceBrowser, detail::ServiceBrowserFree>;
using ServiceResolverHandle = std::unique_ptr<AvahiServiceResolver, detail::ServiceResolverFree>;
// An empty list is a null pointer.
using StringListHandle = std::unique_ptr<AvahiStringList, detail::StringListFree>;

// The record as an Avahi string list, one "key=value" string per entry (an empty value
// gives "key="), in the record's order on the wire.
StringListHandle makeStringList(const TXTRecord& record);

// A string list delivered by the client library (resolver results) as key/value pairs
// in wire order. A string without "=" becomes a key with an empty value; empty strings
// are skipped.
TXTRecord recordFromStringList(const AvahiStringList* list);

// "_orvo._tcp." → "_orvo._tcp": Avahi takes types without the root dot.
std::string avahiServiceType(std::string_view type);
// "local.", "local" and "" → nothing (the daemon's default browse/publish domain);
// any other domain loses its trailing dot.
std::optional<std::string> avahiDomain(std::string_view domain);
// The fully qualified forms our callers use: "_orvo._tcp" → "_orvo._tcp.", "local" → "local.".
std::string withTrailingDot(std::string_view name);

// The next name after a collision: "Orvo on x" → "Orvo on x #2" → "Orvo on x #3".
std::string alternativeServiceName(const std::string& name);

// Avahi's text for an error code ("Daemon not running", "Local name collision", ...).
std::string errorText(int avahiError);

}  // namespace orvo::platform::avahi
