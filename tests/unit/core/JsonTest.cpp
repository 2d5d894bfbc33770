#include "core/Json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace orvo::json {
namespace {

TEST(JsonEncode, IsCompactWithEscapedSolidusAndRawUtf8) {
  const Json value = {{"path", "a/b"}, {"name", "Émile\n"}, {"n", 1}};
  EXPECT_EQ(encode(value), R"({"path":"a\/b","name":"Émile\n","n":1})");
}

TEST(JsonEncode, TimestampsAreSecondsWithoutSpuriousFraction) {
  EXPECT_EQ(encode(timestamp(0)), "0");
  EXPECT_EQ(encode(timestamp(60)), "60");
  EXPECT_EQ(encode(timestamp(786000000.25)), "786000000.25");
  EXPECT_EQ(encode(timestamp(-1.5)), "-1.5");
}

TEST(JsonEncode, InvalidUtf8IsReplacedNotFatal) {
  const Json value = {{"title", std::string("ok\xff")}};
  EXPECT_EQ(encode(value), "{\"title\":\"ok\xEF\xBF\xBD\"}");
}

struct WindowIdCase {
  const char* json;
  std::optional<std::uint32_t> expected;
};

class WindowIdDecode : public ::testing::TestWithParam<WindowIdCase> {};

TEST_P(WindowIdDecode, AcceptsOnlyIntegralUnsigned32BitValues) {
  const auto parsed = parse(GetParam().json);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(toWindowId(*parsed), GetParam().expected) << GetParam().json;
}

INSTANTIATE_TEST_SUITE_P(EdgeValues, WindowIdDecode,
                         ::testing::Values(WindowIdCase{"0", 0u}, WindowIdCase{"4294967295", 4294967295u},
                                           WindowIdCase{"1.0", 1u}, WindowIdCase{"-1", std::nullopt},
                                           WindowIdCase{"4294967296", std::nullopt},
                                           WindowIdCase{"1.5", std::nullopt}, WindowIdCase{"\"7\"", std::nullopt},
                                           WindowIdCase{"true", std::nullopt},
                                           WindowIdCase{"18446744073709551615", std::nullopt},
                                           WindowIdCase{"1e300", std::nullopt}));

TEST(ObjectReader, RequiredOptionalAndNullRules) {
  const auto value = *parse(R"({"s":"x","n":null,"b":true,"num":2,"extra":[1]})");
  ObjectReader reader(value);
  EXPECT_EQ(reader.requireString("s"), "x");
  EXPECT_EQ(reader.optionalString("n"), std::nullopt);
  EXPECT_EQ(reader.optionalString("absent"), std::nullopt);
  EXPECT_TRUE(reader.requireBool("b"));
  EXPECT_EQ(reader.requireNumber("num"), 2.0);
  EXPECT_TRUE(reader.ok());

  ObjectReader nullRequired(value);
  nullRequired.requireString("n");
  EXPECT_FALSE(nullRequired.ok());

  ObjectReader wrongType(value);
  wrongType.requireString("num");
  EXPECT_FALSE(wrongType.ok());
  EXPECT_NE(wrongType.error().find("num"), std::string::npos);

  ObjectReader boolIsNotNumber(value);
  boolIsNotNumber.requireNumber("b");
  EXPECT_FALSE(boolIsNotNumber.ok());

  ObjectReader notObject(*parse("[1,2]"));
  EXPECT_FALSE(notObject.ok());
}

TEST(JsonParse, ReportsMalformedTextAndAcceptsTrailingCarriageReturn) {
  std::string error;
  EXPECT_FALSE(parse("{\"type\":", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(parse("{\"type\":\"clientPing\"}\r"));
}

TEST(JsonParse, RefusesNestingDeeperThanTheLimitBeforeBuildingTheTree) {
  constexpr std::size_t maxNestingDepth = 256;
  const auto nested = [](std::size_t depth, const std::string& inner) {
    return std::string(depth, '[') + inner + std::string(depth, ']');
  };
  struct Case {
    std::string text;
    bool accepted;
  };
  const Case cases[] = {
      {nested(maxNestingDepth, "1"), true},
      {"{\"a\":" + nested(maxNestingDepth - 1, "") + "}", true},
      {nested(maxNestingDepth + 1, "1"), false},
      {"{\"a\":" + nested(maxNestingDepth, "") + "}", false},
      {nested(200000, ""), false},  // would overflow the stack once copied or written
      // Brackets in strings, escaped quotes included, are text.
      {"[\"" + std::string(1000, '[') + "\\\"" + std::string(1000, '{') + "\"]", true},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(parse(c.text, &error).has_value(), c.accepted) << c.text.substr(0, 40);
    EXPECT_EQ(parseDocument(c.text).has_value(), c.accepted) << c.text.substr(0, 40);
    if (!c.accepted) {
      EXPECT_EQ(error, "arrays and objects nested deeper than 256 levels");
    }
  }
}

}  // namespace
}  // namespace orvo::json
