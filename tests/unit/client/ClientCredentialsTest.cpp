#include "client/ClientCredentials.h"

#include <gtest/gtest.h>

#include "core/Coding.h"
#include "core/testing/VirtualLoop.h"
#include "fakes/FakePlatform.h"
#include "fakes/FakeStores.h"
#include "support/RecordingLogger.h"
#include "pairing/NameCollator.h"

namespace orvo::client {
namespace {

class ClientCredentialsTest : public ::testing::Test {
 protected:
  PairResponseMessage response(const std::string& pairingId, std::uint8_t keyByte,
                               const std::string& service = "Orvo on vm") {
    return {.hostName = "vm", .serviceName = service, .pairingId = pairingId, .psk = Bytes(32, keyByte)};
  }

  testing::FakeSettingsStore settings;
  testing::FakeSecretStore secrets;
  testing::VirtualClock clock{100};
  NameCollator collator{"en"};
  OpenSslRandom random;
  testing::RecordingLogger logger;
  OrvoPairingStore store{OrvoPairingRole::client, settings, secrets, clock, collator, logger};
  ClientCredentials credentials{store, settings, random};
};

TEST_F(ClientCredentialsTest, APairingIsStoredInTheClientRoleUnderTheHostId) {
  const auto stored = credentials.storePairing(response("P1", 1), "H1");
  EXPECT_EQ(stored.peer.stableHostId, "H1");
  EXPECT_EQ(stored.peer.displayName, "vm");
  EXPECT_TRUE(secrets.contains("com.corvane.orvo.psk.client", "P1"));
  ASSERT_TRUE(settings.value("OrvoPairedPeers.client"));

  // A fresh store over the same settings and secrets finds it again.
  OrvoPairingStore reopened(OrvoPairingRole::client, settings, secrets, clock, collator, logger);
  ClientCredentials again(reopened, settings, random);
  std::string error;
  const auto byId = again.find(std::string("H1"), error);
  ASSERT_TRUE(byId) << error;
  EXPECT_EQ(byId->peer.id, "P1");
  EXPECT_EQ(byId->key, Bytes(32, 1));
  const auto only = again.find(std::nullopt, error);
  ASSERT_TRUE(only) << error;
  EXPECT_EQ(only->peer.id, "P1");
}

TEST_F(ClientCredentialsTest, PairingAgainWithTheSameHostReplacesTheOldPairing) {
  credentials.storePairing(response("P1", 1), "H1");
  credentials.storePairing(response("P2", 2, "Orvo on vm #2"), "H1");
  ASSERT_EQ(credentials.peers().size(), 1u);
  EXPECT_EQ(credentials.peers()[0].id, "P2");
  EXPECT_FALSE(secrets.contains("com.corvane.orvo.psk.client", "P1"));
}

// Two hosts that advertise the same name ("Orvo on vm" on two machines called vm) keep a
// pairing each: credentials are keyed by host id. A file written before (entries keyed by
// name, one without a host id) is read as it was, and an old token without a host id still
// replaces the pairing of its name.
TEST_F(ClientCredentialsTest, HostsWithTheSameNameKeepAPairingEachAndOldFilesStillRead) {
  credentials.storePairing(response("P1", 1), "H1");
  credentials.storePairing(response("P2", 2), "H2");
  ASSERT_EQ(credentials.peers().size(), 2u);
  std::string error;
  EXPECT_EQ(credentials.find(std::string("H1"), error)->key, Bytes(32, 1));
  EXPECT_EQ(credentials.find(std::string("H2"), error)->key, Bytes(32, 2));
  EXPECT_TRUE(secrets.contains("com.corvane.orvo.psk.client", "P1"));

  // A list as an earlier client wrote it: one entry with a host id, one without.
  testing::FakeSettingsStore oldSettings;
  testing::FakeSecretStore oldSecrets;
  oldSettings.setValue("OrvoPairedPeers.client",
                       json::Json::array({{{"id", "OLD1"}, {"displayName", "vm"}, {"serviceName", "Orvo on vm"},
                                           {"stableHostId", "H1"}, {"createdAt", 1.0}, {"lastSeenAt", 2.0}},
                                          {{"id", "OLD2"}, {"displayName", "box"}, {"serviceName", "Orvo on box"},
                                           {"createdAt", 1.0}, {"lastSeenAt", 2.0}}}));
  oldSecrets.add("com.corvane.orvo.psk.client", "OLD1", Bytes(32, 7));
  oldSecrets.add("com.corvane.orvo.psk.client", "OLD2", Bytes(32, 8));
  OrvoPairingStore oldStore(OrvoPairingRole::client, oldSettings, oldSecrets, clock, collator, logger);
  ClientCredentials old(oldStore, oldSettings, random);
  ASSERT_EQ(old.peers().size(), 2u);
  EXPECT_EQ(old.find(std::string("H1"), error)->key, Bytes(32, 7));
  // A second host named like the first adds a pairing; re-pairing H1 replaces only H1's.
  old.storePairing(response("NEW2", 3), "H9");
  old.storePairing(response("NEW1", 4), "H1");
  ASSERT_EQ(old.peers().size(), 3u);
  EXPECT_EQ(old.find(std::string("H9"), error)->key, Bytes(32, 3));
  EXPECT_EQ(old.find(std::string("H1"), error)->key, Bytes(32, 4));
  EXPECT_FALSE(oldSecrets.contains("com.corvane.orvo.psk.client", "OLD1"));
  // A token without a host id replaces the entry of its name that has none.
  OrvoPairingInvitation token;
  token.serviceName = "Orvo on box";
  token.hostDisplayName = "box";
  token.pairingID = "TOKEN";
  token.pskBase64 = base64Encode(Bytes(32, 9));
  ASSERT_TRUE(old.storeInvitation(token, error)) << error;
  ASSERT_EQ(old.peers().size(), 3u);
  EXPECT_FALSE(oldSecrets.contains("com.corvane.orvo.psk.client", "OLD2"));
}

TEST_F(ClientCredentialsTest, ChoosingAmongSeveralHostsNeedsAHostId) {
  std::string error;
  EXPECT_FALSE(credentials.find(std::nullopt, error));
  EXPECT_NE(error.find("not paired"), std::string::npos) << error;

  credentials.storePairing(response("P1", 1, "Orvo on a"), "H1");
  credentials.storePairing(response("P2", 2, "Orvo on b"), "H2");
  EXPECT_FALSE(credentials.find(std::nullopt, error));
  EXPECT_NE(error.find("--host-id"), std::string::npos) << error;
  EXPECT_EQ(credentials.find(std::string(" H2 "), error)->peer.id, "P2");
  EXPECT_FALSE(credentials.find(std::string("H3"), error));

  secrets.remove("com.corvane.orvo.psk.client", "P1");
  EXPECT_FALSE(credentials.find(std::string("H1"), error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

TEST_F(ClientCredentialsTest, ATokenIsStoredWithItsHostIdAndABadKeyIsRefused) {
  OrvoPairingInvitation invitation{.serviceName = "Orvo on vm",
                                   .pairingID = "T1",
                                   .pskBase64 = base64Encode(Bytes(32, 3)),
                                   .hostDisplayName = "vm",
                                   .hostId = "H1"};
  std::string error;
  const auto stored = credentials.storeInvitation(invitation, error);
  ASSERT_TRUE(stored) << error;
  EXPECT_EQ(stored->peer.stableHostId, "H1");
  EXPECT_EQ(credentials.find(std::string("H1"), error)->key, Bytes(32, 3));

  invitation.pairingID = "T2";
  invitation.pskBase64 = "not base64!";
  EXPECT_FALSE(credentials.storeInvitation(invitation, error));
  invitation.pskBase64 = "";
  EXPECT_FALSE(credentials.storeInvitation(invitation, error));
  EXPECT_EQ(credentials.peers().size(), 1u);
}

TEST_F(ClientCredentialsTest, TheDeviceIdIsMadeOnceAndKept) {
  const std::string first = credentials.deviceId();
  EXPECT_EQ(first.size(), 36u);
  EXPECT_EQ(credentials.deviceId(), first);
  EXPECT_EQ(settings.string(ClientCredentials::kDeviceIdKey), first);
}

}  // namespace
}  // namespace orvo::client
