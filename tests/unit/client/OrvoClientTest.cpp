#include "client/OrvoClient.h"

#include <gtest/gtest.h>

#include "streaming/FrameFormat.h"

#include "ClientTestSupport.h"
#include "core/testing/VirtualLoop.h"
#include "host/ControlMessages.h"
#include "pairing/OrvoTLS.h"

namespace orvo::client {
namespace {

using testing::FakeConnection;
using testing::sentLines;
using testing::typeOf;

std::string frameRecord(std::uint32_t windowId, const std::string& jpeg) {
  const auto header = makeFrameHeader(windowId, static_cast<std::uint32_t>(jpeg.size()));
  return std::string(header.begin(), header.end()) + jpeg;
}

class OrvoClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handlers.windowList = [this](const WindowListMessage& list) { windowLists.push_back(list); };
    handlers.inputRejected = [this](const InputRejectedMessage& message) { rejections.push_back(message); };
    handlers.frame = [this](ReceivedFrame frame) { frames.push_back(std::move(frame)); };
    handlers.unknownLine = [this](const std::string& line, const std::string&) { unknown.push_back(line); };
    handlers.ended = [this](const SessionEnd& end) { ends.push_back(end); };
    handlers.ready = [this] { ++readyCount; };
  }

  std::shared_ptr<FakeConnection> connect(OrvoClientOptions options = {.deviceName = "Tablet"}) {
    client = OrvoClient::create(loop.main(), network, std::move(options), handlers);
    client->connect("192.0.2.1", 4242, kPairingID, key);
    EXPECT_EQ(network.made.size(), 1u);
    return network.made.back().connection;
  }
  std::shared_ptr<FakeConnection> connectReady() {
    auto connection = connect();
    connection->deliverState(platform::ConnectionStateKind::ready);
    loop.drain();
    return connection;
  }

  static constexpr const char* kPairingID = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
  const Bytes key = Bytes(32, 0x5A);
  testing::VirtualLoop loop;
  testing::RecordingClientNetwork network{loop.main()};
  OrvoClientHandlers handlers;
  std::shared_ptr<OrvoClient> client;
  std::vector<WindowListMessage> windowLists;
  std::vector<InputRejectedMessage> rejections;
  std::vector<ReceivedFrame> frames;
  std::vector<std::string> unknown;
  std::vector<SessionEnd> ends;
  int readyCount = 0;
};

TEST_F(OrvoClientTest, ConnectsWithTheKeyAsIdentityAndThePairingIdAsSecret) {
  auto connection = connect();
  EXPECT_TRUE(connection->started);
  EXPECT_EQ(connection->endpointDescription(), "192.0.2.1:4242");
  const auto& parameters = network.made.back().parameters;
  const auto expected = makePSKParameters(kPairingID, key);  // the host's own key order
  ASSERT_EQ(parameters.preSharedKeys.size(), 1u);
  EXPECT_EQ(parameters.preSharedKeys[0].identity, key);
  EXPECT_EQ(parameters.preSharedKeys[0].secret, toBytes(kPairingID));
  EXPECT_EQ(parameters.preSharedKeys[0].identity, expected.preSharedKeys[0].identity);
  EXPECT_EQ(parameters.cipherSuites, std::vector<std::uint16_t>{0x00A8});
  // Nothing is sent before the handshake.
  EXPECT_FALSE(client->requestWindowList());
  EXPECT_TRUE(connection->sentText().empty());
}

TEST_F(OrvoClientTest, HelloFirstThenAPingEveryIntervalUntilTheSessionEnds) {
  auto connection = connect({.deviceName = "Tablet", .appVersion = "1.0", .pingInterval = 3.0});
  loop.advance(7);
  EXPECT_TRUE(connection->sentText().empty()) << "no ping before the session is ready";
  connection->deliverState(platform::ConnectionStateKind::ready);
  EXPECT_EQ(readyCount, 1);
  ASSERT_TRUE(connection->hasPendingReceive());

  loop.advance(9.5);
  auto lines = sentLines(*connection);
  ASSERT_EQ(lines.size(), 4u);
  const auto hello = decodeMessage<ClientHelloMessage>(lines[0]);  // the host's decoder
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->pairingID, kPairingID);
  EXPECT_EQ(hello->deviceName, "Tablet");
  EXPECT_EQ(hello->platform, "linux");
  EXPECT_EQ(hello->appVersion, "1.0");
  for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i], "{\"type\":\"clientPing\"}");

  connection->deliver("", true);  // the host closes
  loop.advance(30);
  EXPECT_EQ(sentLines(*connection).size(), 4u);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].kind, SessionEndKind::closedByHost);
  EXPECT_TRUE(connection->cancelled);
}

