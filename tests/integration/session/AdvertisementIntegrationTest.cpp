// The host's two advertisements on a private avahi-daemon limited to loopback, read back
// with avahi-browse.
#include <gtest/gtest.h>

#include "support/RealHostHarness.h"
#include "platform/linux/avahi/AvahiServiceDiscovery.h"
#include "support/AvahiFixture.h"
#include "support/Unavailable.h"

namespace orvo::testing {
namespace {

class AdvertisementIntegrationTest : public RealHostTest {
 protected:
  void SetUp() override {
    if (auto why = AvahiFixture::unavailableReason()) ORVO_UNAVAILABLE(*why);
  }
  void TearDown() override {
    stopHost();
    avahiDiscovery.reset();
  }
  void startWithAvahi(bool waitForAdvertisement = true) {
    avahiDiscovery = std::make_unique<platform::AvahiServiceDiscovery>(context, logger);
    startHost(*avahiDiscovery, waitForAdvertisement);
  }
  // The advertisement carries the host's current code material.
  bool carriesCurrentCode(const BrowsedService& service) {
    const auto* salt = service.txtValue("pinSalt");
    const auto* port = service.txtValue("pairPort");
    return salt && *salt == base64Encode(host->pairingSalt()) && port &&
           *port == std::to_string(*host->pairingListenerPort());
  }

  std::unique_ptr<platform::AvahiServiceDiscovery> avahiDiscovery;
};

TEST_F(AdvertisementIntegrationTest, BothServicesCarryTheRefreshedRecordAfterEachRegeneration) {
  AvahiFixture avahi;
  startWithAvahi();
  for (int round = 0; round < 2; ++round) {
    for (const std::string type : {"_orvo._tcp", "_orvopair._tcp"}) {
      std::vector<BrowsedService> found;
      ASSERT_TRUE(runUntil([&] {
        found = avahi.browse(type);
        return found.size() == 1 && carriesCurrentCode(found[0]);
      })) << type << " round " << round << "\n" << avahi.daemonLog();
      const auto& service = found[0];
      EXPECT_EQ(service.name, type == "_orvo._tcp" ? "Orvo on Studio" : "Orvo Pair on Studio");
      EXPECT_EQ(service.port, type == "_orvo._tcp" ? *host->listenerPort() : *host->pairingListenerPort());
      std::vector<std::string> keys;
      for (const auto& [key, value] : service.txt) keys.push_back(key);
      EXPECT_EQ(keys, (std::vector<std::string>{"hostId", "pairMode", "pinSalt", "pinExp", "pairPort"}));
      EXPECT_EQ(*service.txtValue("hostId"), host->hostId());
      EXPECT_EQ(*service.txtValue("pairMode"), "pin");
      EXPECT_EQ(*service.txtValue("pinExp"),
                std::to_string(static_cast<long long>(*host->pairingPinExpiresAt() + kSecondsFrom1970To2001)));
    }
    host->regeneratePairingCode();
  }
}

TEST_F(AdvertisementIntegrationTest, WithoutTheDaemonTheStatusSaysSoAndClientsStillConnect) {
  AvahiFixture avahi(/*startDaemon=*/false);
  startWithAvahi(/*waitForAdvertisement=*/false);
  ASSERT_TRUE(runUntil([&] { return host->statusText()->rfind("Bonjour failed: ", 0) == 0; })) << *host->statusText();

  const auto key = pairPrintable("ID-A", 'a');
  ChildProcess client(sClient(sessionPort(), key, "ID-A"));
  ASSERT_TRUE(runUntil([&] { return *host->statusText() == "Client connected"; })) << *host->statusText();

  // When the daemon comes back, the service is published without anything else happening.
  avahi.startDaemon();
  EXPECT_TRUE(runUntil([&] { return !avahi.browse("_orvo._tcp").empty(); }, std::chrono::seconds(15)))
      << avahi.daemonLog();
}

}  // namespace
}  // namespace orvo::testing
