// The client library against the host's real session and pairing listeners (real TLS on
// 127.0.0.1) in one process: every exchange the two sides share, from both ends.
#include <gtest/gtest.h>

#include "support/RealHostHarness.h"
#include "client/ClientCredentials.h"
#include "client/OrvoClient.h"
#include "client/PinPairingClient.h"
#include "pairing/PairingMessages.h"

namespace orvo::testing {
namespace {

using client::OrvoClient;
using client::PairingFailureKind;
using client::PairingOutcome;
using client::PinPairingClient;
using client::SessionEnd;
using client::SessionEndKind;

class ClientAgainstHostTest : public RealHostTest {
 protected:
  PairingOutcome pairWithCode(const std::string& code, const std::string& deviceId = "tablet-1") {
    std::optional<PairingOutcome> outcome;
    auto pairing = PinPairingClient::create(main, network);
    pairing->pair("127.0.0.1", *host->pairingListenerPort(), code, host->pairingSalt(), host->hostId(),
                  PairRequestMessage{.clientName = "Tablet", .clientDeviceId = deviceId},
                  [&](const PairingOutcome& result) { outcome = result; });
    EXPECT_TRUE(runUntil([&] { return outcome.has_value(); }));
    return outcome.value_or(PairingOutcome{PairingFailureKind::timedOut, "no outcome", {}});
  }

