#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>

#include "core/Coding.h"
#include "pairing/PairingMessages.h"
#include "pairing/PinKey.h"
#include "unit/host/HostHarness.h"

namespace orvo::testing {
namespace {

constexpr const char* kService = "com.corvane.orvo.psk.host";

class PinPairingTest : public ::testing::Test {
 protected:
  void SetUp() override { h.start(); }

  std::shared_ptr<FakeConnection> openPairing(const std::string& endpoint = "192.0.2.30:6000") {
    auto connection = h.pairingListener()->accept(endpoint);
    connection->deliverState(platform::ConnectionStateKind::ready);
    h.loop.drain();
    return connection;
  }

  HostHarness h;
};

TEST_F(PinPairingTest, CodesAreSixDigitsWithLeadingZeros) {
  struct Case {
    std::uint32_t value;
    const char* pin;
  };
  for (const auto& c : {Case{99999, "099999"}, Case{0, "000000"}, Case{4294967295u, "967295"}, Case{1000000, "000000"}}) {
    for (int shift = 0; shift < 32; shift += 8) h.random.script.push_back(static_cast<std::uint8_t>(c.value >> shift));
    h.host->regeneratePairingCode();
    EXPECT_EQ(*h.host->pairingPIN(), c.pin);
  }
}

TEST_F(PinPairingTest, RegenerationChangesCodeSaltAndExpiryTogetherAndRestartsTheListener) {
  const auto firstSalt = h.host->pairingSalt();
  const auto firstListener = h.pairingListener();
  ASSERT_EQ(firstSalt.size(), 16u);
  EXPECT_EQ(*h.host->pairingPinExpiresAt(), h.loop.clock().now() + 600.0);

  h.host->regeneratePairingCode();
  h.loop.drain();
  EXPECT_NE(h.host->pairingSalt(), firstSalt);
  EXPECT_TRUE(firstListener->cancelled);
  auto listener = h.pairingListener();
  ASSERT_NE(listener, firstListener);
  // The pairing key in the order clients expect: derived key as identity, "orvo-pin" as secret.
  ASSERT_EQ(listener->parameters.preSharedKeys.size(), 1u);
  const auto key = derivePinKey(*h.host->pairingPIN(), h.host->pairingSalt(), h.host->hostId());
  EXPECT_EQ(listener->parameters.preSharedKeys[0].identity, key);
  EXPECT_EQ(listener->parameters.preSharedKeys[0].secret, toBytes("orvo-pin"));
  EXPECT_EQ(std::count(key.begin(), key.end(), 0), 0);

  const auto txt = h.discovery.live("_orvopair._tcp.")->txtHistory.back();
  EXPECT_EQ(txt[2].second, base64Encode(h.host->pairingSalt()));
  EXPECT_EQ(txt[3].second, std::to_string(static_cast<long long>(*h.host->pairingPinExpiresAt() + 978307200.0)));
  EXPECT_EQ(txt[4].second, std::to_string(*listener->port()));
}

TEST_F(PinPairingTest, CodeExpiresAfterSixHundredSeconds) {
  const auto pin = *h.host->pairingPIN();
  const auto salt = h.host->pairingSalt();
  h.loop.advance(599.0);
  EXPECT_EQ(h.host->pairingSalt(), salt);
  h.loop.advance(1.0);
  EXPECT_NE(h.host->pairingSalt(), salt);
  EXPECT_EQ(*h.host->pairingPinExpiresAt(), h.loop.clock().now() + 600.0);
  h.loop.advance(600.0);
  EXPECT_EQ(h.loop.scheduledTimers(), 1u);  // one expiry timer, never more
  (void)pin;
}

TEST_F(PinPairingTest, WithDiscoverableOffRegenerationStartsNoListener) {
  h.host->setDiscoverable(false);
  const auto listeners = h.network.listeners.size();
  h.host->regeneratePairingCode();
  h.loop.drain();
  EXPECT_EQ(h.network.listeners.size(), listeners);
  EXPECT_EQ(h.host->pairingListenerPort(), std::nullopt);
}

TEST_F(PinPairingTest, RequestSplitOneByteAtATimePairsTheDevice) {
  auto connection = openPairing();
  EXPECT_TRUE(h.logger.has("🔐 Pairing conn ready"));
  EXPECT_EQ(connection->receiveMaximum, 4096u);
  const std::string request = "{\"type\":\"pairRequest\",\"clientName\":\"Ada's iPad\",\"clientDeviceId\":\" dev-1 \"}";
  for (const char c : request) {
    ASSERT_TRUE(connection->deliver(std::string(1, c)));
    h.loop.drain();
  }
  EXPECT_FALSE(connection->hasPendingReceive());
  EXPECT_TRUE(connection->cancelled);  // closed once the response went out
  EXPECT_TRUE(h.logger.has("🛑 Pairing conn cancelled"));

  const std::string text = connection->sentText();
  EXPECT_NE(text.back(), '\n');
  PairResponseMessage response;
  std::string error;
  ASSERT_TRUE(fromJson(*json::parse(text), response, error)) << error;
  EXPECT_EQ(response.type, "pairResponse");
  EXPECT_EQ(response.hostName, "Studio");
  EXPECT_EQ(response.serviceName, "Orvo on Studio");
  EXPECT_TRUE(response.accepted);
  EXPECT_EQ(text.find("\"reason\""), std::string::npos);
  EXPECT_EQ(json::parse(text)->at("psk").get<std::string>().size(), 44u);
  ASSERT_EQ(response.psk.size(), 32u);

  const auto& peers = h.host->pairingStore().paired().get();
  ASSERT_EQ(peers.size(), 1u);
  EXPECT_EQ(peers[0].id, response.pairingId);
  EXPECT_EQ(peers[0].displayName, "Ada's iPad");
  EXPECT_EQ(peers[0].serviceName, "dev-1");
  EXPECT_EQ(loadPSK(h.secrets, kService, response.pairingId), response.psk);
  // The session listener admits the new key at once.
  const auto& keys = h.sessionListener()->parameters.preSharedKeys;
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].identity, response.psk);
  EXPECT_EQ(keys[0].secret, toBytes(response.pairingId));
}

