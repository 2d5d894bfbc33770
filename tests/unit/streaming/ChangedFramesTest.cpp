// Frames made from a window's changes: a kept frame answered again, changed rows spliced
// in. Whatever the path, the bytes must be those of a whole capture, scale and encode.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fakes/FakeWindowCapturer.h"
#include "streaming/FrameFormat.h"
#include "streaming/FrameProducer.h"
#include "unit/streaming/StreamingHarness.h"

namespace orvo::testing {
namespace {

using Path = ProducedFrame::Path;

// Draws a random change into the picture and reports its rows: a single pixel, a line of
// text (a few rows, part of the width), a block, a whole-width run of rows, or everything.
void drawChange(FakeWindowCapturer& capturer, std::uint32_t window, int width, int height, std::mt19937& random) {
  auto& pixels = capturer.pixels(window);
  const auto pick = [&](int from, int to) { return std::uniform_int_distribution<int>(from, to)(random); };
  int x0 = 0, y0 = 0, x1 = width, y1 = height;
  switch (pick(0, 4)) {
    case 0:  // one pixel
      x0 = pick(0, width - 1);
      y0 = pick(0, height - 1);
      x1 = x0 + 1;
      y1 = y0 + 1;
      break;
    case 1:  // a typed line
      y0 = pick(0, height - 1);
      y1 = std::min(height, y0 + pick(1, 18));
      x0 = pick(0, width - 1);
      x1 = std::min(width, x0 + pick(1, 400));
      break;
    case 2:  // a block
      x0 = pick(0, width - 1);
      y0 = pick(0, height - 1);
      x1 = std::min(width, x0 + pick(1, width));
      y1 = std::min(height, y0 + pick(1, std::max(1, height / 3)));
      break;
    case 3:  // whole rows
      y0 = pick(0, height - 1);
      y1 = std::min(height, y0 + pick(1, 40));
      break;
    default:  // everything
      break;
  }
  const auto colour = static_cast<std::uint8_t>(pick(0, 255));
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) {
      std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
      p[0] = colour;
      p[1] = static_cast<std::uint8_t>(colour ^ x);
      p[2] = static_cast<std::uint8_t>(colour + y);
    }
  }
  capturer.changeRows(window, y0, y1);
}

TEST(ChangedFramesTest, SplicedFramesAreByteIdenticalToWholeEncodes) {
  struct Size {
    int width, height;
  };
  // Odd sizes; unscaled and scaled for both profiles; edges that end mid-MCU.
  const Size sizes[] = {{1, 1}, {37, 53}, {641, 479}, {2401, 997}};
  std::mt19937 random(1234);
  for (const auto& size : sizes) {
    SCOPED_TRACE(::testing::Message() << size.width << "x" << size.height);
    FakeWindowCapturer capturer;
    capturer.tracksChanges = true;
    capturer.setPicture(7, size.width, size.height, 3);
    FrameProducer producer(capturer);
    FakeWindowCapturer unusedCapturer;
    FrameProducer reference(unusedCapturer);
    int partial = 0;
    int cachedAnswers = 0;
    for (int round = 0; round < 24; ++round) {
      SCOPED_TRACE(::testing::Message() << "round " << round);
      // The profiles take turns unevenly, so each kept frame gathers changes of several rounds.
      const StreamProfile& profile = round % 3 == 2 ? refineProfile : interactiveProfile;
      const double quality = profile.isRefine ? 0.9 : 0.78;
      if (round > 1 && round % 5 != 0) drawChange(capturer, 7, size.width, size.height, random);
      const auto outcome = producer.produce(7, std::nullopt, CaptureMode::isolated, profile, quality);
      ASSERT_TRUE(outcome.frame);
      const auto picture = capturer.captureWindow(7, std::nullopt, CaptureMode::isolated);
      const auto whole = reference.makeFrame(7, *picture, profile, quality);
      ASSERT_TRUE(whole);
      ASSERT_GT(whole->jpegLength, 0u);
      ASSERT_TRUE(outcome.frame->wire == whole->wire) << "path " << static_cast<int>(outcome.frame->path);
      if (outcome.frame->path == Path::partial) ++partial;
      if (outcome.frame->path == Path::cached) ++cachedAnswers;
    }
    // The paths under test were taken.
    EXPECT_GT(partial, 3);
    EXPECT_GT(cachedAnswers, 0);
  }
}

TEST(ChangedFramesTest, OneChangedLineReencodesOnlyItsRowsOfMcus) {
  FakeWindowCapturer capturer;
  capturer.tracksChanges = true;
  capturer.setPicture(7, 1200, 800);
  FrameProducer producer(capturer);
  const auto first = producer.produce(7, std::nullopt, CaptureMode::isolated, interactiveProfile, 0.78);
  ASSERT_TRUE(first.frame);
  EXPECT_EQ(first.frame->path, Path::full);
  EXPECT_EQ(first.frame->encodedMcuRows, 50);  // 800 rows of 16

  // A text line at rows 100…113 lies in rows of MCUs 6 and 7.
  capturer.pixels(7)[(100 * 1200 + 10) * 4] ^= 0xFF;
  capturer.changeRows(7, 100, 114);
  capturer.calls.clear();
  const auto typed = producer.produce(7, std::nullopt, CaptureMode::isolated, interactiveProfile, 0.78);
  ASSERT_TRUE(typed.frame);
  EXPECT_EQ(typed.frame->path, Path::partial);
  EXPECT_EQ(typed.frame->encodedMcuRows, 2);
  EXPECT_TRUE(capturer.calls.empty());  // only the changed rows were read
  ASSERT_EQ(capturer.rowCalls.size(), 1u);
  EXPECT_EQ(capturer.rowCalls[0], (std::vector<platform::RowSpan>{{100, 114}}));

  // Invalidations take the full path: a new quality step, a mode change, a resize.
  struct Case {
    const char* what;
    CaptureMode mode;
    double quality;
    bool resize;
  };
  const Case cases[] = {
      {"quality step", CaptureMode::isolated, 0.70, false},
      {"mode change", CaptureMode::composited, 0.70, false},
      {"resize", CaptureMode::composited, 0.70, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.resize) capturer.setPicture(7, 1100, 700);
    const auto frame = producer.produce(7, std::nullopt, c.mode, interactiveProfile, c.quality);
    ASSERT_TRUE(frame.frame);
    EXPECT_EQ(frame.frame->path, Path::full);
  }
}

