// What changed between pictures of a real PipeWire stream: nothing while the window is
// still (and the kept picture still answers), the damaged rows when the producer says
// which, everything when it does not or when the picture's size or place changes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PipeWireTestSupport.h"

namespace orvo::testing {
namespace {

using Rows = std::vector<RowSpan>;

class PipeWireChanges : public PipeWireSuite {
 protected:
  // Sends a fill and waits until the capturer has the picture that shows it.
  void fill(TestProducer& producer, std::uint32_t window, const Fill& f) {
    const std::uint64_t before = capturer->picturesReceived(window);
    char color[8];
    std::snprintf(color, sizeof color, "%06x", f.color);
    producer.command("fill " + std::to_string(f.x) + " " + std::to_string(f.y) + " " + std::to_string(f.width) + " " +
                     std::to_string(f.height) + " " + color);
    ASSERT_TRUE(waitForPictures(window, before + 1)) << producer.output();
  }
};

TEST_F(PipeWireChanges, AStillStreamChangesNothingAndItsPictureStaysAtHand) {
  auto producer = startProducer({"--size", "200x150", "--damage"});
  ASSERT_TRUE(streamFrom(*producer, 1));

  // The first picture is all new.
  EXPECT_TRUE(changes(1).everything);
  const auto first = rows(1, {});
  ASSERT_TRUE(first);
  EXPECT_TRUE(showsPattern(*first, 200, 150, 0, 0));

  // No buffer since: nothing changed, and both kinds of capture still give the picture.
  const std::uint64_t pictures = capturer->picturesReceived(1);
  for (int round = 0; round < 3; ++round) {
    const PictureChanges still = changes(1);
    EXPECT_FALSE(still.everything);
    EXPECT_TRUE(still.rows.empty());
    auto kept = rows(1, still.rows);
    ASSERT_TRUE(kept);
    EXPECT_TRUE(showsPattern(*kept, 200, 150, 0, 0));
    auto whole = capture(1);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->width, 200);
    EXPECT_TRUE(showsPattern(*whole, 200, 150, 0, 0));
  }
  EXPECT_EQ(capturer->picturesReceived(1), pictures);
}

struct DamageCase {
  std::string name;
  std::vector<std::string> options;
  int bufferWidth, bufferHeight, cropX, cropY;
  std::vector<Fill> fills;  // each waited for, then the changes taken once
  bool everything;
  Rows rows;
};

std::ostream& operator<<(std::ostream& out, const DamageCase& c) { return out << c.name; }

class PipeWireDamage : public PipeWireChanges, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(PipeWireDamage, ChangesAreTheDamagedRowsOfThePicture) {
  const DamageCase& c = GetParam();
  auto producer = startProducer(c.options);
  ASSERT_TRUE(streamFrom(*producer, 2));
  ASSERT_TRUE(changes(2).everything);  // the first picture

