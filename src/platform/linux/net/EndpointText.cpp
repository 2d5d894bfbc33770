#include "platform/linux/net/EndpointText.h"

namespace orvo::platform {

std::string describeEndpoint(const asio::ip::address& address, std::uint16_t port) {
  if (address.is_v6()) {
    const asio::ip::address_v6 v6 = address.to_v6();
    if (v6.is_v4_mapped()) {
      return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string() + ":" + std::to_string(port);
    }
    return "[" + v6.to_string() + "]:" + std::to_string(port);
  }
  return address.to_string() + ":" + std::to_string(port);
}

std::string describeEndpoint(const asio::ip::tcp::endpoint& endpoint) {
  return describeEndpoint(endpoint.address(), endpoint.port());
}

std::string describeEndpoint(const std::string& host, std::uint16_t port) {
  std::error_code error;
  const asio::ip::address address = asio::ip::make_address(host, error);
  if (!error) return describeEndpoint(address, port);
  return host + ":" + std::to_string(port);
}

}  // namespace orvo::platform
