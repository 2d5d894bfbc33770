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

// Eight pairing connections at most, two from one address (the second waits for the
// first's handshake); a new address evicts the oldest one not paired yet; every connection
// is closed 30 s after it came.
TEST_F(PinPairingTest, PairingSlotsArePerAddressEvictTheOldestAndCloseAfterThirtySeconds) {
  auto first = h.pairingListener()->accept("192.0.2.40:1");
  auto queued = h.pairingListener()->accept("192.0.2.40:2");
  auto third = h.pairingListener()->accept("192.0.2.40:3");
  EXPECT_TRUE(first->started);
  EXPECT_FALSE(queued->started || queued->cancelled);
  EXPECT_TRUE(third->cancelled);
  EXPECT_TRUE(h.logger.has("OrvoHost: too many pairing connections from 192.0.2.40; refusing 192.0.2.40:3"));

  // One being answered is never evicted; the oldest unpaired one is.
  auto answered = openPairing("192.0.2.41:1");
  std::vector<std::shared_ptr<FakeConnection>> open;
  for (int i = 42; i <= 46; ++i) open.push_back(h.pairingListener()->accept("192.0.2." + std::to_string(i) + ":1"));
  auto refused = h.pairingListener()->accept("192.0.2.46:2");  // full, and .46 has one
  EXPECT_TRUE(refused->cancelled);
  EXPECT_TRUE(h.logger.has("OrvoHost: too many pairing connections; refusing 192.0.2.46:2"));
  auto newcomer = h.pairingListener()->accept("192.0.2.99:1");
  EXPECT_FALSE(newcomer->cancelled);
  EXPECT_TRUE(first->cancelled);
  EXPECT_FALSE(answered->cancelled);
  EXPECT_TRUE(h.logger.has("OrvoHost: pairing connection given up for a newer address: 192.0.2.40:1"));
  // The evicted handshake had sent its second flight: it may have tried a code, so it counts
  // as a wrong one, and its address's next handshake waits the second that follows one.
  EXPECT_EQ(h.host->pairingStateText(), "open; 1 of 20 failed attempts before pairing is suspended");
  h.loop.advance(0.9);
  EXPECT_FALSE(queued->started);
  h.loop.advance(0.2);
  EXPECT_TRUE(queued->started);

  h.loop.advance(28.8);
  EXPECT_FALSE(answered->cancelled || newcomer->cancelled);
  h.loop.advance(0.2);
  for (const auto& c : open) EXPECT_TRUE(c->cancelled);
  EXPECT_TRUE(answered->cancelled && newcomer->cancelled && queued->cancelled);
  EXPECT_EQ(h.logger.countPrefix("OrvoHost: pairing connection timed out:"), 5u);  // five a period, then a summary
}

// A connection waiting for its turn whose peer closes goes at once (the network reports
// it failed before it was started), and so does one whose first record does not come
// within 2 s; neither counts as a wrong code.
TEST_F(PinPairingTest, WaitingConnectionsThatCloseOrSayNothingFreeTheirSlotAtOnce) {
  auto busy = h.pairingListener()->accept("198.51.100.1:1");
  auto waiting = h.pairingListener()->accept("198.51.100.1:2");
  ASSERT_FALSE(waiting->started);
  waiting->deliverState(platform::ConnectionStateKind::failed, "connection closed by the peer before the handshake");
  h.loop.drain();
  auto again = h.pairingListener()->accept("198.51.100.1:3");
  EXPECT_FALSE(again->cancelled);  // the closed one no longer counts against the address
  again->firstRecord = false;
  h.loop.advance(2.1);
  EXPECT_TRUE(again->cancelled);
  EXPECT_FALSE(busy->cancelled);
  EXPECT_TRUE(h.logger.has("OrvoHost: no TLS record within 2.0 s; closing pairing connection 198.51.100.1:3"));
  EXPECT_EQ(h.host->pairingStateText(), "open");
  // Garbage that fails the handshake in its first record names no key: no wrong code.
  auto garbage = h.pairingListener()->accept("198.51.100.2:1");
  garbage->secondFlight = false;
  garbage->deliverState(platform::ConnectionStateKind::failed, "wrong version number");
  h.loop.drain();
  EXPECT_EQ(h.host->pairingStateText(), "open");
  // A handshake that got as far as its second flight may have: it counts.
  busy->deliverState(platform::ConnectionStateKind::failed, "unknown psk identity");
  h.loop.drain();
  EXPECT_EQ(h.host->pairingStateText(), "open; 1 of 20 failed attempts before pairing is suspended");
}

