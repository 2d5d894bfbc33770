#include "host/ControlMessages.h"

#include <gtest/gtest.h>

#include "unit/host/HostHarness.h"

namespace orvo {
namespace {

TEST(ControlMessagesEncode, InputRejectedHasExactlyItsThreeKeys) {
  const InputRejectedMessage message{
      .windowId = 258, .reason = "Input rejected: top window (7) != target (258)", .timestamp = 786000000.5};
  EXPECT_EQ(encodeMessage(message),
            R"x({"windowId":258,"reason":"Input rejected: top window (7) != target (258)","timestamp":786000000.5})x");
}

TEST(ControlMessagesEncode, WindowListLeavesOutAbsentSummaryAndEscapesSolidus) {
  WindowListMessage message;
  message.windows.push_back({.windowId = 4194310, .appName = "XTerm", .title = "~/src", .width = 1280, .height = 800,
                             .statusSummary = "XTerm: ~/src"});
  message.windows.push_back({.windowId = 5, .appName = "Clock", .title = "", .width = 0, .height = -1});
  EXPECT_EQ(encodeMessage(message),
            R"({"type":"windowList","windows":[{"windowId":4194310,"appName":"XTerm","title":"~\/src","width":1280,)"
            R"("height":800,"statusSummary":"XTerm: ~\/src"},{"windowId":5,"appName":"Clock","title":"","width":0,)"
            R"("height":-1}]})");
  const auto decoded = decodeMessage<WindowListMessage>(encodeMessage(message));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->windows, message.windows);
}

struct DecodeCase {
  const char* name;
  const char* line;
  bool ok;
};

// The handler each type reaches when its line decodes; expects `times` calls of it.
void expectRoute(testing::HostHarness& h, const std::string& type, int times) {
  using ::testing::_;
  if (type == "requestWindowSnapshot") {
    EXPECT_CALL(h.stream, handleSnapshotRequest(_)).Times(times);
  } else if (type.rfind("mouse", 0) == 0) {
    EXPECT_CALL(h.input, handlePointerRequest(::testing::Field(&OrvoRequest::type, type))).Times(times);
  } else if (type == "keyboardText") {
    EXPECT_CALL(h.input, handleKeyboardText(_)).Times(times);
  } else if (type == "keyboardCommand") {
    EXPECT_CALL(h.input, handleKeyboardCommand(_)).Times(times);
  } else if (type == "clientActiveWindow") {
    EXPECT_CALL(h.focus, setClientActiveWindow(_)).Times(times);
  } else if (type == "setCaptureMode") {
    EXPECT_CALL(h.stream, setCaptureMode(_, _)).Times(times);
  }
}

class ControlMessagesDecode : public ::testing::TestWithParam<DecodeCase> {};

// Each line goes through the host's own dispatch, from a visible client with remote control
// allowed: a line that decodes reaches its type's handler and nothing is logged against it;
// one that does not is logged as undecodable and reaches no handler. So a type routed to
// the wrong record (which decodes by other rules) fails here too.
TEST_P(ControlMessagesDecode, FollowsTheStrictRules) {
  testing::HostHarness h;
  h.start();
  h.host->setAllowControlThisMac(true);
  auto client = h.connectClient();
  h.send(*client, "{\"type\":\"clientVisibility\",\"isVisible\":true}\n");
  const std::string line = GetParam().line;
  const auto envelope = decodeMessage<MessageEnvelope>(line);
  if (envelope) expectRoute(h, envelope->type, GetParam().ok ? 1 : 0);
  h.send(*client, line + "\n");
  EXPECT_EQ(h.logger.countPrefix("OrvoHost: failed to decode incoming message:"), GetParam().ok ? 0u : 1u) << line;
  EXPECT_EQ(h.logger.countPrefix("OrvoHost: unknown message type:"), 0u) << line;
  EXPECT_EQ(h.host->currentConnection(), client);  // the session goes on either way
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControlMessagesDecode,
    ::testing::Values(
        DecodeCase{"ping", R"({"type":"clientPing"})", true},
        DecodeCase{"pingWithCR", "{\"type\":\"clientPing\"}\r", true},
        DecodeCase{"unknownKeysIgnored", R"({"type":"clientPing","extra":{"a":[1,2]}})", true},
        DecodeCase{"typeNotString", R"({"type":5})", false},
        DecodeCase{"typeMissing", R"({"windowId":5})", false},
        DecodeCase{"notObject", R"(["clientPing"])", false},
        DecodeCase{"malformed", R"({"type":"clientPing")", false},
        DecodeCase{"snapshotMaxId", R"({"type":"requestWindowSnapshot","windowId":4294967295})", true},
        DecodeCase{"snapshotNegativeId", R"({"type":"requestWindowSnapshot","windowId":-1})", false},
        DecodeCase{"snapshotIdTooLarge", R"({"type":"requestWindowSnapshot","windowId":4294967296})", false},
        DecodeCase{"snapshotFractionalId", R"({"type":"requestWindowSnapshot","windowId":1.5})", false},
        DecodeCase{"snapshotNullId", R"({"type":"requestWindowSnapshot","windowId":null})", true},
        DecodeCase{"mouseDownStringId", R"({"type":"mouseDown","windowId":"5","normX":0.5,"normY":0.5})", false},
        DecodeCase{"clickIntegerCoords", R"({"type":"mouseClick","windowId":5,"normX":1,"normY":0,"button":"right"})",
                   true},
        DecodeCase{"clickButtonNotString", R"({"type":"mouseClick","windowId":5,"button":1})", false},
        DecodeCase{"helloMinimal", R"({"type":"clientHello","deviceName":"iPad","platform":"iPadOS"})", true},
        DecodeCase{"helloNullOptionals",
                   R"({"type":"clientHello","deviceName":"iPad","platform":"iPadOS","pairingID":null,"osVersion":null})",
                   true},
        DecodeCase{"helloWithoutPlatform", R"({"type":"clientHello","deviceName":"iPad"})", false},
        DecodeCase{"helloNullDeviceName", R"({"type":"clientHello","deviceName":null,"platform":"x"})", false},
        DecodeCase{"visibilityNumber", R"({"type":"clientVisibility","isVisible":1})", false},
        DecodeCase{"visibility", R"({"type":"clientVisibility","isVisible":false})", true},
        DecodeCase{"activeWindowMissingId", R"({"type":"clientActiveWindow"})", false},
        DecodeCase{"captureModeIsolated", R"({"type":"setCaptureMode","windowId":1,"captureMode":"isolated"})", true},
        DecodeCase{"captureModeUnknown", R"({"type":"setCaptureMode","windowId":1,"captureMode":"Isolated"})", false},
        DecodeCase{"keyboardCommandUp", R"({"type":"keyboardCommand","command":"upArrow"})", true},
        DecodeCase{"keyboardCommandUnknown", R"({"type":"keyboardCommand","command":"tab"})", false},
        DecodeCase{"keyboardTextMissing", R"({"type":"keyboardText"})", false}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(ControlMessagesDecode, RoundTripsClientRecords) {
  const ClientHelloMessage hello{.pairingID = "ID", .deviceName = "Vision", .platform = "visionOS", .appVersion = "2.1"};
  EXPECT_EQ(encodeMessage(hello), R"({"type":"clientHello","pairingID":"ID","deviceName":"Vision","platform":"visionOS","appVersion":"2.1"})");
  const auto decoded = decodeMessage<ClientHelloMessage>(encodeMessage(hello));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->pairingID, "ID");
  EXPECT_EQ(decoded->deviceModel, std::nullopt);

  const auto command = decodeMessage<KeyboardCommandMessage>(encodeMessage(KeyboardCommandMessage{.command = KeyboardCommand::downArrow}));
  ASSERT_TRUE(command);
  EXPECT_EQ(command->command, KeyboardCommand::downArrow);

  const auto mode = decodeMessage<SetCaptureModeMessage>(
      encodeMessage(SetCaptureModeMessage{.windowId = 9, .captureMode = CaptureMode::isolated}));
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->captureMode, CaptureMode::isolated);

  const OrvoRequest scroll{.type = "mouseScroll", .windowId = 3, .normY = -2.5};
  EXPECT_EQ(encodeMessage(scroll), R"({"type":"mouseScroll","windowId":3,"normY":-2.5})");
}

}  // namespace
}  // namespace orvo
