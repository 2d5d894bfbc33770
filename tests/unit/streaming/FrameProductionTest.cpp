#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "streaming/FrameFormat.h"
#include "streaming/FrameProducer.h"
#include "unit/streaming/StreamingHarness.h"

namespace orvo::testing {
namespace {

TEST(FrameFormatTest, TargetSizeFitsTheLongerSideAndNeverEnlarges) {
  struct Case {
    int width, height;
    const StreamProfile* profile;
    FrameSize expected;
  };
  const Case cases[] = {
      {3200, 2000, &interactiveProfile, {1600, 1000}},
      {3200, 2000, &refineProfile, {2300, 1438}},  // 1437.5 rounds away from zero
      {1200, 800, &interactiveProfile, {1200, 800}},
      {5000, 1, &interactiveProfile, {1600, 1}},  // 0.32 rounds to 0, raised to 1
      {900, 4000, &refineProfile, {518, 2300}},   // 517.5 rounds up too
      {1, 1, &refineProfile, {1, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " " << c.profile->name);
    EXPECT_EQ(targetFrameSize(c.width, c.height, c.profile->maxDim), c.expected);
  }
}

TEST(FrameFormatTest, QualityMovesAQuarterOfTheWayToTheClampedEstimate) {
  EXPECT_NEAR(adaptQuality(0.78, 360000, interactiveProfile), 0.7229, 5e-5);
  EXPECT_DOUBLE_EQ(adaptQuality(0.9, 150000, refineProfile), 0.9125);  // √3 × 0.9 clamped to 0.95
  EXPECT_DOUBLE_EQ(adaptQuality(0.78, 180000, interactiveProfile), 0.78);
  EXPECT_DOUBLE_EQ(adaptQuality(0.6, 10'000'000, interactiveProfile), 0.75 * 0.6 + 0.25 * 0.5);
  EXPECT_DOUBLE_EQ(adaptQuality(0.95, 1000, interactiveProfile), 0.75 * 0.95 + 0.25 * 0.88);
  EXPECT_DOUBLE_EQ(adaptQuality(0.83, 0, refineProfile), 0.83);  // an empty frame changes nothing
}

TEST(FrameFormatTest, HeaderIsMarkerThenIdAndLengthLittleEndian) {
  EXPECT_THAT(makeFrameHeader(258, 1000), ::testing::ElementsAre(0x02, 0x02, 0x01, 0x00, 0x00, 0xE8, 0x03, 0x00, 0x00));
  EXPECT_THAT(makeFrameHeader(0xA1B2C3D4, 0xFFFFFFFF),
              ::testing::ElementsAre(0x02, 0xD4, 0xC3, 0xB2, 0xA1, 0xFF, 0xFF, 0xFF, 0xFF));
}

class FrameProductionTest : public ::testing::Test, public StreamingHarness {
 protected:
  FrameProductionTest() { windows.add(5, {10, 20, 4000, 10}, "App", "", 100); }

  // One frame of the window, start to finish.
  void streamOne(std::uint32_t windowId) {
    request(windowId);
    completeOldest();
  }
  FrameProducer& producer() { return pump.producer(); }
};

TEST_F(FrameProductionTest, FramesFollowTheProfileInSizeAndColourAndCarryTheirLength) {
  capturer.setPicture(5, 4000, 10);
  streamOne(5);  // no input yet: refine
  pump.noteInput(5);
  loop.drain();
  streamOne(5);  // input just now: interactive

  const auto sent = frames();
  ASSERT_EQ(sent.size(), 2u);
  std::size_t framed = 0;
  for (const auto& frame : sent) {
    EXPECT_EQ(frame.windowId, 5u);
    EXPECT_GT(frame.jpeg.size(), 100u);
    EXPECT_EQ(frame.jpeg[0], 0xFF);  // the length in the header ends exactly where the JPEG does
    EXPECT_EQ(frame.jpeg.back(), 0xD9);
    framed += 9 + frame.jpeg.size();
  }
  std::size_t sentBytes = 0;
  for (const auto& chunk : connection->chunks()) sentBytes += chunk.size();
  EXPECT_EQ(sentBytes, framed);  // nothing but whole frames on the wire
  EXPECT_EQ(std::pair(sent[0].width, sent[0].height), std::pair(2300, 6));  // 5.75 rounds up
  EXPECT_EQ(std::pair(sent[1].width, sent[1].height), std::pair(1600, 4));
  // Refine frames keep full colour; interactive ones halve it.
  EXPECT_EQ(sent[0].subsampling, TJSAMP_444);
  EXPECT_EQ(sent[1].subsampling, TJSAMP_420);
}

TEST_F(FrameProductionTest, APictureAlreadyAtTargetSizeIsEncodedAsItIs) {
  windows.add(6, {0, 0, 1200, 800});
  capturer.setPicture(6, 1200, 800);
  pump.noteInput(6);
  loop.drain();
  streamOne(6);
  ASSERT_EQ(frames().size(), 1u);
  EXPECT_EQ(std::pair(frames()[0].width, frames()[0].height), std::pair(1200, 800));
}

TEST_F(FrameProductionTest, QualityStartsFromTheProfileAndAdaptsPerWindow) {
  capturer.setPicture(5, 4000, 10);
  pump.noteInput(5);
  loop.drain();
  streamOne(5);
  // A small interactive frame: the estimate is clamped to 0.88.
  EXPECT_DOUBLE_EQ(*pump.jpegQuality(5), 0.75 * 0.78 + 0.25 * 0.88);

  // A stored quality above the interactive range is used as it is.
  pump.setJpegQuality(5, 0.95);
  streamOne(5);
  EXPECT_DOUBLE_EQ(*pump.jpegQuality(5), 0.75 * 0.95 + 0.25 * 0.88);
  EXPECT_FALSE(pump.jpegQuality(6).has_value());
}

TEST_F(FrameProductionTest, HigherQualityMakesLargerFrames) {
  capturer.setPicture(5, 4000, 10);
  pump.noteInput(5);
  loop.drain();
  pump.setJpegQuality(5, 0.3);
  streamOne(5);
  pump.setJpegQuality(5, 0.95);
  streamOne(5);
  ASSERT_EQ(frames().size(), 2u);
  EXPECT_LT(frames()[0].jpeg.size() * 3 / 2, frames()[1].jpeg.size());
}

TEST_F(FrameProductionTest, RefineFramesAreRecordedAndSpacedPerWindow) {
  capturer.setPicture(5, 4000, 10);
  streamOne(5);  // refine at 99.0
  loop.advance(0.2);
  streamOne(5);  // 0.2 s later: interactive
  loop.advance(0.3);
  streamOne(5);  // 0.5 s after the refine frame: refine again
  const auto sent = frames();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].width, 2300);
  EXPECT_EQ(sent[1].width, 1600);
  EXPECT_EQ(sent[2].width, 2300);
}

TEST_F(FrameProductionTest, BuffersAreReusedAcrossFramesProfilesAndWindows) {
  capturer.setPicture(5, 4000, 10);
  loop.advance(0.5);
  streamOne(5);  // refine
  pump.noteInput(5);
  streamOne(5);  // interactive
  const std::size_t made = producer().bufferAllocations();
  EXPECT_GT(made, 0u);
  for (int i = 0; i < 6; ++i) {
    loop.advance(0.5);
    if (i % 2 == 1) pump.noteInput(5);  // alternate refine and interactive frames
    streamOne(5);
  }
  // Other windows no larger share the same buffers.
  for (std::uint32_t id = 10; id < 20; ++id) {
    windows.add(id, {0, 0, 400, 300});
    capturer.setPicture(id, 400, 300);
    streamOne(id);
  }
  ASSERT_EQ(frames().size(), 18u);
  EXPECT_NE(frames()[0].width, frames()[1].width);
  EXPECT_EQ(producer().bufferAllocations(), made);
}

TEST_F(FrameProductionTest, TimingLineOnEverySixtiethFrameHandedToTheNetwork) {
  capturer.setPicture(5, 4000, 10);
  const std::string prefix = "HOST ";
  for (int i = 1; i <= 59; ++i) {
    streamOne(5);
    if (i % 20 == 0) request(404);  // a failed frame is not counted
  }
  EXPECT_EQ(logger.countPrefix(prefix), 0u);
  EXPECT_EQ(logger.countPrefix("OrvoHost: failed snapshot 404"), 2u);
  request(5);  // the 60th; still in flight when the line is written
  EXPECT_EQ(logger.countPrefix(prefix), 1u);
  EXPECT_THAT(logger.lines().back(),
              ::testing::MatchesRegex("HOST win=5 bytes=[0-9]+ mode=(int|ref) q=0\\.[0-9][0-9] cap=0\\.0ms "
                                      "scale=0\\.0ms enc=0\\.0ms total=0\\.0ms inFlight=1/2"));
  completeOldest();
  for (int i = 61; i <= 120; ++i) streamOne(5);
  EXPECT_EQ(logger.countPrefix(prefix), 2u);
}

TEST_F(FrameProductionTest, AFailedNetworkSendStillReleasesTheSlot) {
  capturer.setPicture(5, 4000, 10);
  request(5);
  connection->releaseOldest("connection reset");
  loop.drain();
  EXPECT_EQ(pump.globalHostSnapshotsInFlight(), 0);
  request(5);
  EXPECT_EQ(frames().size(), 2u);
}

}  // namespace
}  // namespace orvo::testing