  // A session with its reports collected.
  struct Session {
    std::shared_ptr<OrvoClient> client;
    bool ready = false;
    std::vector<WindowListMessage> lists;
    std::vector<InputRejectedMessage> rejections;
    std::vector<client::ReceivedFrame> frames;
    std::optional<SessionEnd> end;
  };
  std::unique_ptr<Session> open(const std::string& pairingID, const Bytes& key, const std::string& name = "Tablet") {
    auto session = std::make_unique<Session>();
    auto* s = session.get();
    s->client = OrvoClient::create(main, network, {.deviceName = name, .pingInterval = 2.0},
                                   {.ready = [s] { s->ready = true; },
                                    .windowList = [s](const WindowListMessage& list) { s->lists.push_back(list); },
                                    .inputRejected =
                                        [s](const InputRejectedMessage& message) { s->rejections.push_back(message); },
                                    .frame = [s](client::ReceivedFrame frame) { s->frames.push_back(std::move(frame)); },
                                    .ended = [s](const SessionEnd& end) { s->end = end; }});
    s->client->connect("127.0.0.1", sessionPort(), pairingID, key);
    return session;
  }
};

TEST_F(ClientAgainstHostTest, PairsByCodeThenTalksThroughAWholeSession) {
  const auto mark = listenerMark();
  const auto outcome = pairWithCode(" " + *host->pairingPIN() + " ");
  ASSERT_EQ(outcome.failure, PairingFailureKind::none) << outcome.description;
  ASSERT_EQ(outcome.response.psk.size(), 32u);
  ASSERT_TRUE(runUntil([&] { return host->pairingStore().paired()->size() == 1; }));
  EXPECT_EQ(host->pairingStore().paired()->front().serviceName, "tablet-1");
  ASSERT_TRUE(waitForListenerRebuild(mark)) << *host->statusText();  // with the key

  auto session = open(outcome.response.pairingId, outcome.response.psk, "  Tablet  ");
  ASSERT_TRUE(runUntil([&] { return session->ready; })) << (session->end ? session->end->description : "");
  // The hello named the device and its pairing.
  const std::string hello = "OrvoHost: clientHello = Tablet platform= linux pairingID= " + outcome.response.pairingId;
  ASSERT_TRUE(runUntil([&] { return logger.has(hello); }));
  EXPECT_TRUE(runUntil([&] { return *host->connectedClientPairingID() == outcome.response.pairingId; }));

  session->client->requestWindowList();
  ASSERT_TRUE(runUntil([&] { return windowList.requests == 1; }));
  host->sendMessage(WindowListMessage{.windows = {{.windowId = 77, .appName = "xterm", .title = "a/b",
                                                   .width = 640, .height = 480}}});
  host->sendMessage(InputRejectedMessage{.windowId = 77, .reason = "Window is covered", .timestamp = 3});
  // A frame as the host's send queue writes it: header and JPEG in one item.
  Bytes frame = {0x02, 77, 0, 0, 0, 4, 0, 0, 0, 0xFF, 0xD8, 0xFF, 0xD9};
  host->currentConnection()->send(frame, nullptr);
  // The messages leave through the host's send queue, the frame straight away: either may
  // arrive first.
  ASSERT_TRUE(runUntil(
      [&] { return !session->frames.empty() && !session->lists.empty() && !session->rejections.empty(); }));
  ASSERT_EQ(session->lists.size(), 1u);
  EXPECT_EQ(session->lists[0].windows[0].title, "a/b");
  ASSERT_EQ(session->rejections.size(), 1u);
  EXPECT_EQ(session->rejections[0].reason, "Window is covered");
  EXPECT_EQ(session->frames[0].windowId, 77u);
  EXPECT_EQ(session->frames[0].jpeg, (Bytes{0xFF, 0xD8, 0xFF, 0xD9}));
  EXPECT_FALSE(session->end);
}

TEST_F(ClientAgainstHostTest, WrongCodeIsRefusedAndNothingIsStored) {
  const std::string wrong = *host->pairingPIN() == "000000" ? "000001" : "000000";
  const auto outcome = pairWithCode(wrong);
  EXPECT_EQ(outcome.failure, PairingFailureKind::refused) << outcome.description;
  EXPECT_TRUE(host->pairingStore().paired()->empty());
}

TEST_F(ClientAgainstHostTest, RevocationEndsTheSessionAndTheKeyIsRefusedAfterwards) {
  auto mark = listenerMark();
  const auto outcome = pairWithCode(*host->pairingPIN());
  ASSERT_EQ(outcome.failure, PairingFailureKind::none) << outcome.description;
  ASSERT_TRUE(waitForListenerRebuild(mark)) << *host->statusText();
  auto session = open(outcome.response.pairingId, outcome.response.psk);
  ASSERT_TRUE(runUntil([&] { return *host->connectedClientPairingID() == outcome.response.pairingId; }));

  mark = listenerMark();
  ASSERT_TRUE(host->revokePairing(outcome.response.pairingId));
  ASSERT_TRUE(runUntil([&] { return session->end.has_value(); }));
  EXPECT_EQ(session->end->kind, SessionEndKind::closedByHost) << session->end->description;
  EXPECT_EQ(*host->connectedClientPairingID(), std::nullopt);

  ASSERT_TRUE(waitForListenerRebuild(mark)) << *host->statusText();
  auto again = open(outcome.response.pairingId, outcome.response.psk);
  ASSERT_TRUE(runUntil([&] { return again->end.has_value(); }));
  EXPECT_EQ(again->end->kind, SessionEndKind::refused) << again->end->description;
}

TEST_F(ClientAgainstHostTest, TokenCredentialOpensASessionAndANewerClientReplacesTheOlder) {
  FakeSettingsStore clientSettings;
  FakeSecretStore clientSecrets;
  OrvoPairingStore clientStore(OrvoPairingRole::client, clientSettings, clientSecrets, clock, collator, logger);
  client::ClientCredentials credentials(clientStore, clientSettings, random);
  std::string error;
  const auto invitation = decodePairingToken(host->generatePairingToken("Orvo Client (pending)"), &error);
  ASSERT_TRUE(invitation) << error;
  ASSERT_TRUE(credentials.storeInvitation(*invitation, error)) << error;
  const auto credential = credentials.find(host->hostId(), error);
  ASSERT_TRUE(credential) << error;

  const auto mark = listenerMark();
  const auto pin = pairWithCode(*host->pairingPIN());
  ASSERT_EQ(pin.failure, PairingFailureKind::none) << pin.description;
  ASSERT_TRUE(waitForListenerRebuild(mark)) << *host->statusText();

  auto first = open(credential->peer.id, credential->key, "First");
  ASSERT_TRUE(runUntil([&] { return *host->connectedClientPairingID() == invitation->pairingID; }));
  auto second = open(pin.response.pairingId, pin.response.psk, "Second");
  ASSERT_TRUE(runUntil([&] { return first->end.has_value(); }));
  EXPECT_EQ(first->end->kind, SessionEndKind::closedByHost);
  ASSERT_TRUE(runUntil([&] { return *host->connectedClientPairingID() == pin.response.pairingId; }));
  EXPECT_FALSE(second->end);
  EXPECT_TRUE(second->ready);
}

}  // namespace
}  // namespace orvo::testing