// Wrong codes from one address never replace the code: that address is slowed (1, 2, 4,
// 8 s) and stopped after five, while a person elsewhere pairs with the code they read.
// A handshake that never finishes counts as one wrong code when its 30 s run out.
TEST_F(PinPairingTest, WrongCodesFromOneAddressKeepTheCodeAndStopThatAddressAfterFive) {
  const auto pin = *h.host->pairingPIN();
  const auto salt = h.host->pairingSalt();
  std::vector<double> startedAt;
  const double t0 = h.loop.clock().now();
  for (int i = 0; i < 6; ++i) {
    auto attempt = h.pairingListener()->accept("198.51.100.9:" + std::to_string(i));
    for (int step = 0; step < 200 && !attempt->started && !attempt->cancelled; ++step) h.loop.advance(0.1);
    if (attempt->cancelled) {
      EXPECT_TRUE(h.logger.has("OrvoHost: 198.51.100.9 tried too many wrong codes; closing 198.51.100.9:5"));
      break;
    }
    startedAt.push_back(h.loop.clock().now() - t0);
    attempt->deliverState(platform::ConnectionStateKind::failed, "unknown psk identity");
    h.loop.drain();
  }
  ASSERT_EQ(startedAt.size(), 5u);
  const std::vector<double> expected = {0, 1, 3, 7, 15};
  for (std::size_t i = 0; i < 5; ++i) EXPECT_NEAR(startedAt[i], expected[i], 0.11) << i;
  EXPECT_EQ(*h.host->pairingPIN(), pin);
  EXPECT_EQ(h.host->pairingSalt(), salt);
  EXPECT_FALSE(h.logger.has("OrvoHost: pairing code replaced after 5 failed attempts"));

  // A stalled handshake from elsewhere counts when its 30 s are over.
  auto staller = h.pairingListener()->accept("198.51.100.10:1");
  EXPECT_TRUE(staller->started);
  h.loop.advance(30.1);
  EXPECT_TRUE(staller->cancelled);
  EXPECT_EQ(h.host->pairingStateText(), "open; 6 of 20 failed attempts before pairing is suspended");

  // The person pairs with the code they read.
  auto person = openPairing("192.0.2.1:1");
  person->deliver("{\"type\":\"pairRequest\",\"clientName\":\"iPad\",\"clientDeviceId\":\"dev-1\"}");
  h.loop.drain();
  EXPECT_EQ(h.host->pairingStore().paired()->size(), 1u);
}

// From many addresses at once, the twentieth wrong code suspends pairing: one log line,
// the published flag, every waiting and new connection closed, and nothing else starts
// until the person asks for a new code.
TEST_F(PinPairingTest, TwentyWrongCodesSuspendPairingUntilANewCodeIsAskedFor) {
  std::vector<bool> states;
  auto watch = h.host->pairingSuspended().subscribe([&](const bool& value) { states.push_back(value); });
  for (int i = 0; i < 20; ++i) {
    auto wrong = h.pairingListener()->accept("203.0.113." + std::to_string(i) + ":1");
    ASSERT_TRUE(wrong->started);
    if (i < 19) {
      wrong->deliverState(platform::ConnectionStateKind::failed, "unknown psk identity");
      h.loop.drain();
      continue;
    }
    // The last one is in progress: it holds the last unit of the budget, so the next
    // address waits rather than starts.
    auto waiting = h.pairingListener()->accept("203.0.113.100:1");
    EXPECT_FALSE(waiting->started);
    wrong->deliverState(platform::ConnectionStateKind::failed, "unknown psk identity");
    h.loop.drain();
    EXPECT_TRUE(waiting->cancelled);
    EXPECT_FALSE(waiting->started);
  }
  EXPECT_TRUE(*h.host->pairingSuspended());
  EXPECT_EQ(states, (std::vector<bool>{false, true}));
  EXPECT_EQ(h.logger.countPrefix("OrvoHost: pairing suspended after 20 failed attempts"), 1u);
  auto refused = h.pairingListener()->accept("192.0.2.1:1");
  EXPECT_TRUE(refused->cancelled);
  EXPECT_FALSE(refused->started);
  // The code's own expiry does not lift it.
  h.loop.advance(601);
  EXPECT_TRUE(*h.host->pairingSuspended());
  EXPECT_TRUE(h.pairingListener()->accept("192.0.2.1:2")->cancelled);

  h.host->requestNewPairingCode();
  h.loop.drain();
  EXPECT_FALSE(*h.host->pairingSuspended());
  auto person = openPairing("192.0.2.1:3");
  EXPECT_TRUE(person->started);
  EXPECT_TRUE(person->hasPendingReceive());

  // Twenty more suspend it again; the forty have used up the bucket, so after the next
  // request handshakes wait for it to refill (one every 30 min), and the status says so.
  for (int i = 0; i < 20; ++i) {
    auto wrong = h.pairingListener()->accept("203.0.114." + std::to_string(i) + ":1");
    ASSERT_TRUE(wrong->started) << i;
    wrong->deliverState(platform::ConnectionStateKind::failed, "unknown psk identity");
    h.loop.drain();
  }
  EXPECT_TRUE(*h.host->pairingSuspended());
  h.host->requestNewPairingCode();
  // (The 601 s above refilled a third of one: 1199 s to go.)
  EXPECT_EQ(h.host->pairingStateText(), "open; too many wrong codes lately: the next attempt can start in 20 min");
  auto patient = h.pairingListener()->accept("192.0.2.2:1");
  h.loop.advance(1189.0);
  EXPECT_FALSE(patient->started);
  EXPECT_TRUE(patient->cancelled);  // closed unstarted after its 30 s
  auto later = h.pairingListener()->accept("192.0.2.3:1");
  EXPECT_FALSE(later->started);
  h.loop.advance(10.1);
  EXPECT_TRUE(later->started);
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
