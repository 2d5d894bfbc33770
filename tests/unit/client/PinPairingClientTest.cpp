#include "client/PinPairingClient.h"

#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "core/Coding.h"
#include "core/testing/VirtualLoop.h"
#include "pairing/PinKey.h"

namespace orvo::client {
namespace {

using testing::FakeConnection;

class PinPairingClientTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeConnection> startPairing(const std::string& pin = " 042917\n") {
    pairing = PinPairingClient::create(loop.main(), network);
    pairing->pair("192.0.2.1", 5000, pin, salt, kHostId, PairRequestMessage{.clientName = "Tab", .clientDeviceId = "dev-1"},
                  [this](const PairingOutcome& outcome) { outcomes.push_back(outcome); }, 15.0);
    return network.made.back().connection;
  }

  static constexpr const char* kHostId = "0D5B4C7E-2C0B-4E9A-8B5E-6C3C1A2B3D4E";
  const Bytes salt = Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const std::string response =
      "{\"type\":\"pairResponse\",\"hostName\":\"vm\",\"serviceName\":\"Orvo on vm\",\"pairingId\":\"A-B\","
      "\"psk\":\"" + base64Encode(Bytes(32, 9)) + "\",\"accepted\":true}";
  testing::VirtualLoop loop;
  testing::RecordingClientNetwork network{loop.main()};
  std::shared_ptr<PinPairingClient> pairing;
  std::vector<PairingOutcome> outcomes;
};

TEST_F(PinPairingClientTest, DerivesTheKeyFromTheTrimmedCodeAndReadsTheAnswerWithoutANewline) {
  auto connection = startPairing();
  const auto& parameters = network.made.back().parameters;
  ASSERT_EQ(parameters.preSharedKeys.size(), 1u);
  EXPECT_EQ(parameters.preSharedKeys[0].identity, derivePinKey("042917", salt, kHostId));
  EXPECT_EQ(parameters.preSharedKeys[0].secret, toBytes("orvo-pin"));
  EXPECT_EQ(parameters.cipherSuites, std::vector<std::uint16_t>{0x00A8});

  connection->deliverState(platform::ConnectionStateKind::ready);
  // One request, read with the host's decoder.
  const std::string sent = connection->sentText();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back(), '\n');
  PairRequestMessage request;
  std::string error;
  ASSERT_TRUE(fromJson(*json::parse(sent), request, error)) << error;
  EXPECT_EQ(request.clientName, "Tab");
  EXPECT_EQ(request.clientDeviceId, "dev-1");
  // The answer arrives in pieces and is complete without a line feed.
  connection->deliver(response.substr(0, 40));
  loop.drain();
  EXPECT_TRUE(outcomes.empty());
  connection->deliver(response.substr(40));
  loop.drain();
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].failure, PairingFailureKind::none) << outcomes[0].description;
  EXPECT_EQ(outcomes[0].response.pairingId, "A-B");
  EXPECT_EQ(outcomes[0].response.psk, Bytes(32, 9));
  EXPECT_TRUE(connection->cancelled);
  loop.advance(20);
  EXPECT_EQ(outcomes.size(), 1u) << "the timeout does not report again";
}

TEST_F(PinPairingClientTest, FailuresAreToldApart) {
  struct Case {
    const char* name;
    std::function<void(FakeConnection&, testing::VirtualLoop&)> act;
    PairingFailureKind kind;
  };
  const std::vector<Case> cases = {
      {"wrong code",
       [](FakeConnection& c, auto&) {
         c.deliverState(platform::ConnectionStateKind::failed,
                        "TLS handshake failed: error:0A000473:SSL routines::tlsv1 alert unknown psk identity");
       },
       PairingFailureKind::refused},
      {"host busy",
       [](FakeConnection& c, auto&) {
         c.deliverState(platform::ConnectionStateKind::failed, platform::kHandshakeClosedBeforeHello);
       },
       PairingFailureKind::busy},
      {"other handshake failure",
       [](FakeConnection& c, auto&) {
         c.deliverState(platform::ConnectionStateKind::failed, "TLS handshake failed: sslv3 alert handshake failure");
       },
       PairingFailureKind::badAnswer},
      {"no listener",
       [](FakeConnection& c, auto&) { c.deliverState(platform::ConnectionStateKind::failed, "Connection refused"); },
       PairingFailureKind::unreachable},
      {"closed without answer",
       [](FakeConnection& c, auto&) {
         c.deliverState(platform::ConnectionStateKind::ready);
         c.deliver("", true);
       },
       PairingFailureKind::badAnswer},
      {"answer that never decodes",
       [](FakeConnection& c, auto&) {
         c.deliverState(platform::ConnectionStateKind::ready);
         c.deliver("{\"type\":\"pairResponse\"}", true);
       },
       PairingFailureKind::badAnswer},
      {"declined",
       [](FakeConnection& c, auto&) {
         c.deliverState(platform::ConnectionStateKind::ready);
         c.deliver("{\"type\":\"pairResponse\",\"hostName\":\"h\",\"serviceName\":\"s\",\"pairingId\":\"p\",\"psk\":\"\","
                   "\"accepted\":false,\"reason\":\"no\"}");
       },
       PairingFailureKind::refused},
      {"endless answer",
       [](FakeConnection& c, auto&) {
         c.deliverState(platform::ConnectionStateKind::ready);
         const std::string chunk = "[" + std::string(4095, ' ');
         for (int i = 0; i < 17 && c.hasPendingReceive(); ++i) c.deliver(chunk);
       },
       PairingFailureKind::badAnswer},
      {"silence", [](FakeConnection& c, testing::VirtualLoop& virtualLoop) {
         c.deliverState(platform::ConnectionStateKind::ready);
         virtualLoop.advance(16);
       },
       PairingFailureKind::timedOut},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    outcomes.clear();
    auto connection = startPairing();
    c.act(*connection, loop);
    loop.drain();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].failure, c.kind) << outcomes[0].description;
    EXPECT_FALSE(outcomes[0].description.empty());
    EXPECT_TRUE(connection->cancelled);
  }
}

}  // namespace
}  // namespace orvo::client
