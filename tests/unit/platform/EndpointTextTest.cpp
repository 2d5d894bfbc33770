#include <gtest/gtest.h>

#include "platform/linux/net/EndpointText.h"

namespace orvo::platform {
namespace {

TEST(EndpointText, ShowsAddressAndPortTheWayTheLogDoes) {
  struct Case {
    const char* address;
    std::uint16_t port;
    const char* expected;
  };
  for (const Case& c : {Case{"127.0.0.1", 54321, "127.0.0.1:54321"},
                        Case{"::1", 54321, "[::1]:54321"},
                        Case{"fe80::1:2", 7, "[fe80::1:2]:7"},
                        Case{"::ffff:192.168.1.20", 443, "192.168.1.20:443"},  // IPv4 client on a dual-stack socket
                        Case{"orvo-host.local", 9000, "orvo-host.local:9000"}}) {
    EXPECT_EQ(describeEndpoint(std::string(c.address), c.port), c.expected);
  }
  EXPECT_EQ(describeEndpoint(asio::ip::tcp::endpoint(asio::ip::make_address("10.0.0.2"), 80)), "10.0.0.2:80");
}

}  // namespace
}  // namespace orvo::platform