TEST_F(OrvoClientTest, IncomingUnitsReachTheirHandlers) {
  auto connection = connectReady();
  const std::string stream =
      "{\"type\":\"windowList\",\"windows\":[{\"windowId\":9,\"appName\":\"xterm\",\"title\":\"t\",\"width\":640,"
      "\"height\":480,\"statusSummary\":\"busy\"}]}\n" +
      frameRecord(9, "JPEG") + "{\"windowId\":9,\"reason\":\"Window is covered\",\"timestamp\":12.5}\n" +
      "{\"type\":\"futureThing\"}\nnot json\n";
  // Split mid-frame: the frame is reported once whole.
  ASSERT_TRUE(connection->deliver(stream.substr(0, 150)));
  ASSERT_TRUE(connection->hasPendingReceive());
  ASSERT_TRUE(connection->deliver(stream.substr(150)));

  ASSERT_EQ(windowLists.size(), 1u);
  ASSERT_EQ(windowLists[0].windows.size(), 1u);
  EXPECT_EQ(windowLists[0].windows[0].windowId, 9u);
  EXPECT_EQ(windowLists[0].windows[0].statusSummary, "busy");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].windowId, 9u);
  EXPECT_EQ(toString(frames[0].jpeg), "JPEG");
  ASSERT_EQ(rejections.size(), 1u);
  EXPECT_EQ(rejections[0].reason, "Window is covered");
  EXPECT_DOUBLE_EQ(rejections[0].timestamp, 12.5);
  EXPECT_EQ(unknown, (std::vector<std::string>{"{\"type\":\"futureThing\"}", "not json"}));
  EXPECT_TRUE(ends.empty());
}

TEST_F(OrvoClientTest, EveryClientMessageDecodesWithTheHostsDecoder) {
  auto connection = connectReady();
  ASSERT_TRUE(client->requestWindowList());
  ASSERT_TRUE(client->requestWindowSnapshot(4000000000u));
  ASSERT_TRUE(client->sendPointer(PointerAction::click, 9, 0.25, 0.75));
  ASSERT_TRUE(client->sendPointer(PointerAction::down, 9, 0.5, 0.5, "right"));
  ASSERT_TRUE(client->sendPointer(PointerAction::drag, 9, 0.6, 0.5));
  ASSERT_TRUE(client->sendPointer(PointerAction::up, 9, 0.7, 0.5));
  ASSERT_TRUE(client->sendScroll(-3, 120, std::nullopt));
  ASSERT_TRUE(client->sendKeyboardText("héllo / \"x\""));
  ASSERT_TRUE(client->sendKeyboardCommand(KeyboardCommand::backspace));
  ASSERT_TRUE(client->sendActiveWindow(9));
  ASSERT_TRUE(client->sendCaptureMode(9, CaptureMode::composited));
  ASSERT_TRUE(client->sendVisibility(false));
  const auto lines = sentLines(*connection);
  ASSERT_EQ(lines.size(), 13u);  // the hello first

  const std::vector<std::string> types = {"requestWindowList", "requestWindowSnapshot", "mouseClick", "mouseDown",
                                          "mouseDrag",         "mouseUp",               "mouseScroll"};
  std::vector<OrvoRequest> requests;
  for (std::size_t i = 0; i < types.size(); ++i) {
    auto request = decodeMessage<OrvoRequest>(lines[1 + i]);
    ASSERT_TRUE(request) << lines[1 + i];
    EXPECT_EQ(request->type, types[i]);
    requests.push_back(*request);
  }
  EXPECT_EQ(requests[0].windowId, std::nullopt);
  EXPECT_EQ(requests[1].windowId, 4000000000u);
  EXPECT_EQ(requests[2].normX, 0.25);
  EXPECT_EQ(requests[2].normY, 0.75);
  EXPECT_EQ(requests[2].button, std::nullopt);
  EXPECT_EQ(requests[3].button, "right");
  EXPECT_EQ(requests[6].windowId, std::nullopt);
  EXPECT_EQ(requests[6].normX, -3);  // horizontal
  EXPECT_EQ(requests[6].normY, 120);  // vertical
  EXPECT_EQ(decodeMessage<KeyboardTextMessage>(lines[8])->text, "héllo / \"x\"");
  EXPECT_EQ(decodeMessage<KeyboardCommandMessage>(lines[9])->command, KeyboardCommand::backspace);
  EXPECT_EQ(decodeMessage<ClientActiveWindowMessage>(lines[10])->windowId, 9u);
  EXPECT_EQ(decodeMessage<SetCaptureModeMessage>(lines[11])->captureMode, CaptureMode::composited);
  EXPECT_EQ(decodeMessage<ClientVisibilityMessage>(lines[12])->isVisible, false);
}

