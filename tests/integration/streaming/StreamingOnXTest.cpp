// Frames of real windows: the pump, the X capturer, scaling and JPEG, end to end up to the
// bytes on the connection.

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>

#include "fixtures/TestWindowProtocol.h"
#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11capture/X11WindowCapturer.h"
#include "support/XvfbFixture.h"
#include "unit/streaming/StreamingHarness.h"

namespace orvo::testing {
namespace {

struct DecodedFrame {
  std::uint32_t windowId = 0;
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;  // B, G, R, X
};

std::vector<DecodedFrame> decodeFrames(const RecordingConnection& connection) {
  std::vector<DecodedFrame> frames;
  tjhandle decoder = tjInitDecompress();
  for (const auto& record : connection.frameRecords()) {
    DecodedFrame frame;
    frame.windowId = record.windowId;
    const Bytes& jpeg = record.jpeg;
    int subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(decoder, jpeg.data(), jpeg.size(), &frame.width, &frame.height, &subsampling,
                            &colorspace) == 0) {
      frame.pixels.resize(static_cast<std::size_t>(frame.width) * frame.height * 4);
      tjDecompress2(decoder, jpeg.data(), jpeg.size(), frame.pixels.data(), frame.width, frame.width * 4,
                    frame.height, TJPF_BGRX, 0);
    }
    frames.push_back(std::move(frame));
  }
  tjDestroy(decoder);
  return frames;
}

// Whether the decoded picture shows each band of the pattern, within what JPEG changes.
bool showsPattern(const DecodedFrame& frame, const std::string& pattern) {
  for (int band = 0; band < kPatternBands; ++band) {
    const int column = (2 * band + 1) * frame.width / (2 * kPatternBands);
    const std::uint8_t* p = &frame.pixels[(static_cast<std::size_t>(frame.height / 2) * frame.width + column) * 4];
    const std::uint32_t expected = patternColor(pattern, band);
    const int channels[] = {static_cast<int>(expected & 0xFF), static_cast<int>((expected >> 8) & 0xFF),
                            static_cast<int>(expected >> 16)};
    for (int c = 0; c < 3; ++c) {
      if (std::abs(p[c] - channels[c]) > 24) return false;
    }
  }
  return true;
}

// The capture queue's own X connection and the real capturer.
struct WithX11Capturer {
  explicit WithX11Capturer(const std::string& display) : xConnection(log, display, "capture") {}
  RecordingLogger log;
  platform::x11::X11Connection xConnection;
  platform::x11::X11WindowCapturer capturer{xConnection, log};
};

class StreamingOnX : public ::testing::Test, public WithX11Capturer, public StreamingRig {
 protected:
  static void SetUpTestSuite() { x = std::make_unique<XvfbFixture>(XvfbOptions{.screen = "2560x1440x24"}); }
  static void TearDownTestSuite() { x.reset(); }
  static inline std::unique_ptr<XvfbFixture> x;

  StreamingOnX() : WithX11Capturer(x->display()), StreamingRig(WithX11Capturer::capturer, 1000.0) {}

  TestWindowProcess startWindow(const std::string& pattern, const std::string& geometry) {
    auto window = x->startTestWindow({"--pattern", pattern, "--geometry", geometry});
    windows.add(window.window, {0, 0, 1, 1});
    return window;
  }
};

TEST_F(StreamingOnX, FramesDecodeAtTheProfileSizeAndShowTheWindow) {
  auto window = startWindow("wide", "2400x600+0+0");
  ASSERT_TRUE(XvfbFixture::waitUntil([&] {
    // Until the window has painted: a refine frame (no input yet) at its full 2300 width.
    connection->clearChunks();
    request(window.window);
    completeOldest();
    const auto frames = decodeFrames(*connection);
    return frames.size() == 1 && showsPattern(frames[0], "wide");
  }));
  auto frames = decodeFrames(*connection);
  EXPECT_EQ(frames[0].windowId, window.window);
  EXPECT_EQ(std::pair(frames[0].width, frames[0].height), std::pair(2300, 575));

  pump.noteInput(window.window);
  loop.drain();
  connection->clearChunks();
  request(window.window);
  frames = decodeFrames(*connection);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(std::pair(frames[0].width, frames[0].height), std::pair(1600, 400));
  EXPECT_TRUE(showsPattern(frames[0], "wide"));
}

TEST_F(StreamingOnX, AWindowClosedBeforeItsCaptureIsLoggedAndTheNextOneServed) {
  auto a = startWindow("a", "200x100+0+700");
  auto b = startWindow("b", "200x100+300+700");
  auto c = startWindow("c", "200x100+600+700");
  auto d = startWindow("d", "200x100+900+700");
  request(a.window);
  request(b.window);  // both slots taken
  loop.clock().set(1000.1);
  request(d.window);
  loop.clock().set(1000.2);
  request(c.window);  // the newest request: served first
  c.process->stop();
  ASSERT_TRUE(XvfbFixture::waitUntil(
      [&] { return !capturer.captureWindow(c.window, std::nullopt, CaptureMode::isolated); }));
  connection->clearChunks();

  completeOldest();
  EXPECT_TRUE(logger.has("OrvoHost: failed snapshot " + std::to_string(c.window)));
  const auto frames = decodeFrames(*connection);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].windowId, d.window);
  EXPECT_EQ(pump.globalHostSnapshotsInFlight(), 2);
}

}  // namespace
}  // namespace orvo::testing
