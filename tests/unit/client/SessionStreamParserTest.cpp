#include "client/SessionStreamParser.h"

#include <gtest/gtest.h>

#include "streaming/FrameFormat.h"

#include <random>
#include <string>
#include <variant>
#include <vector>

namespace orvo::client {
namespace {

// A frame record exactly as the host's frame producer writes it.
std::string frameRecord(std::uint32_t windowId, const std::string& jpeg) {
  const auto header = makeFrameHeader(windowId, static_cast<std::uint32_t>(jpeg.size()));
  return std::string(header.begin(), header.end()) + jpeg;
}

using Unit = std::variant<std::string, ReceivedFrame>;

struct Collector {
  std::vector<Unit> units;
  SessionStreamParser::Handlers handlers() {
    return {.line = [this](std::string line) { units.emplace_back(std::move(line)); },
            .frame = [this](ReceivedFrame frame) { units.emplace_back(std::move(frame)); }};
  }
};

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A window list, an empty line, a frame whose JPEG holds a line feed and a '{', an empty
// frame, an input rejection and a line ended by CR LF.
const std::string kStream = "{\"type\":\"windowList\",\"windows\":[]}\n\n" +
                            frameRecord(258, std::string("\xFF\xD8{\n\x02\x00 body\xFF\xD9", 14)) +
                            frameRecord(0xFFFFFFFFu, "") +
                            "{\"windowId\":7,\"reason\":\"covered\",\"timestamp\":1.5}\n{\"type\":\"x\"}\r\n";

void expectStreamUnits(const std::vector<Unit>& units) {
  ASSERT_EQ(units.size(), 5u);
  EXPECT_EQ(std::get<std::string>(units[0]), "{\"type\":\"windowList\",\"windows\":[]}");
  const auto& frame = std::get<ReceivedFrame>(units[1]);
  EXPECT_EQ(frame.windowId, 258u);
  EXPECT_EQ(std::string(frame.jpeg.begin(), frame.jpeg.end()), std::string("\xFF\xD8{\n\x02\x00 body\xFF\xD9", 14));
  EXPECT_EQ(std::get<ReceivedFrame>(units[2]).windowId, 0xFFFFFFFFu);
  EXPECT_TRUE(std::get<ReceivedFrame>(units[2]).jpeg.empty());
  EXPECT_EQ(std::get<std::string>(units[3]), "{\"windowId\":7,\"reason\":\"covered\",\"timestamp\":1.5}");
  EXPECT_EQ(std::get<std::string>(units[4]), "{\"type\":\"x\"}\r");
}

TEST(SessionStreamParser, SplitsLinesAndFramesWhereverTheReadsEnd) {
  struct Case {
    const char* name;
    std::vector<std::size_t> cuts;  // chunk sizes, repeated until the stream is fed
  };
  const std::vector<Case> cases = {
      {"whole", {kStream.size()}}, {"byte by byte", {1}}, {"odd chunks", {3, 7, 2}}, {"header split", {41, 4}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Collector collector;
    SessionStreamParser parser(collector.handlers());
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < kStream.size(); ++i) {
      const std::size_t size = std::min(c.cuts[i % c.cuts.size()], kStream.size() - offset);
      ASSERT_TRUE(parser.feed(bytesOf(kStream.substr(offset, size))));
      offset += size;
    }
    EXPECT_FALSE(parser.midUnit());
    expectStreamUnits(collector.units);
  }
}

TEST(SessionStreamParser, RandomSplitsOfManyFramesGiveTheSameUnits) {
  std::string stream;
  for (std::uint32_t i = 0; i < 50; ++i) {
    stream += frameRecord(i, std::string(i * 97, static_cast<char>(i)));
    stream += "{\"type\":\"windowList\",\"windows\":[],\"n\":" + std::to_string(i) + "}\n";
  }
  std::mt19937 random(7);
  Collector collector;
  SessionStreamParser parser(collector.handlers());
  for (std::size_t offset = 0; offset < stream.size();) {
    const std::size_t size = std::min<std::size_t>(1 + random() % 300, stream.size() - offset);
    ASSERT_TRUE(parser.feed(bytesOf(stream.substr(offset, size))));
    offset += size;
  }
  ASSERT_EQ(collector.units.size(), 100u);
  for (std::uint32_t i = 0; i < 50; ++i) {
    const auto& frame = std::get<ReceivedFrame>(collector.units[2 * i]);
    EXPECT_EQ(frame.windowId, i);
    EXPECT_EQ(frame.jpeg, Bytes(i * 97, static_cast<std::uint8_t>(i)));
    EXPECT_NE(std::get<std::string>(collector.units[2 * i + 1]).find("\"n\":" + std::to_string(i) + "}"),
              std::string::npos);
  }
}

TEST(SessionStreamParser, BoundsBreakTheStreamForGood) {
  const SessionStreamParser::Limits limits{.maxLineBytes = 16, .maxFrameBytes = 100};
  struct Case {
    const char* name;
    std::string stream;
    std::size_t unitsBeforeBreak;
    bool breaks;
  };
  const std::vector<Case> cases = {
      {"line at the limit", std::string(16, 'a') + "\n", 1, false},
      {"line one past the limit", std::string(17, 'a'), 0, true},
      {"long line split over reads", std::string(10, 'a') + std::string(10, 'b') + "\n", 0, true},
      {"frame at the limit", frameRecord(1, std::string(100, 'j')), 1, false},
      {"frame above the limit, header only", frameRecord(1, std::string(101, 'j')).substr(0, 9), 0, true},
      {"units before a bad frame survive", "{}\n" + frameRecord(1, std::string(1000, 'j')), 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Collector collector;
    SessionStreamParser parser(collector.handlers(), limits);
    bool ok = true;
    for (std::size_t offset = 0; offset < c.stream.size(); offset += 10) {
      ok = parser.feed(bytesOf(c.stream.substr(offset, 10))) && ok;
    }
    EXPECT_EQ(!ok, c.breaks);
    EXPECT_EQ(parser.broken(), c.breaks);
    EXPECT_EQ(collector.units.size(), c.unitsBeforeBreak);
    if (c.breaks) {
      EXPECT_FALSE(parser.error().empty());
      EXPECT_FALSE(parser.feed(bytesOf("{\"type\":\"ok\"}\n")));
      EXPECT_EQ(collector.units.size(), c.unitsBeforeBreak);
    }
  }
}

TEST(SessionStreamParser, DefaultBoundsAreOneMebibyteLinesAndSixtyFourMebibyteFrames) {
  Collector collector;
  SessionStreamParser parser(collector.handlers());
  EXPECT_TRUE(parser.feed(bytesOf(std::string(1 << 20, 'x'))));
  EXPECT_FALSE(parser.feed(bytesOf("x")));

  SessionStreamParser frames(collector.handlers());
  const std::string header = frameRecord(1, "").substr(0, 5) + std::string("\x01\x00\x00\x04", 4);  // 64 MiB + 1
  EXPECT_FALSE(frames.feed(bytesOf(header)));
  EXPECT_NE(frames.error().find("67108865"), std::string::npos) << frames.error();
}

}  // namespace
}  // namespace orvo::client
