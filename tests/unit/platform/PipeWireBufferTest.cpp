// Reading PipeWire buffers into pictures, and handing pictures over between the PipeWire
// thread and the capture queue, with the producer's values at their edges: what a
// misbehaving producer can send must never make the capturer read outside the buffer.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/pipewire/BufferPicture.h"
#include "platform/linux/pipewire/PictureHandOver.h"

namespace orvo::platform::pipewire {
namespace {

using Rows = std::vector<RowSpan>;

TEST(PipeWireBuffer, TheCropIsClippedToTheBuffer) {
  struct Case {
    const char* name;
    std::optional<BufferRegion> crop;
    BufferRegion expected;
  };
  for (const Case& c : {
           Case{"none", std::nullopt, {0, 0, 200, 100}},
           Case{"zero size", BufferRegion{10, 10, 0, 0}, {0, 0, 200, 100}},
           Case{"zero height", BufferRegion{10, 10, 50, 0}, {0, 0, 200, 100}},
           Case{"inside", BufferRegion{10, 20, 50, 30}, {10, 20, 50, 30}},
           Case{"exactly the buffer", BufferRegion{0, 0, 200, 100}, {0, 0, 200, 100}},
           Case{"past the right and bottom", BufferRegion{150, 80, 100, 100}, {150, 80, 50, 20}},
           Case{"before the left and top", BufferRegion{-20, -10, 50, 30}, {0, 0, 30, 20}},
           Case{"wholly outside", BufferRegion{300, 300, 10, 10}, {0, 0, 200, 100}},
           Case{"huge", BufferRegion{0, 0, 0xffffffffLL, 0xffffffffLL}, {0, 0, 200, 100}},
       }) {
    EXPECT_EQ(clampCrop(c.crop, 200, 100), c.expected) << c.name;
  }
}

TEST(PipeWireBuffer, APictureIsPlacedOnlyWhereTheChunkHoldsAllOfIt) {
  std::vector<std::uint8_t> memory(4096);
  const BufferMemory mapped{memory.data(), static_cast<std::uint32_t>(memory.size())};
  struct Case {
    const char* name;
    BufferChunk chunk;
    int width, height;
    std::optional<BufferRegion> crop;
    std::string_view why;   // empty: placed
    std::ptrdiff_t first;   // placed: the crop's first byte in the memory
    std::int64_t stride;
  };
  for (const Case& c : {
           Case{"whole", {0, 16 * 8 * 4, 64, false}, 16, 8, std::nullopt, "", 0, 64},
           Case{"stride 0 is width x 4", {0, 16 * 8 * 4, 0, false}, 16, 8, std::nullopt, "", 0, 64},
           Case{"padded rows", {0, 100 * 8, 100, false}, 16, 8, std::nullopt, "", 0, 100},
           Case{"offset", {512, 16 * 8 * 4, 64, false}, 16, 8, std::nullopt, "", 512, 64},
           Case{"offset modulo the memory", {4096 + 512, 16 * 8 * 4, 64, false}, 16, 8, std::nullopt, "", 512, 64},
           Case{"crop", {0, 16 * 8 * 4, 64, false}, 16, 8, BufferRegion{4, 2, 8, 3}, "", 2 * 64 + 4 * 4, 64},
           // The last row needs only the crop's width, not a whole stride.
           Case{"crop at the chunk's end", {0, 7 * 64 + 16 * 4, 64, false}, 16, 8, BufferRegion{8, 6, 8, 2}, "",
                6 * 64 + 8 * 4, 64},
           Case{"one byte short", {0, 7 * 64 + 16 * 4 - 1, 64, false}, 16, 8, BufferRegion{8, 6, 8, 2},
                "smaller than its picture", 0, 0},
           Case{"chunk past the memory", {4000, 16 * 8 * 4, 64, false}, 16, 8, std::nullopt,
                "smaller than its picture", 0, 0},
           Case{"corrupted", {0, 16 * 8 * 4, 64, true}, 16, 8, std::nullopt, "corrupted", 0, 0},
           Case{"empty", {0, 0, 64, false}, 16, 8, std::nullopt, "empty", 0, 0},
           Case{"rows shorter than the width", {0, 16 * 8 * 4, 60, false}, 16, 8, std::nullopt,
                "rows shorter than the picture's width", 0, 0},
           Case{"negative stride", {0, 16 * 8 * 4, -64, false}, 16, 8, std::nullopt,
                "rows shorter than the picture's width", 0, 0},
           Case{"huge stride", {0, 0xffffffffu, 0x7fffffff, false}, 16, 8, std::nullopt, "smaller than its picture", 0,
                0},
       }) {
    std::string_view why;
    const auto placed = placePicture(mapped, c.chunk, c.width, c.height, c.crop, why);
    if (c.why.empty()) {
      ASSERT_TRUE(placed) << c.name << ": " << why;
      EXPECT_EQ(placed->pixels - memory.data(), c.first) << c.name;
      EXPECT_EQ(placed->stride, c.stride) << c.name;
    } else {
      EXPECT_FALSE(placed) << c.name;
      EXPECT_EQ(why, c.why) << c.name;
    }
  }
  std::string_view why;
  EXPECT_FALSE(placePicture(BufferMemory{nullptr, 4096}, {0, 512, 64, false}, 16, 8, std::nullopt, why));
}

TEST(PipeWireBuffer, CopiesGiveBGRXWhateverTheChannelOrder) {
  // 3 x 2 pixels, rows of 16 bytes; the crop leaves out the first column.
  const std::vector<std::uint8_t> bgr = {
      1, 2, 3, 0xAA, 4, 5, 6, 0xAA, 7, 8, 9, 0xAA, 0xEE, 0xEE, 0xEE, 0xEE,
      10, 11, 12, 0xAA, 13, 14, 15, 0xAA, 16, 17, 18, 0xAA, 0xEE, 0xEE, 0xEE, 0xEE,
  };
  const BufferMemory memory{bgr.data(), static_cast<std::uint32_t>(bgr.size())};
  std::string_view why;
  const auto placed = placePicture(memory, {0, 32, 16, false}, 3, 2, BufferRegion{1, 0, 2, 2}, why);
  ASSERT_TRUE(placed) << why;

  Picture picture;
  copyPicture(*placed, ChannelOrder::bgr, picture);
  ASSERT_EQ(picture.width, 2);
  ASSERT_EQ(picture.height, 2);
  EXPECT_EQ(picture.pixels, (std::vector<std::uint8_t>{4, 5, 6, 0xAA, 7, 8, 9, 0xAA, 13, 14, 15, 0xAA, 16, 17, 18, 0xAA}));

  // The same bytes read as R, G, B, x: red and blue trade places.
  copyPicture(*placed, ChannelOrder::rgb, picture);
  EXPECT_EQ(picture.pixels, (std::vector<std::uint8_t>{6, 5, 4, 0xAA, 9, 8, 7, 0xAA, 15, 14, 13, 0xAA, 18, 17, 16, 0xAA}));
}

TEST(PipeWireBuffer, DamageBecomesRowsOfTheCrop) {
  const BufferRegion crop{40, 30, 100, 50};
  struct Case {
    const char* name;
    BufferRegion damage;
    Rows rows;
  };
  for (const Case& c : {
           Case{"inside", {50, 40, 10, 5}, Rows{{10, 15}}},
           Case{"above and into", {0, 0, 300, 35}, Rows{{0, 5}}},
           Case{"below and into", {60, 70, 5, 100}, Rows{{40, 50}}},
           Case{"over all of it", {0, 0, 1000, 1000}, Rows{{0, 50}}},
           Case{"beside, left", {0, 40, 40, 5}, Rows{}},
           Case{"beside, right", {140, 40, 10, 5}, Rows{}},
           Case{"above", {40, 0, 10, 30}, Rows{}},
           Case{"below", {40, 80, 10, 30}, Rows{}},
           Case{"empty", {50, 40, 0, 5}, Rows{}},
       }) {
    PictureChanges changes{false, {}};
    addDamage(changes, crop, c.damage);
    EXPECT_FALSE(changes.everything) << c.name;
    EXPECT_EQ(changes.rows, c.rows) << c.name;
  }
}

TEST(PipeWireBuffer, ChangedRowsStaySortedDisjointAndBounded) {
  PictureChanges changes{false, {}};
  for (RowSpan span : {RowSpan{50, 60}, RowSpan{10, 20}, RowSpan{30, 40}, RowSpan{20, 25}, RowSpan{55, 70},
                       RowSpan{5, 5}}) {
    addChangedRows(changes, span);
  }
  EXPECT_EQ(changes.rows, (Rows{{10, 25}, {30, 40}, {50, 70}}));
  addChangedRows(changes, RowSpan{0, 100});
  EXPECT_EQ(changes.rows, (Rows{{0, 100}}));

  // Past the bound, one span covers them all: correct, and a busy producer cannot grow it.
  PictureChanges many{false, {}};
  for (int i = 0; i <= static_cast<int>(maxChangedSpans); ++i) addChangedRows(many, RowSpan{i * 3, i * 3 + 1});
  EXPECT_EQ(many.rows, (Rows{{0, static_cast<int>(maxChangedSpans) * 3 + 1}}));

  PictureChanges all{true, {}};
  addChangedRows(all, RowSpan{1, 2});
  EXPECT_TRUE(all.rows.empty());
}

// Writes a picture of `width` x `height` filled with `value` through the hand-over.
void publishPicture(PictureHandOver& handOver, int width, int height, std::uint8_t value, const PictureChanges& changes) {
  Picture& picture = handOver.beginWrite();
  picture.reshape(width, height);
  std::fill(picture.pixels.begin(), picture.pixels.end(), value);
  handOver.publish(changes);
}

TEST(PipeWireHandOver, ChangesAreThoseSinceThePreviousTakeChanges) {
  PictureHandOver handOver;
  EXPECT_TRUE(handOver.takeChanges().everything);  // no picture yet
  EXPECT_FALSE(handOver.takeNewest());
  EXPECT_FALSE(handOver.current());

  publishPicture(handOver, 4, 100, 1, PictureChanges{true, {}});
  EXPECT_TRUE(handOver.takeChanges().everything);
  const PictureChanges still = handOver.takeChanges();
  EXPECT_FALSE(still.everything);
  EXPECT_TRUE(still.rows.empty());
  ASSERT_TRUE(handOver.current());
  EXPECT_EQ(handOver.current()->pixels[0], 1);

  // Two pictures before the changes are taken: both pictures' rows, the newest picture.
  publishPicture(handOver, 4, 100, 2, PictureChanges{false, {{10, 20}}});
  publishPicture(handOver, 4, 100, 3, PictureChanges{false, {{50, 60}}});
  EXPECT_EQ(handOver.takeChanges().rows, (Rows{{10, 20}, {50, 60}}));
  EXPECT_EQ(handOver.current()->pixels[0], 3);

  // A picture taken whole in between: its rows still show in the next changes.
  publishPicture(handOver, 4, 100, 4, PictureChanges{false, {{0, 5}}});
  ASSERT_TRUE(handOver.takeNewest());
  publishPicture(handOver, 4, 100, 5, PictureChanges{false, {{90, 100}}});
  EXPECT_EQ(handOver.takeChanges().rows, (Rows{{0, 5}, {90, 100}}));
  EXPECT_EQ(handOver.published(), 5u);
  EXPECT_EQ(handOver.size(), (std::pair{4, 100}));
}

TEST(PipeWireHandOver, TheWriterNeverWritesThePictureTheReaderHolds) {
  PictureHandOver handOver;
  publishPicture(handOver, 8, 8, 7, PictureChanges{true, {}});
  const auto held = handOver.takeNewest();
  ASSERT_TRUE(held);
  for (std::uint8_t value = 8; value < 12; ++value) {
    Picture& next = handOver.beginWrite();
    EXPECT_NE(next.pixels.data(), held->pixels);
    publishPicture(handOver, 8, 8, value, PictureChanges{false, {{0, 1}}});
    EXPECT_EQ(held->pixels[0], 7);
  }
  // The reader's next call takes the newest, and the old one becomes the writer's.
  const auto newest = handOver.takeNewest();
  ASSERT_TRUE(newest);
  EXPECT_EQ(newest->pixels[0], 11);
  EXPECT_NE(&handOver.beginWrite().pixels[0], newest->pixels);
}

TEST(PipeWireHandOver, AnEndedStreamGivesNothing) {
  PictureHandOver handOver;
  publishPicture(handOver, 8, 8, 7, PictureChanges{true, {}});
  ASSERT_TRUE(handOver.takeNewest());
  handOver.end();
  EXPECT_TRUE(handOver.ended());
  EXPECT_FALSE(handOver.takeNewest());
  EXPECT_FALSE(handOver.current());
  EXPECT_TRUE(handOver.takeChanges().everything);
}

TEST(PipeWireHandOver, PicturesKeepTheirMemoryWhileTheSizeStaysAndGiveItBackWhenMuchSmaller) {
  Picture picture;
  picture.reshape(1280, 800);
  const std::uint8_t* memory = picture.pixels.data();
  picture.reshape(1280, 800);
  EXPECT_EQ(picture.pixels.data(), memory);
  EXPECT_EQ(picture.stride(), 1280 * 4);
  picture.reshape(100, 100);
  EXPECT_LT(picture.pixels.capacity(), 1280u * 800 * 4 / 2);
  EXPECT_EQ(picture.pixels.size(), 100u * 100 * 4);
}

}  // namespace
}  // namespace orvo::platform::pipewire
