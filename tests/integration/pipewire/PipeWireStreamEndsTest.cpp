// Streams that stop: the producer killed, a format the host cannot read, a node that is not
// there, a stream removed while buffers flow, and PipeWire itself going away. Each is
// reported once, captures then give nothing, and nothing crashes.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "PipeWireTestSupport.h"

namespace orvo::testing {
namespace {

class PipeWireStreamEnds : public PipeWireSuite {
 protected:
  // The capturer still serves other windows: a new producer's picture arrives. Also a
  // round trip through the PipeWire thread, so that an event due before it has come.
  void expectStillServing(std::uint32_t window) {
    auto other = startProducer({"--size", "64x48"});
    ASSERT_TRUE(streamFrom(*other, window));
    auto picture = capture(window);
    ASSERT_TRUE(picture);
    EXPECT_TRUE(showsPattern(*picture, 64, 48, 0, 0));
  }
  static bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }
};

TEST_F(PipeWireStreamEnds, AKilledProducerEndsItsStreamOnce) {
  auto producer = startProducer({"--size", "64x48"});
  const std::uint32_t node = producer->nodeId();
  ASSERT_TRUE(streamFrom(*producer, 1));
  ASSERT_TRUE(capture(1));

  producer->kill();
  ASSERT_TRUE(waitUntil([&] { return !recorder.ends(1).empty(); })) << logger.lines().size();
  EXPECT_TRUE(contains(recorder.ends(1).front().reason, "node " + std::to_string(node)))
      << recorder.ends(1).front().reason;
  EXPECT_FALSE(capture(1));
  EXPECT_FALSE(rows(1, {}));
  EXPECT_TRUE(changes(1).everything);

  expectStillServing(2);
  EXPECT_EQ(recorder.ends(1).size(), 1u);
  capturer->removeStream(1);
  EXPECT_FALSE(capture(1));
}

TEST_F(PipeWireStreamEnds, AFormatTheHostCannotReadEndsTheStreamWithItsName) {
  auto producer = startProducer({"--format", "YUY2", "--size", "64x48"});
  const std::uint32_t node = producer->nodeId();
  ASSERT_NE(node, 0u) << producer->output();
  ASSERT_TRUE(capturer->addStream(3, node));
  ASSERT_TRUE(waitUntil([&] { return !recorder.ends(3).empty(); }));
  EXPECT_TRUE(contains(recorder.ends(3).front().reason, "unsupported format YUY2")) << recorder.ends(3).front().reason;
  EXPECT_FALSE(capture(3));
  EXPECT_TRUE(changes(3).everything);
  EXPECT_EQ(capturer->picturesReceived(3), 0u);

  expectStillServing(4);
  EXPECT_EQ(recorder.ends(3).size(), 1u);
}

TEST_F(PipeWireStreamEnds, AMissingNodeEndsTheStreamAndNoOtherSourceStandsIn) {
  // Another video source exists: the session manager must not link the stream to it.
  auto bystander = startProducer({"--size", "64x48", "--name", "bystander"});
  ASSERT_NE(bystander->nodeId(), 0u);
  const std::uint32_t missing = 99999;
  ASSERT_TRUE(capturer->addStream(5, missing));
  ASSERT_TRUE(waitUntil([&] { return !recorder.ends(5).empty(); }));
  EXPECT_TRUE(contains(recorder.ends(5).front().reason, "node 99999 is not there")) << recorder.ends(5).front().reason;

  expectStillServing(6);
  EXPECT_EQ(capturer->picturesReceived(5), 0u);
  EXPECT_EQ(bystander->sent(), 0) << "the bystander streamed to someone";
  EXPECT_FALSE(capture(5));
}

TEST_F(PipeWireStreamEnds, AWindowCannotHaveTwoStreams) {
  auto producer = startProducer({"--size", "64x48"});
  ASSERT_TRUE(streamFrom(*producer, 7));
  EXPECT_FALSE(capturer->addStream(7, producer->nodeId()));
  EXPECT_EQ(logger.countPrefix("PipeWire: window 7 has a stream already"), 1u);
  EXPECT_TRUE(capture(7));
}

TEST_F(PipeWireStreamEnds, RemovingStreamsWhileBuffersFlowIsSafe) {
  // A producer that sends as fast as it is read, captured on a thread of its own (the
  // capture queue), while this thread removes and adds the stream again and again.
  auto producer = startProducer({"--size", "320x240", "--damage"});
  const std::uint32_t node = producer->nodeId();
  ASSERT_NE(node, 0u);
  ASSERT_TRUE(streamFrom(*producer, 8));

  std::atomic<bool> stop{false};
  std::atomic<int> captured{0};
  std::thread captureQueue([&] {
    while (!stop) {
      const PictureChanges changed = changes(8);
      auto picture = changed.everything ? capture(8) : rows(8, changed.rows);
      if (picture) {
        // Read the whole picture, as an encoder would: a picture freed or written under
        // the reader shows under the sanitizers.
        std::uint32_t sum = 0;
        for (int y = 0; y < picture->height; y += 7) sum += colorAt(*picture, picture->width - 1, y);
        if (sum != 1) ++captured;
      }
    }
  });
  std::thread painter([&] {
    // One change at a time, each sent before the next (while unlinked, they gather).
    for (int i = 0; !stop; ++i) {
      const int sent = producer->sent();
      producer->command("fill 0 " + std::to_string(i % 240) + " 320 1 " + (i % 2 ? "ff0000" : "00ff00"));
      waitUntil([&] { return stop || producer->sent() > sent; }, std::chrono::milliseconds(200));
    }
  });
  for (int round = 0; round < 6; ++round) {
    const int before = captured;
    EXPECT_TRUE(waitUntil([&] { return captured > before + 5; })) << "round " << round;
    capturer->removeStream(8);
    EXPECT_FALSE(capturer->pictureSize(8));
    if (!capturer->addStream(8, node)) {
      ADD_FAILURE() << "cannot add the stream again";
      break;
    }
  }
  stop = true;
  painter.join();
  captureQueue.join();
  capturer->removeStream(8);
  EXPECT_FALSE(capture(8));
  EXPECT_GT(captured, 0);
  EXPECT_TRUE(recorder.ends(8).empty()) << recorder.ends(8).front().reason;
}

// PipeWire itself going away needs a PipeWire of its own.
class PipeWireLost : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = PrivatePipeWire::unavailableReason()) ORVO_UNAVAILABLE(*why);
    pipewire = std::make_unique<PrivatePipeWire>();
  }
  std::unique_ptr<PrivatePipeWire> pipewire;
  RecordingLogger logger;
  EventRecorder recorder;
};