TEST_F(PinPairingTest, UndecodableRequestUpToTheLimitKeepsTheConnectionOneMoreByteEndsIt) {
  auto connection = openPairing();
  const std::string block(4096, '{');
  for (int i = 0; i < 16; ++i) {
    ASSERT_TRUE(connection->deliver(block));
    h.loop.drain();
  }
  EXPECT_FALSE(connection->cancelled);  // exactly 65536 bytes
  EXPECT_TRUE(connection->hasPendingReceive());
  connection->deliver("{");
  h.loop.drain();
  EXPECT_TRUE(connection->cancelled);
  EXPECT_TRUE(h.logger.has("OrvoHost: pairing request too large / malformed; cancelling"));
  EXPECT_TRUE(h.host->pairingStore().paired()->empty());
}

TEST_F(PinPairingTest, RequestWithoutDeviceIdIsNeverAccepted) {
  auto connection = openPairing();
  connection->deliver("{\"type\":\"pairRequest\",\"clientName\":\"iPad\"}\n");
  h.loop.drain();
  EXPECT_TRUE(connection->hasPendingReceive());
  connection->deliver("", /*isComplete=*/true);
  h.loop.drain();
  EXPECT_TRUE(connection->cancelled);
  EXPECT_TRUE(connection->sentText().empty());
  EXPECT_TRUE(h.host->pairingStore().paired()->empty());
}

TEST_F(PinPairingTest, WrongCodeFailsTheHandshakeAndStoresNothing) {
  auto connection = h.pairingListener()->accept();
  connection->deliverState(platform::ConnectionStateKind::failed, "decryption failed or bad record mac");
  h.loop.drain();
  EXPECT_TRUE(h.logger.has("❌ Pairing conn failed: decryption failed or bad record mac"));
  EXPECT_TRUE(connection->cancelled);
  EXPECT_TRUE(h.host->pairingStore().paired()->empty());
}

TEST_F(PinPairingTest, PairingTheSameDeviceTwiceKeepsOneEntryAndDeletesTheFirstKey) {
  std::vector<std::string> ids;
  for (int i = 0; i < 2; ++i) {
    auto connection = openPairing();
    connection->deliver("{\"type\":\"pairRequest\",\"clientName\":\"iPad\",\"clientDeviceId\":\"dev-1\"}");
    h.loop.drain();
    ids.push_back(json::parse(connection->sentText())->at("pairingId").get<std::string>());
  }
  ASSERT_EQ(h.host->pairingStore().paired()->size(), 1u);
  EXPECT_EQ(h.host->pairingStore().paired()->front().id, ids[1]);
  EXPECT_FALSE(h.secrets.contains(kService, ids[0]));
  EXPECT_TRUE(h.secrets.contains(kService, ids[1]));
}

