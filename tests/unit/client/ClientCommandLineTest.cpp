#include "client/ClientCommandLine.h"

#include <gtest/gtest.h>

namespace orvo::client {
namespace {

ClientCommand parse(const std::vector<std::string>& args) {
  const auto parsed = parseClientCommandLine(args);
  EXPECT_TRUE(parsed.command) << parsed.error;
  return parsed.command.value_or(ClientCommand{});
}

TEST(ClientCommandLine, ParsesEachCommand) {
  auto discover = parse({"discover", "--seconds", "1.5", "--verbose"});
  EXPECT_EQ(discover.kind, CommandKind::discover);
  EXPECT_EQ(discover.discoverSeconds, 1.5);
  EXPECT_TRUE(discover.verbose);

  auto pin = parse({"pair", "--pin", "012345", "--host", "127.0.0.1:4001", "--name", "Tab", "--device-id", "d1",
                    "--salt", "AAEC", "--host-id", "H"});
  EXPECT_EQ(pin.kind, CommandKind::pair);
  EXPECT_EQ(pin.pin, "012345");
  EXPECT_EQ(pin.host, "127.0.0.1:4001");
  EXPECT_EQ(pin.deviceName, "Tab");
  EXPECT_EQ(pin.deviceId, "d1");
  EXPECT_EQ(pin.salt, "AAEC");
  EXPECT_EQ(pin.hostId, "H");

  EXPECT_EQ(parse({"pair", "--token", "eyJ9"}).token, "eyJ9");

  auto stream = parse({"stream", "--window", "12", "--window", "0x400007", "--seconds", "2", "--out", "/tmp/f"});
  EXPECT_EQ(stream.windows, (std::vector<std::uint32_t>{12, 0x400007}));
  EXPECT_EQ(stream.streamSeconds, 2.0);
  EXPECT_EQ(stream.frames, std::nullopt);
  EXPECT_EQ(stream.outDir, "/tmp/f");
  EXPECT_EQ(stream.depth, 1);
  EXPECT_EQ(parse({"stream", "--window", "1"}).frames, 100) << "100 frames per window by default";
  EXPECT_EQ(parse({"stream", "--window", "1", "--depth", "2"}).depth, 2);
  EXPECT_EQ(stream.maxFramesPerSecond, std::nullopt) << "unpaced by default";
  EXPECT_EQ(parse({"stream", "--window", "1", "--fps", "12.5"}).maxFramesPerSecond, 12.5);

  struct PointerCase {
    const char* name;
    PointerAction action;
  };
  for (const auto& c : {PointerCase{"click", PointerAction::click}, PointerCase{"down", PointerAction::down},
                        PointerCase{"drag", PointerAction::drag}, PointerCase{"up", PointerAction::up}}) {
    auto pointer = parse({c.name, "--window", "7", "--x", "0.25", "--y", "1e-1", "--button", "right"});
    EXPECT_EQ(pointer.kind, CommandKind::pointer);
    EXPECT_EQ(pointer.pointer, c.action);
    EXPECT_EQ(pointer.window, 7u);
    EXPECT_EQ(pointer.x, 0.25);
    EXPECT_EQ(pointer.y, 0.1);
    EXPECT_EQ(pointer.button, "right");
  }

  auto scroll = parse({"scroll", "--dy", "-120", "--wait", "0"});
  EXPECT_EQ(scroll.dy, -120);
  EXPECT_EQ(scroll.dx, 0);
  EXPECT_EQ(scroll.window, std::nullopt);
  EXPECT_EQ(scroll.wait, 0);

  EXPECT_EQ(parse({"type", "hello world", "--host", "vm"}).text, "hello world");
  EXPECT_EQ(parse({"key", "leftArrow"}).keyCommand, KeyboardCommand::leftArrow);
  EXPECT_EQ(parse({"active", "0x10"}).window, 16u);
  auto mode = parse({"mode", "9", "composited", "--timeout", "3"});
  EXPECT_EQ(mode.window, 9u);
  EXPECT_EQ(mode.captureMode, CaptureMode::composited);
  EXPECT_EQ(mode.timeout, 3);
  EXPECT_EQ(parse({"windows", "--host-id", "H"}).hostId, "H");
  EXPECT_EQ(parse({"--help"}).kind, CommandKind::help);
}

TEST(ClientCommandLine, RejectsWhatItCannotRun) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"fly"},
      {"pair"},
      {"pair", "--pin", "1", "--token", "t"},
      {"pair", "--pin", "1", "--salt", "AAAA"},
      {"pair", "--token", "t", "--host", "vm"},
      {"pair", "--pin"},
      {"stream"},
      {"stream", "--window", "1", "--frames", "10", "--seconds", "1"},
      {"stream", "--window", "1", "--frames", "0"},
      {"stream", "--window", "1", "--frames", "-3"},
      {"stream", "--window", "4294967296"},
      {"stream", "--window", "0xZZ"},
      {"stream", "--window", "1", "--seconds", "nan"},
      {"stream", "--window", "1", "--depth", "0"},
      {"stream", "--window", "1", "--depth", "9"},
      {"stream", "--window", "1", "--fps", "0"},
      {"windows", "--depth", "2"},
      {"click", "--x", "0.5", "--y", "0.5"},
      {"click", "--window", "1", "--x", "half"},
      {"scroll"},
      {"scroll", "--dy", "1", "--wait", "-1"},
      {"type"},
      {"type", "a", "b"},
      {"key", "space"},
      {"mode", "9", "fullscreen"},
      {"mode", "9"},
      {"active", "window"},
      {"discover", "--host", "vm"},
      {"windows", "--frames", "3"},
      {"windows", "extra"},
      {"windows", "--timeout", "0"},
  };
  for (const auto& args : cases) {
    const auto parsed = parseClientCommandLine(args);
    std::string joined;
    for (const auto& arg : args) joined += arg + " ";
    EXPECT_FALSE(parsed.command) << joined;
    EXPECT_FALSE(parsed.error.empty()) << joined;
  }
}

TEST(ParseWindowId, DecimalAndHexadecimalWithinThirtyTwoBits) {
  EXPECT_EQ(parseWindowId("0"), 0u);
  EXPECT_EQ(parseWindowId("4294967295"), 4294967295u);
  EXPECT_EQ(parseWindowId("0xFFFFFFFF"), 4294967295u);
  EXPECT_EQ(parseWindowId("0x1a00007"), 0x1a00007u);
  for (const char* bad : {"", "0x", "-1", "1.5", "4294967296", "0x100000000", " 1", "12a"}) {
    EXPECT_EQ(parseWindowId(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace orvo::client