TEST_F(OrvoClientTest, HowTheSessionEndsIsToldApart) {
  struct Case {
    const char* name;
    bool ready;
    std::function<void(FakeConnection&)> act;
    SessionEndKind kind;
  };
  const std::vector<Case> cases = {
      // Only the host's alert for an unknown identity is a refusal of the key.
      {"unknown key", false,
       [](FakeConnection& c) {
         c.deliverState(platform::ConnectionStateKind::failed,
                        "TLS handshake failed: error:0A000473:SSL routines::tlsv1 alert unknown psk identity");
       },
       SessionEndKind::refused},
      // Closed or reset before the host's hello: its limits, nothing said of the key.
      {"closed before the host's hello", false,
       [](FakeConnection& c) { c.deliverState(platform::ConnectionStateKind::failed, platform::kHandshakeClosedBeforeHello); },
       SessionEndKind::busy},
      {"reset before the host's hello", false,
       [](FakeConnection& c) {
         c.deliverState(platform::ConnectionStateKind::failed,
                        std::string(platform::kHandshakeClosedBeforeHello) + " (Connection reset by peer)");
       },
       SessionEndKind::busy},
      {"closed in the middle of the handshake", false,
       [](FakeConnection& c) {
         c.deliverState(platform::ConnectionStateKind::failed, "TLS handshake failed: connection closed by the peer");
       },
       SessionEndKind::failed},
      {"nothing listening", false,
       [](FakeConnection& c) { c.deliverState(platform::ConnectionStateKind::failed, "Connection refused"); },
       SessionEndKind::unreachable},
      {"host closes", true, [](FakeConnection& c) { c.deliver("", true); }, SessionEndKind::closedByHost},
      {"read error", true, [](FakeConnection& c) { c.deliver("", false, "Connection reset by peer"); },
       SessionEndKind::failed},
      {"oversized frame", true, [](FakeConnection& c) { c.deliver(std::string("\x02\x01\0\0\0\xFF\xFF\xFF\xFF", 9)); },
       SessionEndKind::protocol},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ends.clear();
    network.made.clear();
    auto connection = c.ready ? connectReady() : connect();
    c.act(*connection);
    loop.drain();
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].kind, c.kind) << sessionEndKindName(ends[0].kind) << ": " << ends[0].description;
    EXPECT_FALSE(client->isReady());
    EXPECT_FALSE(client->requestWindowList());
    if (c.ready) {
      EXPECT_TRUE(connection->cancelled);
    }
  }
}

TEST_F(OrvoClientTest, CloseReportsOnceAndAfterSentWaitsForTheQueuedLines) {
  auto connection = connectReady();
  client->requestWindowSnapshot(1);
  bool sent = false;
  ASSERT_TRUE(client->afterSent([&] { sent = true; }));
  loop.drain();
  EXPECT_TRUE(sent);
  client->close();
  client->close();
  loop.drain();
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].kind, SessionEndKind::closed);
  EXPECT_TRUE(connection->cancelled);
  EXPECT_FALSE(client->afterSent([] {}));
}

TEST_F(OrvoClientTest, DroppingTheSessionClosesTheConnectionSilently) {
  auto connection = connectReady();
  client.reset();
  loop.advance(10);
  EXPECT_TRUE(connection->cancelled);
  EXPECT_TRUE(ends.empty());
  EXPECT_EQ(sentLines(*connection).size(), 1u) << "no ping after the session is gone";
}

}  // namespace
}  // namespace orvo::client
