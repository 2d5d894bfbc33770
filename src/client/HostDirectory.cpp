#include "client/HostDirectory.h"

#include <algorithm>
#include <charconv>

namespace orvo::client {

namespace {

bool sameType(std::string_view a, std::string_view b) {
  auto strip = [](std::string_view t) { return !t.empty() && t.back() == '.' ? t.substr(0, t.size() - 1) : t; };
  return strip(a) == strip(b);
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

std::optional<std::string> txtValue(const platform::TXTRecord& txt, std::string_view key) {
  for (const auto& [k, v] : txt) {
    if (k == key) return v;
  }
  return std::nullopt;
}

std::optional<Endpoint> parseEndpoint(std::string_view text) {
  std::string_view address;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
    address = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || text.find(':') != colon) return std::nullopt;
    address = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  const auto number = parsePort(port);
  if (address.empty() || !number) return std::nullopt;
  return Endpoint{std::string(address), *number};
}

std::optional<std::string> AdvertisedHost::txt(std::string_view key) const {
  if (pairing) {
    if (auto value = txtValue(pairing->txt, key)) return value;
  }
  if (session) return txtValue(session->txt, key);
  return std::nullopt;
}

std::optional<Endpoint> AdvertisedHost::pairingEndpoint() const {
  if (pairing && pairing->port != 0) return Endpoint{pairing->address, pairing->port};
  if (session) {
    if (auto port = txtValue(session->txt, "pairPort")) {
      if (auto number = parsePort(*port)) return Endpoint{session->address, *number};
    }
  }
  return std::nullopt;
}

std::optional<Endpoint> AdvertisedHost::sessionEndpoint() const {
  if (session && session->port != 0) return Endpoint{session->address, session->port};
  return std::nullopt;
}

std::string AdvertisedHost::displayName() const {
  if (session) return session->name;
  if (pairing) return pairing->name;
  return hostId;
}

bool AdvertisedHost::matches(std::string_view selector) const {
  if (auto endpoint = parseEndpoint(selector)) {
    return (session && session->port == endpoint->port) || (pairing && pairing->port == endpoint->port);
  }
  if (!hostId.empty() && selector == hostId) return true;
  for (const auto* service : {session ? &*session : nullptr, pairing ? &*pairing : nullptr}) {
    if (service == nullptr) continue;
    const std::string name(selector);
    if (service->name == name || service->name == "Orvo on " + name || service->name == "Orvo Pair on " + name) {
      return true;
    }
    if (!service->hostName.empty() && (service->hostName == name || service->hostName == name + ".local")) return true;
  }
  return false;
}

void HostDirectory::add(const platform::ResolvedService& service) {
  std::erase_if(services_, [&](const platform::ResolvedService& known) {
    return sameType(known.type, service.type) && known.name == service.name && known.domain == service.domain &&
           known.address == service.address && known.port == service.port;
  });
  services_.push_back(service);
}

std::vector<AdvertisedHost> HostDirectory::hosts() const {
  std::vector<AdvertisedHost> hosts;
  for (const auto& service : services_) {
    const bool isSession = sameType(service.type, kSessionServiceType);
    const bool isPairing = sameType(service.type, kPairingServiceType);
    if (!isSession && !isPairing) continue;
    const std::string id = txtValue(service.txt, "hostId").value_or("");
    auto host = std::find_if(hosts.begin(), hosts.end(), [&](const AdvertisedHost& known) {
      if (!id.empty()) return known.hostId == id;
      // Without a host id, services group by name only.
      const auto& other = isSession ? known.session : known.pairing;
      return known.hostId.empty() && other && other->name == service.name;
    });
    if (host == hosts.end()) {
      hosts.push_back(AdvertisedHost{.hostId = id});
      host = hosts.end() - 1;
    }
    (isSession ? host->session : host->pairing) = service;
    if (isSession) {
      const Endpoint endpoint{service.address, service.port};
      std::erase(host->sessionEndpoints, endpoint);
      host->sessionEndpoints.insert(host->sessionEndpoints.begin(), endpoint);
    }
  }
  return hosts;
}

}  // namespace orvo::client
