#include "client/HostDirectory.h"

#include <gtest/gtest.h>

namespace orvo::client {
namespace {

platform::ResolvedService service(std::string type, std::string name, std::uint16_t port, platform::TXTRecord txt) {
  return {.name = std::move(name),
          .type = std::move(type),
          .domain = "local.",
          .hostName = "vm.local",
          .address = "127.0.0.1",
          .port = port,
          .txt = std::move(txt)};
}

TEST(ParseEndpoint, AcceptsAddressAndPortOnly) {
  struct Case {
    const char* text;
    std::optional<Endpoint> expected;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1:4242", Endpoint{"127.0.0.1", 4242}},
      {"vm.local:1", Endpoint{"vm.local", 1}},
      {"[::1]:65535", Endpoint{"::1", 65535}},
      {"vm", std::nullopt},
      {"127.0.0.1:", std::nullopt},
      {":4242", std::nullopt},
      {"127.0.0.1:0", std::nullopt},
      {"127.0.0.1:65536", std::nullopt},
      {"127.0.0.1:42x", std::nullopt},
      {"::1:4242", std::nullopt},
      {"[::1]4242", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseEndpoint(c.text), c.expected) << c.text;
}

TEST(HostDirectory, GroupsBothServicesOfAHostAndKeepsTheLatestTXT) {
  HostDirectory directory;
  directory.add(service("_orvo._tcp.", "Orvo on vm", 4000,
                        {{"hostId", "H1"}, {"pairMode", "pin"}, {"pinSalt", "old"}, {"pairPort", "4001"}}));
  directory.add(service("_orvo._tcp.", "Orvo on other", 5000, {{"hostId", "H2"}}));
  directory.add(service("_orvopair._tcp.", "Orvo Pair on vm", 4001, {{"hostId", "H1"}, {"pinSalt", "new"}}));
  directory.add(service("_orvo._tcp.", "Orvo on vm", 4000, {{"hostId", "H1"}, {"pinSalt", "new"}, {"pairPort", "4001"}}));
  directory.add(service("_http._tcp.", "Printer", 80, {}));

  EXPECT_EQ(directory.services().size(), 4u) << "a re-reported service replaces its earlier report";
  auto hosts = directory.hosts();
  ASSERT_EQ(hosts.size(), 2u);
  if (hosts[0].hostId != "H1") std::swap(hosts[0], hosts[1]);
  EXPECT_EQ(hosts[0].hostId, "H1");
  ASSERT_TRUE(hosts[0].session && hosts[0].pairing);
  EXPECT_EQ(hosts[0].txt("pinSalt"), "new");
  EXPECT_EQ(hosts[0].pairingEndpoint(), (Endpoint{"127.0.0.1", 4001}));
  EXPECT_EQ(hosts[0].sessionEndpoint(), (Endpoint{"127.0.0.1", 4000}));
  EXPECT_EQ(hosts[0].displayName(), "Orvo on vm");
  EXPECT_EQ(hosts[1].hostId, "H2");
  EXPECT_FALSE(hosts[1].pairingEndpoint()) << "no pairing service and no pairPort";
}

TEST(HostDirectory, AServiceThatMovedIsTriedAtItsNewestAddressFirst) {
  HostDirectory directory;
  directory.add(service("_orvo._tcp.", "Orvo on vm", 4000, {{"hostId", "H1"}}));
  directory.add(service("_orvo._tcp.", "Orvo on vm", 4100, {{"hostId", "H1"}}));
  directory.add(service("_orvo._tcp.", "Orvo on vm", 4200, {{"hostId", "H1"}}));
  directory.add(service("_orvo._tcp.", "Orvo on vm", 4100, {{"hostId", "H1"}, {"pinSalt", "s"}}));  // reported again
  const auto hosts = directory.hosts();
  ASSERT_EQ(hosts.size(), 1u);
  EXPECT_EQ(hosts[0].sessionEndpoint(), (Endpoint{"127.0.0.1", 4100}));
  EXPECT_EQ(hosts[0].txt("pinSalt"), "s");
  EXPECT_EQ(hosts[0].sessionEndpoints,
            (std::vector<Endpoint>{{"127.0.0.1", 4100}, {"127.0.0.1", 4200}, {"127.0.0.1", 4000}}));
}

TEST(HostDirectory, PairingPortFromTheSessionRecordWhenThePairingServiceIsNotSeen) {
  HostDirectory directory;
  directory.add(service("_orvo._tcp", "Orvo on vm", 4000, {{"hostId", "H1"}, {"pairPort", "4321"}}));
  const auto hosts = directory.hosts();
  ASSERT_EQ(hosts.size(), 1u);
  EXPECT_EQ(hosts[0].pairingEndpoint(), (Endpoint{"127.0.0.1", 4321}));
}

TEST(AdvertisedHost, SelectorsNameAHostByPortNameHostNameOrId) {
  HostDirectory directory;
  directory.add(service("_orvo._tcp.", "Orvo on vm", 4000, {{"hostId", "H1"}}));
  directory.add(service("_orvopair._tcp.", "Orvo Pair on vm", 4001, {{"hostId", "H1"}}));
  const auto host = directory.hosts().at(0);
  for (const char* selector : {"127.0.0.1:4000", "10.0.0.1:4001", "Orvo on vm", "vm", "Orvo Pair on vm", "vm.local",
                               "H1"}) {
    EXPECT_TRUE(host.matches(selector)) << selector;
  }
  for (const char* selector : {"127.0.0.1:4002", "Orvo on", "other", "H2", ""}) {
    EXPECT_FALSE(host.matches(selector)) << selector;
  }
}

}  // namespace
}  // namespace orvo::client
