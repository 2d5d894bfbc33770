#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace orvo::platform {

// TXT record entries in order; values are UTF-8 text.
using TXTRecord = std::vector<std::pair<std::string, std::string>>;

// One advertised DNS-SD service. Delegate callbacks run on the main queue.
class NetService {
 public:
  struct Delegate {
    std::function<void(const NetService&)> didPublish;
    // The error rendered as text (for example the daemon's error string).
    std::function<void(const NetService&, const std::string& error)> didNotPublish;
  };

  virtual ~NetService() = default;
  virtual void setDelegate(Delegate delegate) = 0;
  // The name the service is registered under: the requested one, or the alternative
  // name chosen after a collision.
  virtual std::string name() const = 0;
  virtual std::string type() const = 0;    // "_orvo._tcp."
  virtual std::string domain() const = 0;  // "local."
  virtual std::uint16_t port() const = 0;
  // Sets the TXT record; on a published service the record is updated in place.
  virtual void setTXTRecord(const TXTRecord& record) = 0;
  // Registers the service. When the daemon is not reachable the delegate hears
  // didNotPublish, and the service is registered once the daemon is back.
  virtual void publish() = 0;
  // Withdraws the service; no delegate callback follows.
  virtual void stop() = 0;
};

// A service found by browsing, resolved to an address.
struct ResolvedService {
  std::string name;
  std::string type;
  std::string domain;
  std::string hostName;
  std::string address;
  std::uint16_t port = 0;
  TXTRecord txt;
};

// Keeps a browse running until it goes.
class ServiceBrowser {
 public:
  virtual ~ServiceBrowser() = default;
};

class ServiceDiscovery {
 public:
  virtual ~ServiceDiscovery() = default;
  virtual std::unique_ptr<NetService> makeService(std::string domain, std::string type, std::string name,
                                                  std::uint16_t port) = 0;
  // Browses for a service type ("_orvo._tcp") and reports each resolved service, on the
  // main queue, until the browser goes. Errors are reported as text.
  virtual std::unique_ptr<ServiceBrowser> browse(std::string type, std::function<void(const ResolvedService&)> found,
                                                 std::function<void(const std::string& error)> failed) = 0;
};

}  // namespace orvo::platform
