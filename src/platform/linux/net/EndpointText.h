#pragma once

#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <string>

namespace orvo::platform {

// "address:port" as the host logs a remote end: "127.0.0.1:54321", IPv6 in brackets
// ("[::1]:54321"); an IPv4 client reaching a dual-stack socket shows as plain IPv4.
std::string describeEndpoint(const asio::ip::address& address, std::uint16_t port);
std::string describeEndpoint(const asio::ip::tcp::endpoint& endpoint);
// The same for a host name or address text given by the caller.
std::string describeEndpoint(const std::string& host, std::uint16_t port);

}  // namespace orvo::platform
