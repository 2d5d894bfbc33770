#include "client/StreamStats.h"

#include <gtest/gtest.h>

#include "core/Bytes.h"

namespace orvo::client {
namespace {

// SOI, an APP0 segment, a DQT stub, then a baseline frame header of the given size.
Bytes jpegHeader(int width, int height, std::uint8_t sofMarker = 0xC0) {
  Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 'J', 'F', 0xFF, 0xDB, 0x00, 0x03, 0x00};
  const Bytes sof = {0xFF, sofMarker, 0x00, 0x0B, 0x08, static_cast<std::uint8_t>(height >> 8),
                     static_cast<std::uint8_t>(height), static_cast<std::uint8_t>(width >> 8),
                     static_cast<std::uint8_t>(width), 0x01, 0x01, 0x11, 0x00};
  b.insert(b.end(), sof.begin(), sof.end());
  return b;
}

TEST(Percentile, NearestRank) {
  EXPECT_EQ(percentile({}, 0.5), std::nullopt);
  EXPECT_EQ(percentile({7}, 0.95), 7);
  EXPECT_EQ(percentile({4, 1, 3, 2}, 0.5), 2);
  EXPECT_EQ(percentile({5, 1, 4, 2, 3}, 0.5), 3);
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  EXPECT_EQ(percentile(hundred, 0.95), 95);
  EXPECT_EQ(percentile(hundred, 0), 1);
  EXPECT_EQ(percentile(hundred, 1), 100);
}

TEST(JpegSize, ReadsTheFrameHeaderAndRejectsEverythingElse) {
  EXPECT_EQ(jpegSize(jpegHeader(1600, 1000)), (JpegSize{1600, 1000}));
  EXPECT_EQ(jpegSize(jpegHeader(1, 65535, 0xC2)), (JpegSize{1, 65535})) << "progressive";
  const Bytes full = jpegHeader(1200, 800);
  for (std::size_t cut = 0; cut < full.size(); ++cut) {
    EXPECT_EQ(jpegSize(std::span(full).first(cut)), std::nullopt) << cut;
  }
  Bytes huffmanOnly = jpegHeader(10, 10, 0xC4);  // DHT is not a frame header
  EXPECT_EQ(jpegSize(huffmanOnly), std::nullopt);
  Bytes notJpeg = full;
  notJpeg[1] = 0xD9;
  EXPECT_EQ(jpegSize(notJpeg), std::nullopt);
  Bytes badLength = full;
  badLength[5] = 0x00;  // APP0 length 0
  EXPECT_EQ(jpegSize(badLength), std::nullopt);
  EXPECT_EQ(jpegSize(jpegHeader(0, 10)), std::nullopt);
}

TEST(WindowStreamStats, LatencyRunsFromEachRequestToItsFrame) {
  WindowStreamStats stats(42);
  const Bytes jpeg = jpegHeader(1600, 1000);
  double now = 100.0;
  for (int i = 0; i < 10; ++i) {
    stats.requested(now);
    EXPECT_TRUE(stats.awaitingFrame());
    now += 0.010 + 0.001 * i;  // 10 … 19 ms
    stats.received(now, jpeg);
    EXPECT_FALSE(stats.awaitingFrame());
  }
  stats.received(102.0, jpeg);  // unasked: counted as a frame, not as a latency
  EXPECT_EQ(stats.frames(), 11u);
  EXPECT_NEAR(*stats.latencyPercentile(0.5), 0.014, 1e-9);
  EXPECT_NEAR(*stats.latencyPercentile(0.95), 0.019, 1e-9);
  EXPECT_NEAR(stats.framesPerSecond(), 5.5, 1e-9);
  EXPECT_EQ(stats.bytesPerFrame(), static_cast<double>(jpeg.size()));
  EXPECT_EQ(stats.summary(), "window=42 frames=11 seconds=2.00 fps=5.5 bytesPerFrame=26 latencyMedianMs=14.0 "
                             "latencyP95Ms=19.0 size=1600x1000 subsampledFrames=0 subsampledMedianMs=0.0 "
                             "subsampledP95Ms=0.0");
}

TEST(WindowStreamStats, FramesWithSubsampledChromaHaveTheirOwnLatencies) {
  // A three-component frame header, luma sampled 2 × 2 against the chroma's 1 × 1, or not.
  const auto colourJpeg = [](std::uint8_t lumaSampling) {
    Bytes b = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x10, 0x00, 0x10, 0x03,
               0x01, lumaSampling, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01};
    return b;
  };
  EXPECT_TRUE(jpegSize(colourJpeg(0x22))->subsampledChroma);
  EXPECT_FALSE(jpegSize(colourJpeg(0x11))->subsampledChroma);
  WindowStreamStats stats(3);
  double now = 50;
  for (int i = 0; i < 4; ++i) {
    stats.requested(now);
    now += i == 3 ? 0.100 : 0.010;  // the full-colour frame is the slow one
    stats.received(now, colourJpeg(i == 3 ? 0x11 : 0x22));
  }
  EXPECT_EQ(stats.subsampledFrames(), 3u);
  EXPECT_NEAR(*stats.subsampledLatencyPercentile(0.95), 0.010, 1e-9);
  EXPECT_NEAR(*stats.latencyPercentile(0.95), 0.100, 1e-9);
}

TEST(WindowStreamStats, WithSeveralRequestsOpenEachFrameAnswersTheOldest) {
  WindowStreamStats stats(1);
  const Bytes jpeg = jpegHeader(8, 8);
  stats.requested(10.000);
  stats.requested(10.001);
  EXPECT_EQ(stats.outstanding(), 2u);
  EXPECT_EQ(stats.oldestRequestAt(), 10.000);
  stats.received(10.010, jpeg);  // answers the first: 10 ms
  EXPECT_EQ(stats.oldestRequestAt(), 10.001);
  stats.requested(10.010);
  stats.received(10.021, jpeg);  // answers the second: 20 ms
  stats.received(10.040, jpeg);  // answers the third: 30 ms
  EXPECT_EQ(stats.outstanding(), 0u);
  EXPECT_NEAR(*stats.latencyPercentile(0), 0.010, 1e-9);
  EXPECT_NEAR(*stats.latencyPercentile(0.5), 0.020, 1e-9);
  EXPECT_NEAR(*stats.latencyPercentile(1), 0.030, 1e-9);
}

}  // namespace
}  // namespace orvo::client
