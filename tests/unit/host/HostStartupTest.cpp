#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "core/Coding.h"
#include "unit/host/HostHarness.h"

namespace orvo::testing {
namespace {

using ::testing::HasSubstr;

TEST(HostStartup, FirstLaunchIsDiscoverableStoresHostIdAndPrintsStartupLines) {
  HostHarness h;
  h.start();
  EXPECT_EQ(h.settings.boolean("OrvoHost.isDiscoverable"), true);
  const auto id = h.settings.string("OrvoHost.hostId");
  ASSERT_TRUE(id);
  EXPECT_TRUE(std::regex_match(*id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
  EXPECT_EQ(h.host->hostId(), *id);
  EXPECT_TRUE(h.logger.has("OrvoHost PID: 4242"));
  EXPECT_TRUE(h.logger.has("Bundle: /opt/orvo"));
  EXPECT_TRUE(h.logger.has("Executable: /opt/orvo/orvo-host"));
  ASSERT_NE(h.sessionListener(), nullptr);
  ASSERT_NE(h.pairingListener(), nullptr);
  EXPECT_TRUE(std::regex_match(*h.host->pairingPIN(), std::regex("[0-9]{6}")));
  EXPECT_EQ(h.host->allowControlThisMac(), false);
}

TEST(HostStartup, SecondStartReadsBackDiscoverabilityAndHostId) {
  HostHarness h;
  h.settings.setValue("OrvoHost.isDiscoverable", false);
  h.settings.setValue("OrvoHost.hostId", "11111111-2222-4333-8444-555555555555");
  h.hostInfo.executable.reset();
  h.start();
  EXPECT_EQ(h.status(), "Not discoverable");
  EXPECT_TRUE(h.network.listeners.empty());
  EXPECT_TRUE(h.discovery.services.empty());
  EXPECT_TRUE(std::regex_match(*h.host->pairingPIN(), std::regex("[0-9]{6}")));  // the code is made all the same
  EXPECT_EQ(h.host->hostId(), "11111111-2222-4333-8444-555555555555");
  EXPECT_TRUE(h.logger.has("Executable: nil"));

  h.host->setDiscoverable(true);
  h.loop.drain();
  EXPECT_NE(h.sessionListener(), nullptr);
  EXPECT_EQ(h.settings.boolean("OrvoHost.isDiscoverable"), true);
}

TEST(HostStartup, EmptyStoredHostIdIsReplaced) {
  HostHarness h;
  h.settings.setValue("OrvoHost.hostId", "");
  h.start();
  EXPECT_EQ(h.host->hostId().size(), 36u);
  EXPECT_EQ(h.settings.string("OrvoHost.hostId"), h.host->hostId());
}

TEST(HostStartup, SwitchingDiscoverableOffTearsEverythingDownAndOnTwiceMakesOneListener) {
  HostHarness h;
  h.start();
  auto client = h.connectClient();
  h.host->setDiscoverable(false);
  h.loop.drain();
  EXPECT_EQ(h.status(), "Not discoverable");
  EXPECT_TRUE(client->cancelled);
  EXPECT_EQ(h.host->currentConnection(), nullptr);
  for (const auto& listener : h.network.listeners) EXPECT_TRUE(listener->cancelled);
  for (const auto& service : h.discovery.services) EXPECT_TRUE(service->stopped);
  EXPECT_EQ(h.host->pairingListenerPort(), std::nullopt);

  h.host->setDiscoverable(true);
  h.host->setDiscoverable(true);
  h.loop.drain();
  int live = 0;
  for (const auto& listener : h.network.listeners) live += !listener->cancelled;
  EXPECT_EQ(live, 2);  // one session listener, one pairing listener
}

TEST(HostStartup, ListenerStatusTexts) {
  HostHarness h;
  h.start();
  EXPECT_EQ(h.status(), "Bonjour published: Orvo on Studio (_orvo._tcp.local.)");
  EXPECT_TRUE(h.logger.has("OrvoHost: Bonjour published: Orvo on Studio _orvo._tcp. local."));
  auto listener = h.sessionListener();
  listener->deliverState(platform::ListenerStateKind::waiting, "Network is down");
  h.loop.drain();
  EXPECT_EQ(h.status(), "Waiting: Network is down");
  listener->deliverState(platform::ListenerStateKind::setup);
  h.loop.drain();
  EXPECT_EQ(h.status(), "Setting up…");

  StatusHistory history(*h.host);
  listener->deliverState(platform::ListenerStateKind::ready);
  h.loop.drain();
  const std::string port = std::to_string(*listener->port());
  EXPECT_EQ(history.values, (std::vector<std::string>{
                                "Setting up…",
                                "Listening on port " + port +
                                    " (TLS enabled; 0 paired clients — connections will be rejected until paired)",
                                "Advertising as “Orvo on Studio” on port " + port,
                                "Bonjour published: Orvo on Studio (_orvo._tcp.local.)"}));
}

TEST(HostStartup, ListeningTextCountsPairedClients) {
  HostHarness h;
  h.start();
  for (const auto& [peers, text] : std::vector<std::pair<int, std::string>>{
           {1, " (TLS enabled; 1 paired client)"}, {3, " (TLS enabled; 3 paired clients)"}}) {
    while (static_cast<int>(h.host->pairingStore().paired()->size()) < peers) {
      h.pair("ID-" + std::to_string(h.host->pairingStore().paired()->size()));
    }
    StatusHistory history(*h.host);
    h.host->restartListener();
    h.loop.drain();
    EXPECT_TRUE(history.saw("Listening on port " + std::to_string(*h.sessionListener()->port()) + text)) << peers;
  }
}

TEST(HostStartup, ListenerFailureAndCreationFailure) {
  HostHarness h;
  h.start();
  auto client = h.connectClient();
  h.sessionListener()->deliverState(platform::ListenerStateKind::failed, "Socket closed");
  h.loop.drain();
  EXPECT_EQ(h.status(), "Listener failed: Socket closed");
  EXPECT_EQ(h.host->currentConnection(), nullptr);
  EXPECT_TRUE(client->cancelled);

  h.network.failNextListener = true;
  h.host->restartListener();
  EXPECT_EQ(h.status(), "Failed to start listener: Address already in use");
  EXPECT_TRUE(h.logger.has("OrvoHost listener error: Address already in use"));
}

TEST(HostStartup, AdvertisementRecordsAndRefreshedTxt) {
  HostHarness h;
  h.start();
  auto session = h.discovery.live("_orvo._tcp.");
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->domain, "local.");
  EXPECT_EQ(session->name, "Orvo on Studio");
  EXPECT_EQ(session->port, *h.sessionListener()->port());
  ASSERT_GE(session->txtHistory.size(), 2u);
  const auto& first = session->txtHistory.front();
  EXPECT_EQ(first, (platform::TXTRecord{{"hostId", h.host->hostId()}, {"hostName", "Studio"}}));
  const auto& latest = session->txtHistory.back();
  ASSERT_EQ(latest.size(), 5u);
  EXPECT_EQ(latest[0], (std::pair<std::string, std::string>{"hostId", h.host->hostId()}));
  EXPECT_EQ(latest[1], (std::pair<std::string, std::string>{"pairMode", "pin"}));
  EXPECT_EQ(latest[2].second, base64Encode(h.host->pairingSalt()));
  const auto expiry = static_cast<long long>(*h.host->pairingPinExpiresAt() + 978307200.0);
  EXPECT_EQ(latest[3], (std::pair<std::string, std::string>{"pinExp", std::to_string(expiry)}));
  EXPECT_EQ(latest[4], (std::pair<std::string, std::string>{"pairPort", std::to_string(*h.host->pairingListenerPort())}));

  auto pairing = h.discovery.live("_orvopair._tcp.");
  ASSERT_NE(pairing, nullptr);
  EXPECT_EQ(pairing->name, "Orvo Pair on Studio");
  EXPECT_EQ(pairing->txtHistory.back(), latest);

  h.hostInfo.name.reset();
  h.host->republishServiceIfNeeded();
  EXPECT_EQ(h.discovery.live("_orvo._tcp.")->name, "Orvo on Mac");
  EXPECT_TRUE(session->stopped);
}

TEST(HostStartup, AdvertisementFailureIsReported) {
  HostHarness h;
  h.discovery.publishFailure = "Daemon not running";
  h.start();
  EXPECT_EQ(h.status(), "Bonjour failed: Daemon not running");
  EXPECT_TRUE(h.logger.has("OrvoHost: Bonjour failed: Daemon not running"));
}

TEST(HostStartup, RebuiltListenersAskForTheirPreviousPorts) {
  HostHarness h;
  h.start();
  const auto sessionPort = *h.sessionListener()->port();
  const auto pairingPort = *h.host->pairingListenerPort();
  h.host->restartListener();
  h.host->regeneratePairingCode();
  h.loop.drain();
  EXPECT_EQ(*h.sessionListener()->port(), sessionPort);
  EXPECT_EQ(*h.host->pairingListenerPort(), pairingPort);
  EXPECT_EQ(h.network.preferredPorts.front(), 0);  // the first ones take any port
}

TEST(HostStartup, StoreChangesRebuildTheListenerWithTheKeysOfPeersThatHaveOne) {
  HostHarness h;
  h.start();
  h.pair("A");
  h.pair("B");
  h.host->pairingStore().insertPeer(OrvoPairedPeer{.id = "NO-KEY", .displayName = "Pending"});
  h.loop.drain();
  const auto& keys = h.sessionListener()->parameters.preSharedKeys;
  ASSERT_EQ(keys.size(), 2u);
  for (const auto& key : keys) {
    const std::string secret(key.secret.begin(), key.secret.end());
    EXPECT_TRUE(secret == "A" || secret == "B");
    EXPECT_EQ(key.identity, Bytes(32, 0x41));
  }
  EXPECT_EQ(h.sessionListener()->parameters.cipherSuites, std::vector<std::uint16_t>{0x00A8});
}

}  // namespace
}  // namespace orvo::testing