TEST(ChangedFramesTest, AStillWindowsQualityWalkIsAnsweredFromKeptFrames) {
  // Without input, a refine frame every 0.4 s lifts the window's one quality, and the
  // interactive frames between walk it back down step by step. From the second walk on, a
  // still window is answered from kept frames alone.
  FakeWindowCapturer capturer;
  capturer.tracksChanges = true;
  capturer.setPicture(7, 1200, 800);
  FrameProducer producer(capturer);
  const double walk[] = {0.56, 0.55, 0.54, 0.53, 0.52, 0.51, 0.50};
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(::testing::Message() << "cycle " << cycle);
    capturer.calls.clear();
    std::vector<Path> paths;
    paths.push_back(producer.produce(7, std::nullopt, CaptureMode::isolated, refineProfile, 0.50).frame->path);
    for (const double quality : walk) {
      paths.push_back(producer.produce(7, std::nullopt, CaptureMode::isolated, interactiveProfile, quality).frame->path);
    }
    if (cycle == 0) {
      EXPECT_EQ(capturer.calls.size(), paths.size());
    } else {
      EXPECT_TRUE(capturer.calls.empty());
      EXPECT_EQ(std::count(paths.begin(), paths.end(), Path::cached), static_cast<std::ptrdiff_t>(paths.size()));
    }
  }
}

TEST(ChangedFramesTest, KeptFramesStayWithinTheirBound) {
  // Many windows of noisy pictures, each at several quality steps: the kept bytes never
  // pass the bound, and the most recent frame is always kept.
  FakeWindowCapturer capturer;
  capturer.tracksChanges = true;
  FrameProducer producer(capturer);
  std::mt19937 random(99);
  for (std::uint32_t window = 1; window <= 12; ++window) {
    capturer.setPicture(window, 1200, 800);
    for (auto& byte : capturer.pixels(window)) byte = static_cast<std::uint8_t>(random());
    for (const double quality : {0.95, 0.90, 0.85}) {
      ASSERT_TRUE(producer.produce(window, std::nullopt, CaptureMode::isolated, refineProfile, quality).frame);
      EXPECT_LE(producer.cachedBytes(), FrameProducer::maxCachedBytes);
      capturer.calls.clear();
      const auto again = producer.produce(window, std::nullopt, CaptureMode::isolated, refineProfile, quality);
      EXPECT_EQ(again.frame->path, Path::cached);
    }
  }
  EXPECT_GT(producer.cachedBytes(), FrameProducer::maxCachedBytes / 2);
}

TEST(ChangedFramesTest, WithoutChangeTrackingEveryFrameIsCapturedWhole) {
  FakeWindowCapturer capturer;  // answers "everything", as on a display without XDamage
  capturer.setPicture(7, 300, 200);
  FrameProducer producer(capturer);
  for (int i = 0; i < 3; ++i) {
    const auto outcome = producer.produce(7, std::nullopt, CaptureMode::isolated, interactiveProfile, 0.78);
    ASSERT_TRUE(outcome.frame);
    EXPECT_EQ(outcome.frame->path, Path::full);
  }
  EXPECT_EQ(capturer.calls.size(), 3u);
}

// Through the pump: a still window costs no capture, and everything after encoding still
// happens for it.
class StillWindowTest : public ::testing::Test, public StreamingHarness {
 protected:
  StillWindowTest() {
    windows.add(5, {0, 0, 400, 300}, "App", "", 100);
    capturer.tracksChanges = true;
    capturer.setPicture(5, 400, 300);
  }
};

TEST_F(StillWindowTest, AStillWindowIsAnsweredFromTheKeptFrameAndItsQualityStillAdapts) {
  // Input keeps frames interactive (the clock stays put, so it stays recent). The small
  // frames push the quality up towards 0.88 without leaving the step 88.
  pump.noteInput(5);
  pump.setJpegQuality(5, 0.879);
  loop.drain();
  std::vector<double> qualities;
  for (int i = 0; i < 4; ++i) {
    request(5);
    completeOldest();
    qualities.push_back(*pump.jpegQuality(5));
  }
  const auto sent = frames();
  // Every request was answered at once, the first from a capture, the rest from the kept
  // frame: the same bytes, no capture.
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(capturer.calls.size(), 1u);
  for (const auto& frame : sent) EXPECT_TRUE(frame.jpeg == sent[0].jpeg);
  // The quality loop still saw each frame's length.
  EXPECT_TRUE(std::is_sorted(qualities.begin(), qualities.end()));
  EXPECT_LT(qualities.front(), qualities.back());
  EXPECT_EQ(jpegQualityNumber(qualities.back()), 88);

  // A change is seen on the next request.
  capturer.pixels(5)[0] ^= 0xFF;
  capturer.changeRows(5, 0, 1);
  request(5);
  completeOldest();
  ASSERT_EQ(frames().size(), 5u);
  EXPECT_FALSE(frames()[4].jpeg == sent[0].jpeg);
  EXPECT_EQ(capturer.rowCalls.size(), 1u);
}

}  // namespace
}  // namespace orvo::testing
