#include <gtest/gtest.h>

#include "support/RealHostHarness.h"

namespace orvo::testing {
namespace {

using std::chrono::milliseconds;

class SessionIntegrationTest : public RealHostTest {};

TEST_F(SessionIntegrationTest, PairedKeyCompletesTheHandshakeAndItsLinesAreDispatched) {
  const auto key = pairPrintable("ID-A", 'a');
  ChildProcess client(sClient(sessionPort(), key, "ID-A"));
  ASSERT_TRUE(runUntil([&] { return *host->statusText() == "Client connected"; }))
      << *host->statusText() << "\n" << client.output();
  ASSERT_TRUE(client.write("{\"type\":\"clientHello\",\"deviceName\":\"s_client\",\"platform\":\"openssl\","
                           "\"pairingID\":\"ID-A\"}\n{\"type\":\"requestWindowList\"}\n"));
  ASSERT_TRUE(runUntil([&] { return windowList.requests == 1; }));
  EXPECT_TRUE(runUntil([&] { return *host->connectedClientPairingID() == "ID-A"; }));

  // The host's lines reach the client.
  host->sendMessage(InputRejectedMessage{.windowId = 7, .reason = "r/s", .timestamp = 1});
  EXPECT_TRUE(runUntil([&] {
    return client.output().find("{\"windowId\":7,\"reason\":\"r\\/s\",\"timestamp\":1}\n") != std::string::npos;
  })) << client.output();
}

TEST_F(SessionIntegrationTest, UnknownKeyFailsWithTheConnectionFailedStatus) {
  pairPrintable("ID-A", 'a');
  ChildProcess client(sClient(sessionPort(), Bytes(32, 'z'), "ID-Z"));
  ASSERT_TRUE(runUntil([&] { return host->statusText()->rfind("Connection failed: ", 0) == 0; }))
      << *host->statusText();
  EXPECT_EQ(host->currentConnection(), nullptr);
  EXPECT_TRUE(runUntil([&] { return client.exitStatus().has_value(); }));
}

TEST_F(SessionIntegrationTest, SecondClientReplacesTheFirstOnlyAfterItsHandshakeAndStrangersChangeNothing) {
  const auto keyA = pairPrintable("ID-A", 'a');
  const auto keyB = pairPrintable("ID-B", 'b');
  ChildProcess first(sClient(sessionPort(), keyA, "ID-A"));
  ASSERT_TRUE(runUntil([&] { return host->currentConnection() != nullptr; }));
  const auto firstConnection = host->currentConnection();
  const auto mark = listenerMark();
  first.write("{\"type\":\"clientHello\",\"deviceName\":\"first\",\"platform\":\"x\",\"pairingID\":\"ID-A\"}\n");
  ASSERT_TRUE(runUntil([&] { return *host->connectedClientPairingID() == "ID-A"; }));
  // The hello renames the peer, which rebuilds the listener.
  ASSERT_TRUE(waitForListenerRebuild(mark)) << *host->statusText();
  const std::string status = *host->statusText();

  // Ten unauthenticated connects in a row: wrong keys and a silent TCP client.
  for (int i = 0; i < 10; ++i) {
    ChildProcess stranger(sClient(sessionPort(), Bytes(32, static_cast<std::uint8_t>('k' + i % 5)), "ID-X"));
    ASSERT_TRUE(runUntil([&] { return stranger.exitStatus().has_value(); }, std::chrono::seconds(10)));
  }
  runFor(milliseconds(50));
  EXPECT_EQ(host->currentConnection(), firstConnection);
  EXPECT_EQ(*host->statusText(), status);  // untouched by the strangers
  EXPECT_EQ(*host->connectedClientPairingID(), "ID-A");
  first.write("{\"type\":\"requestWindowList\"}\n");
  ASSERT_TRUE(runUntil([&] { return windowList.requests == 1; }));

  ChildProcess second(sClient(sessionPort(), keyB, "ID-B"));
  ASSERT_TRUE(runUntil([&] { return host->currentConnection() != firstConnection && host->currentConnection(); }));
  EXPECT_EQ(*host->statusText(), "Client connected");
  EXPECT_TRUE(runUntil([&] { return first.exitStatus().has_value(); }));  // the first was closed
}

TEST_F(SessionIntegrationTest, FinalLineBeforeTheClientClosesIsHandledBeforeTheReset) {
  const auto key = pairPrintable("ID-A", 'a');
  ChildProcess client(sClient(sessionPort(), key, "ID-A"));
  ASSERT_TRUE(runUntil([&] { return host->currentConnection() != nullptr; }));
  ASSERT_TRUE(client.write("{\"type\":\"requestWindowList\"}\n"));
  client.closeInput();  // s_client sends close notify after the line
  ASSERT_TRUE(runUntil([&] { return host->currentConnection() == nullptr; })) << client.output();
  EXPECT_EQ(windowList.requests, 1);
  EXPECT_TRUE(logger.has("OrvoHost: connection completed by peer"));
}

}  // namespace
}  // namespace orvo::testing