// A pairing request's name and device id are kept to 256 bytes of UTF-8, cut before a
// whole character: they go into the settings file.
TEST_F(PinPairingTest, LongNamesInAPairingRequestAreCutTo256Bytes) {
  std::string name = "i";
  for (int i = 0; i < 10000; ++i) name += "\xC3\xA9";  // é, two bytes each: the cut falls inside one
  auto connection = openPairing();
  connection->deliver("{\"type\":\"pairRequest\",\"clientName\":\"" + name + "\",\"clientDeviceId\":\"" +
                      std::string(40000, 'd') + "\"}");
  h.loop.drain();
  ASSERT_EQ(h.host->pairingStore().paired()->size(), 1u);
  const auto& peer = h.host->pairingStore().paired()->front();
  EXPECT_EQ(peer.displayName, name.substr(0, 255));  // "i" and 127 whole é
  EXPECT_EQ(peer.serviceName, std::string(256, 'd'));
}

TEST_F(PinPairingTest, AtMostEightPairingConnectionsEachClosedAfterThirtySeconds) {
  std::vector<std::shared_ptr<FakeConnection>> open;
  for (int i = 0; i < 8; ++i) open.push_back(openPairing("192.0.2.40:" + std::to_string(i)));
  auto ninth = h.pairingListener()->accept("192.0.2.40:9");
  EXPECT_TRUE(ninth->cancelled);
  EXPECT_FALSE(ninth->started);
  EXPECT_TRUE(h.logger.has("OrvoHost: too many pairing connections; refusing 192.0.2.40:9"));

  h.loop.advance(29.9);
  for (const auto& c : open) EXPECT_FALSE(c->cancelled);
  h.loop.advance(0.2);
  for (const auto& c : open) EXPECT_TRUE(c->cancelled);
  EXPECT_EQ(h.logger.countPrefix("OrvoHost: pairing connection timed out:"), 8u);
  auto next = h.pairingListener()->accept("192.0.2.40:10");
  EXPECT_FALSE(next->cancelled);
}

TEST_F(PinPairingTest, OneAddressIsPacedAfterFailuresAndAStalledHandshakeCountsAsOne) {
  const auto salt = h.host->pairingSalt();
  // Two connections from one address: the second waits for the first.
  auto first = h.pairingListener()->accept("198.51.100.1:1000");
  auto second = h.pairingListener()->accept("198.51.100.1:1001");
  auto other = h.pairingListener()->accept("198.51.100.2:1000");
  EXPECT_TRUE(first->started);
  EXPECT_FALSE(second->started);
  EXPECT_TRUE(other->started);  // another address is not held up

  // A failed handshake: the next one from that address starts a second later, not before.
  first->deliverState(platform::ConnectionStateKind::failed, "decrypt error");
  h.loop.drain();
  h.loop.advance(0.9);
  EXPECT_FALSE(second->started);
  h.loop.advance(0.1);
  EXPECT_TRUE(second->started);

  // Handshakes that never finish count when their 30 s run out: with the first failure,
  // five in all replace the code.
  auto third = h.pairingListener()->accept("198.51.100.3:1000");
  auto fourth = h.pairingListener()->accept("198.51.100.4:1000");
  h.loop.advance(30.0);
  EXPECT_TRUE(second->cancelled && other->cancelled && third->cancelled && fourth->cancelled);
  EXPECT_TRUE(h.logger.has("OrvoHost: pairing code replaced after 5 failed attempts"));
  EXPECT_NE(h.host->pairingSalt(), salt);

  // A successful handshake frees the address at once.
  auto busy = h.pairingListener()->accept("198.51.100.5:1000");
  auto waiting = h.pairingListener()->accept("198.51.100.5:1001");
  busy->deliverState(platform::ConnectionStateKind::ready);
  h.loop.drain();
  EXPECT_TRUE(waiting->started);
}

TEST_F(PinPairingTest, PairingListenerFailureClearsThePortAndRefreshesTxt) {
  auto listener = h.pairingListener();
  listener->deliverState(platform::ListenerStateKind::failed, "boom");
  EXPECT_TRUE(h.logger.has("OrvoHost: pairing listener failed: boom"));
  EXPECT_TRUE(listener->cancelled);
  EXPECT_EQ(h.host->pairingListenerPort(), std::nullopt);
  const auto txt = h.discovery.live("_orvo._tcp.")->txtHistory.back();
  EXPECT_EQ(txt.size(), 4u);  // no pairPort
}

