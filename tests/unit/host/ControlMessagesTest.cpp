#include "host/ControlMessages.h"

#include <gtest/gtest.h>

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

// Decodes the line as the record its type names, the way dispatch does.
bool decodesAsItsType(const std::string& line) {
  const auto envelope = decodeMessage<MessageEnvelope>(line);
  if (!envelope) return false;
  const auto& type = envelope->type;
  if (type == "clientHello") return decodeMessage<ClientHelloMessage>(line).has_value();
  if (type == "clientVisibility") return decodeMessage<ClientVisibilityMessage>(line).has_value();
  if (type == "clientPing") return decodeMessage<ClientPingMessage>(line).has_value();
  if (type == "clientActiveWindow") return decodeMessage<ClientActiveWindowMessage>(line).has_value();
  if (type == "setCaptureMode") return decodeMessage<SetCaptureModeMessage>(line).has_value();
  if (type == "keyboardText") return decodeMessage<KeyboardTextMessage>(line).has_value();
  if (type == "keyboardCommand") return decodeMessage<KeyboardCommandMessage>(line).has_value();
  return decodeMessage<OrvoRequest>(line).has_value();
}

class ControlMessagesDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(ControlMessagesDecode, FollowsTheStrictRules) { EXPECT_EQ(decodesAsItsType(GetParam().line), GetParam().ok); }

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
