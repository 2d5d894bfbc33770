// Window titles and class names arrive from other programs as raw bytes; they must always
// come out as valid UTF-8 with the readable part intact.

#include "platform/linux/x11/X11Text.h"

#include <gtest/gtest.h>

#include <string>

namespace orvo::platform::x11 {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(X11Text, Utf8IsKeptAndEveryMalformedSequenceBecomesOneReplacement) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"Grüße ✓ 日本 🙂", "Grüße ✓ 日本 🙂"},
      {"a\xFF" "b", "a" + kReplacement + "b"},                    // byte that never starts a sequence
      {"\x80x", kReplacement + "x"},                              // stray continuation byte
      {"\xC0\xAF", kReplacement},                                 // overlong '/' 
      {"\xE0\x80\xAF", kReplacement},                             // overlong three-byte form
      {"\xED\xA0\x80", kReplacement},                             // UTF-16 surrogate
      {"\xF4\x90\x80\x80", kReplacement},                         // above U+10FFFF
      {"ab\xE2\x9C", "ab" + kReplacement},                        // cut short at the end
      {"\xE2\x9C" "a", kReplacement + "a"},                       // cut short before ASCII
      {std::string("one\0two", 7), "one"},                        // text ends at NUL
  };
  for (const auto& c : cases) EXPECT_EQ(sanitizeUtf8(c.in), c.out) << c.in;
}

TEST(X11Text, Latin1BecomesUtf8) {
  EXPECT_EQ(latin1ToUtf8("Caf\xE9 \xA9 \xFF"), "Café © ÿ");
  EXPECT_EQ(latin1ToUtf8(std::string("x\0y", 3)), "x");
}

TEST(X11Text, CompoundTextDecodesLatin1AndUtf8SegmentsAndMarksTheRest) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"Caf\xE9", "Café"},                                           // default: ASCII + Latin-1 right half
      {"\x1B%G" "日本\x1B%@ ok", "日本 ok"},                           // UTF-8 segment
      {"\x1B%G" "open", "open"},                                     // UTF-8 segment never closed
      {"\x1B$(B\x30\x21\x1B(B!", kReplacement + "!"},                // two-byte set: one mark per character
      {"\x1B-B\xE9\x1B-A\xE9", kReplacement + "é"},                  // Latin-2 right half, then Latin-1 again
      {"a\x1B%/1\x80\x83xyz" "b", "a" + kReplacement + "b"},         // extended segment of 3 bytes skipped
      {"\x9B" "1]x\x9B]", "x"},                                      // direction controls
      {"cut\x1B", "cut"},                                            // escape cut short
      {"\x1B%/1\xFF", ""},                                           // extended segment cut short
  };
  for (const auto& c : cases) EXPECT_EQ(compoundTextToUtf8(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace orvo::platform::x11
