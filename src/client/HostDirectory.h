#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ServiceDiscovery.h"

namespace orvo::client {

inline constexpr const char* kSessionServiceType = "_orvo._tcp.";
inline constexpr const char* kPairingServiceType = "_orvopair._tcp.";

// The value of a TXT key, or nothing.
std::optional<std::string> txtValue(const platform::TXTRecord& txt, std::string_view key);

// "ADDR:PORT" (an IPv4 address or host name, or "[v6]:PORT"); nothing when the text is
// not of that form (then it names a host).
struct Endpoint {
  std::string address;
  std::uint16_t port = 0;
  friend bool operator==(const Endpoint&, const Endpoint&) = default;
};
std::optional<Endpoint> parseEndpoint(std::string_view text);

// One host as its advertisements show it: the session service, the pairing service, or
// both, grouped by the TXT "hostId".
struct AdvertisedHost {
  std::string hostId;  // empty when the advertisement carries none
  std::optional<platform::ResolvedService> session;  // the newest report
  std::optional<platform::ResolvedService> pairing;  // the newest report
  // Every address the session service was reported at, newest first. The host moves its
  // session listener to a new port whenever its paired-device list changes (a pairing, a
  // hello), and browsing may still report the withdrawn port for a while, so a client
  // tries these in turn.
  std::vector<Endpoint> sessionEndpoints;

  // The pairing data the advertisements carry (pairing service first, it is refreshed
  // together with the session service).
  std::optional<std::string> txt(std::string_view key) const;
  // Where to pair: the pairing service, else the session service's address and "pairPort".
  std::optional<Endpoint> pairingEndpoint() const;
  std::optional<Endpoint> sessionEndpoint() const;
  // The name shown to people: the session service's name, else the pairing service's.
  std::string displayName() const;
  // Whether `selector` (from --host) names this host: "ADDR:PORT" matches the port of
  // either service; a name matches a service name, "Orvo on NAME", the advertised host
  // name (with or without ".local") or the host id.
  bool matches(std::string_view selector) const;
};

// What browsing has found so far, in report order. A service reported again at the same
// address (its TXT record changed) replaces its earlier report and counts as the newest;
// one reported under the same name at another address is kept beside the old one.
// Not thread-safe; main queue.
class HostDirectory {
 public:
  void add(const platform::ResolvedService& service);
  const std::vector<platform::ResolvedService>& services() const { return services_; }
  // Hosts in the order of their oldest current report.
  std::vector<AdvertisedHost> hosts() const;

 private:
  std::vector<platform::ResolvedService> services_;
};

}  // namespace orvo::client