TEST_F(PipeWireLost, EveryStreamEndsWithTheConnection) {
  std::string error;
  auto capturer = PipeWireCapturer::connect(pipewire->openConnection(), recorder.events(), logger, error);
  ASSERT_TRUE(capturer) << error;
  TestProducer producer(*pipewire, {"--size", "64x48"});
  ASSERT_TRUE(capturer->addStream(1, producer.nodeId()));
  ASSERT_TRUE(waitUntil([&] { return capturer->picturesReceived(1) > 0; }))
      << "producer: " << producer.output() << "; " << pipewire->output();
  ASSERT_TRUE(capturer->captureWindow(1, std::nullopt, CaptureMode::isolated));

  pipewire->stop();
  ASSERT_TRUE(waitUntil([&] { return !recorder.disconnects().empty(); }));
  EXPECT_FALSE(capturer->captureWindow(1, std::nullopt, CaptureMode::isolated));
  EXPECT_TRUE(capturer->takeChanges(1, std::nullopt, CaptureMode::isolated).everything);
  EXPECT_FALSE(capturer->addStream(2, 40));
  capturer->removeStream(1);
  capturer.reset();
  EXPECT_EQ(recorder.disconnects().size(), 1u);
  // The lost connection says it all: no stream reports its own end.
  EXPECT_TRUE(recorder.ends(1).empty());
}

}  // namespace
}  // namespace orvo::testing