  for (const Fill& f : c.fills) fill(*producer, 2, f);
  const PictureChanges changed = changes(2);
  EXPECT_EQ(changed.everything, c.everything);
  EXPECT_EQ(changed.rows, c.rows);
  auto picture = changed.everything ? capture(2) : rows(2, changed.rows);
  ASSERT_TRUE(picture);
  EXPECT_TRUE(showsPattern(*picture, c.bufferWidth, c.bufferHeight, c.cropX, c.cropY, c.fills));
  // Taken: nothing more until the next buffer.
  const PictureChanges after = changes(2);
  EXPECT_FALSE(after.everything);
  EXPECT_TRUE(after.rows.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Fills, PipeWireDamage,
    ::testing::Values(
        DamageCase{"OneFill", {"--size", "200x150", "--damage"}, 200, 150, 0, 0, {{10, 40, 30, 20, 0xff0000}}, false,
                   Rows{{40, 60}}},
        // Fills that came as separate pictures before the changes were taken all count.
        DamageCase{"TwoPictures",
                   {"--size", "200x150", "--damage"},
                   200, 150, 0, 0,
                   {{10, 100, 30, 20, 0x00ff00}, {50, 10, 5, 5, 0x0000ff}},
                   false,
                   Rows{{10, 15}, {100, 120}}},
        DamageCase{"TouchingRowsMerge",
                   {"--size", "200x150", "--damage"},
                   200, 150, 0, 0,
                   {{0, 10, 5, 10, 0x123456}, {100, 20, 5, 10, 0x654321}},
                   false,
                   Rows{{10, 30}}},
        // Damage is clipped to the crop and counted in the picture's rows.
        DamageCase{"WithinACrop",
                   {"--size", "300x260", "--crop", "40,30,150,100", "--damage"},
                   300, 260, 40, 30,
                   {{0, 0, 300, 35, 0xff00ff}},
                   false,
                   Rows{{0, 5}}},
        // A change beside the crop changes nothing of the picture.
        DamageCase{"BesideTheCrop",
                   {"--size", "300x260", "--crop", "40,30,150,100", "--damage"},
                   300, 260, 40, 30,
                   {{200, 50, 50, 50, 0xffff00}},
                   false,
                   Rows{}},
        // Without damage metadata nothing tells which rows changed.
        DamageCase{"WithoutDamageMetadata", {"--size", "200x150"}, 200, 150, 0, 0, {{10, 40, 30, 20, 0xff0000}}, true,
                   Rows{}},
        DamageCase{"WithoutDamageMetadataStride0",
                   {"--size", "200x150", "--stride0", "--crop", "0,0,100,100"},
                   200, 150, 0, 0,
                   {{10, 40, 30, 20, 0xff0000}},
                   true,
                   Rows{}}),
    [](const ::testing::TestParamInfo<DamageCase>& param) { return param.param.name; });

TEST_F(PipeWireChanges, APictureTakenWholeStillShowsInTheNextChanges) {
  // The frame path may take a picture whole between two takeChanges (a plain capture); the
  // changes it carried must not be lost for the frames kept from before.
  auto producer = startProducer({"--size", "200x150", "--damage"});
  ASSERT_TRUE(streamFrom(*producer, 3));
  ASSERT_TRUE(changes(3).everything);
  fill(*producer, 3, {0, 70, 10, 10, 0xabcdef});
  ASSERT_TRUE(capture(3));
  fill(*producer, 3, {0, 20, 10, 10, 0xfedcba});
  const PictureChanges changed = changes(3);
  EXPECT_FALSE(changed.everything);
  EXPECT_EQ(changed.rows, (Rows{{20, 30}, {70, 80}}));
}

TEST_F(PipeWireChanges, ANewSizeIsReportedAndChangesEverything) {
  auto producer = startProducer({"--size", "160x120", "--damage"});
  ASSERT_TRUE(streamFrom(*producer, 4));
  ASSERT_TRUE(changes(4).everything);
  ASSERT_EQ(capturer->pictureSize(4), (std::pair{160, 120}));

  // The buffer itself grows: the format is negotiated again.
  producer->command("resize 240 100");
  ASSERT_TRUE(waitUntil([&] { return capturer->pictureSize(4) == std::pair{240, 100}; })) << producer->output();
  EXPECT_TRUE(changes(4).everything);
  auto picture = capture(4);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 240);
  EXPECT_EQ(picture->height, 100);
  EXPECT_TRUE(showsPattern(*picture, 240, 100, 0, 0));
  EXPECT_EQ(recorder.sizes(), (std::vector<EventRecorder::Size>{{4, 160, 120}, {4, 240, 100}}));
}

TEST_F(PipeWireChanges, ACropThatChangesChangesEverything) {
  // GNOME: the window is resized or moved within the monitor-sized buffer.
  auto producer = startProducer({"--size", "300x200", "--crop", "0,0,100,80", "--damage"});
  ASSERT_TRUE(streamFrom(*producer, 5));
  ASSERT_TRUE(changes(5).everything);

  std::uint64_t pictures = capturer->picturesReceived(5);
  producer->command("crop 0,0,120,90");
  ASSERT_TRUE(waitForPictures(5, ++pictures));
  EXPECT_TRUE(changes(5).everything);
  auto grown = capture(5);
  ASSERT_TRUE(grown);
  EXPECT_EQ(grown->width, 120);
  EXPECT_TRUE(showsPattern(*grown, 300, 200, 0, 0));

  // Same size, another place: every row of the picture is different.
  producer->command("crop 30,20,120,90");
  ASSERT_TRUE(waitForPictures(5, ++pictures));
  EXPECT_TRUE(changes(5).everything);
  auto moved = capture(5);
  ASSERT_TRUE(moved);
  EXPECT_TRUE(showsPattern(*moved, 300, 200, 30, 20));
  EXPECT_EQ(recorder.sizes(), (std::vector<EventRecorder::Size>{{5, 100, 80}, {5, 120, 90}}));
}

}  // namespace
}  // namespace orvo::testing