TEST_F(PinPairingTest, RevokingTheConnectedDeviceEndsItsSession) {
  h.pair("A");
  h.pair("B", "Vision");
  auto client = h.connectClient();
  h.send(*client, "{\"type\":\"clientHello\",\"deviceName\":\"iPad\",\"platform\":\"iPadOS\",\"pairingID\":\"A\"}\n");
  EXPECT_FALSE(h.host->revokePairing("unknown"));
  EXPECT_EQ(h.host->currentConnection(), client);
  EXPECT_TRUE(h.host->revokePairing("B"));
  EXPECT_EQ(h.host->currentConnection(), client);
  StatusHistory history(*h.host);
  EXPECT_TRUE(h.host->revokePairing(" A "));
  h.loop.drain();
  EXPECT_TRUE(client->cancelled);
  EXPECT_TRUE(h.host->pairingStore().paired()->empty());
  EXPECT_FALSE(h.secrets.contains(kService, "A"));
  EXPECT_TRUE(h.sessionListener()->parameters.preSharedKeys.empty());
  EXPECT_TRUE(history.saw("Client disconnected (Unpaired device revoked)"));
  EXPECT_EQ(*h.host->connectedClientPairingID(), std::nullopt);
}

TEST_F(PinPairingTest, TokensMakePendingPeersWithFiveKeyInvitations) {
  const auto first = h.host->generatePairingToken("Orvo Client (pending)");
  const auto second = h.host->generatePairingToken("Orvo Client (pending)");
  h.loop.drain();
  EXPECT_NE(first, second);
  EXPECT_EQ(*h.host->lastPairingToken(), second);
  EXPECT_EQ(first.find('\n'), std::string::npos);
  ASSERT_EQ(h.host->pairingStore().paired()->size(), 2u);
  for (const auto& peer : h.host->pairingStore().paired().get()) {
    EXPECT_EQ(peer.displayName, "Orvo Client (pending)");
    EXPECT_EQ(peer.serviceName, std::nullopt);
  }
  const auto json = json::parseDocument(toString(*base64Decode(second)));
  ASSERT_TRUE(json);
  std::vector<std::string> keys;
  for (const auto& item : json->items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"serviceName", "pairingID", "pskBase64", "hostDisplayName", "hostId"}));
  const auto invitation = decodePairingToken(second);
  ASSERT_TRUE(invitation);
  EXPECT_EQ(invitation->serviceName, "Orvo on Studio");
  EXPECT_EQ(invitation->hostDisplayName, "Studio");
  EXPECT_EQ(invitation->hostId, h.host->hostId());
  EXPECT_EQ(base64Decode(invitation->pskBase64), loadPSK(h.secrets, kService, invitation->pairingID));
  EXPECT_EQ(base64Decode(invitation->pskBase64)->size(), 32u);
  EXPECT_EQ(h.sessionListener()->parameters.preSharedKeys.size(), 2u);

  EXPECT_TRUE(h.logger.has("OrvoHost: Pairing token generated for service=Orvo on Studio pairingID=" +
                           invitation->pairingID));
  EXPECT_TRUE(h.logger.has("OrvoHost: Pairing token (paste into client):\n" + second + "\n"));

  h.host->setDiscoverable(false);
  const auto offline = decodePairingToken(h.host->generatePairingToken("x"));
  EXPECT_EQ(offline->serviceName, "Orvo on Studio");
}

// The key derivation matches OpenSSL's own HKDF for a few codes and salts.
TEST(DerivePinKey, MatchesOpensslKdfAndTrimsTheCode) {
  struct Vector {
    std::string pin;
    Bytes salt;
    std::string hostId;
  };
  const std::vector<Vector> vectors = {
      {"123456", Bytes(16, 0xAB), "11111111-2222-4333-8444-555555555555"},
      {"000001", {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f},
       "ABCDEFAB-CDEF-4BCD-8EFA-BCDEFABCDEFA"},
      {" 987654\n", Bytes(16, 0x5A), "11111111-2222-4333-8444-555555555555"},
  };
  for (const auto& v : vectors) {
    const std::string ikm = trimWhitespace(v.pin) + "|" + v.hostId;
    const std::string command = "openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt hexkey:" +
                                hexEncode(toBytes(ikm)) + " -kdfopt hexsalt:" + hexEncode(v.salt) +
                                " -kdfopt info:orvo-pair-pin-v1 HKDF 2>&1";
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
    ASSERT_TRUE(pipe);
    char buffer[256] = {};
    ASSERT_TRUE(fgets(buffer, sizeof buffer, pipe.get()));
    std::string expected(buffer);
    std::erase(expected, ':');
    std::erase(expected, '\n');
    for (auto& c : expected) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(hexEncode(derivePinKey(v.pin, v.salt, v.hostId)), expected) << v.pin;
  }
  EXPECT_EQ(derivePinKey(" 123456 ", Bytes(16, 1), "H"), derivePinKey("123456", Bytes(16, 1), "H"));
  EXPECT_NE(derivePinKey("123457", Bytes(16, 1), "H"), derivePinKey("123456", Bytes(16, 1), "H"));
}

}  // namespace
}  // namespace orvo::testing
