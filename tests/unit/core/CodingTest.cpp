#include "core/Coding.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "core/Log.h"

namespace orvo {
namespace {

TEST(Base64, RoundTripsAndMatchesKnownVectors) {
  EXPECT_EQ(base64Encode(toBytes("")), "");
  EXPECT_EQ(base64Encode(toBytes("f")), "Zg==");
  EXPECT_EQ(base64Encode(toBytes("fo")), "Zm8=");
  EXPECT_EQ(base64Encode(toBytes("foobar")), "Zm9vYmFy");
  for (const char* text : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
    EXPECT_EQ(base64Decode(base64Encode(toBytes(text))), toBytes(text)) << text;
  }
  const Bytes binary = {0, 0xff, 0x10, 0x80, 0x00};
  EXPECT_EQ(base64Decode(base64Encode(binary)), binary);
}

TEST(Base64, RejectsMalformedText) {
  for (const char* text : {"Zg=", "Zg=a", "Z===", "Zm9v\n", "Zm 9", "Zm9v*A==", "=Zm9"}) {
    EXPECT_EQ(base64Decode(text), std::nullopt) << text;
  }
}

class CountingRandom final : public RandomSource {
 public:
  // Yields zeros for the first `zeros` bytes, then 0xAB.
  explicit CountingRandom(int zeros) : zeros_(zeros) {}
  void fill(std::span<std::uint8_t> out) override {
    for (auto& b : out) b = zeros_-- > 0 ? 0 : 0xAB;
  }

 private:
  int zeros_;
};

TEST(RandomKeyBytes, RedrawsEveryZeroByte) {
  CountingRandom random(40);
  const Bytes key = randomKeyBytes(random, 32);
  ASSERT_EQ(key.size(), 32u);
  for (const auto b : key) EXPECT_NE(b, 0);
}

TEST(Uuid, IsCanonicalUpperCaseVersion4AndUnique) {
  OpenSslRandom random;
  const std::regex canonical("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const auto id = makeUUIDString(random);
    EXPECT_TRUE(std::regex_match(id, canonical)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(TrimWhitespace, TrimsAsciiAndUnicodeSpaceAtBothEndsOnly) {
  EXPECT_EQ(trimWhitespace("  iPad  "), "iPad");
  EXPECT_EQ(trimWhitespace("\t\r\n 123456 \n"), "123456");
  EXPECT_EQ(trimWhitespace("\u00A0\u3000name with space\u2028"), "name with space");
  EXPECT_EQ(trimWhitespace("   "), "");
  EXPECT_EQ(trimWhitespace("é"), "é");
}

TEST(LogFormatting, DoublesAndEscapes) {
  EXPECT_EQ(formatDouble(500), "500.0");
  EXPECT_EQ(formatDouble(0.72295), "0.72295");
  EXPECT_EQ(escapeForLog("a\nOrvoHost: fake\x1b[2J\x7f"), "a\\nOrvoHost: fake\\x1b[2J\\x7f");
  EXPECT_EQ(escapeForLog("Émile \xC2\x85"), "Émile \\u{85}");
}

}  // namespace
}  // namespace orvo
