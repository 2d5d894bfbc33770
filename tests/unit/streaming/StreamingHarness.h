#pragma once

#include <turbojpeg.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/testing/VirtualLoop.h"
#include "fakes/FakePlatform.h"
#include "fakes/FakeSession.h"
#include "fakes/FakeWindowCapturer.h"
#include "fakes/FakeWindowServer.h"
#include "fakes/RecordingConnection.h"
#include "input/WindowFocus.h"
#include "streaming/SnapshotPump.h"
#include "streaming/WindowCatalogue.h"
#include "support/RecordingLogger.h"

namespace orvo::testing {

// One frame as it went over the wire.
struct SentFrame {
  std::uint32_t windowId = 0;
  Bytes jpeg;
  int width = 0;  // decoded from the JPEG; 0 when it does not decode
  int height = 0;
  int subsampling = -1;  // TJSAMP_*
};

// The streaming part wired as the host wires it, on the virtual loop, with fake windows
// and a connection that holds send completions until released, around any capturer.
class StreamingRig {
 public:
  StreamingRig(platform::WindowCapturer& capturer, double startTime) : loop(startTime), capturer_(capturer) {
    activation.applications = {{100, "App"}};
    session.setConnection(connection);
  }

  HostQueues queues() { return HostQueues{*sendQueue, *captureQueue, *focusQueue, *streamQueue, *clickQueue}; }

  // Sends a request as dispatch does and runs everything that follows.
  void request(std::uint32_t windowId) {
    pump.handleSnapshotRequest(windowId);
    loop.drain();
  }
  // Lets the network finish the oldest frame in flight.
  bool completeOldest() {
    const bool released = connection->releaseOldest();
    loop.drain();
    return released;
  }

  // The frames on the wire so far, each a 9-byte header followed by its JPEG.
  std::vector<SentFrame> frames() const { return framesOf(*connection); }
  static std::vector<SentFrame> framesOf(const RecordingConnection& on) {
    std::vector<SentFrame> frames;
    for (auto& record : on.frameRecords()) {
      SentFrame frame;
      frame.windowId = record.windowId;
      frame.jpeg = std::move(record.jpeg);
      decodeSize(frame);
      frames.push_back(std::move(frame));
    }
    return frames;
  }
  std::vector<std::uint32_t> frameWindows() const {
    std::vector<std::uint32_t> ids;
    for (const auto& frame : frames()) ids.push_back(frame.windowId);
    return ids;
  }

  static void decodeSize(SentFrame& frame) {
    tjhandle decoder = tjInitDecompress();
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (!frame.jpeg.empty() && tjDecompressHeader3(decoder, frame.jpeg.data(), frame.jpeg.size(), &width, &height,
                                                   &subsampling, &colorspace) == 0) {
      frame.width = width;
      frame.height = height;
      frame.subsampling = subsampling;
    }
    tjDestroy(decoder);
  }

  VirtualLoop loop;
  RecordingLogger logger;
  FakeWindowServer windows;
  FakeSession session;
  FakeWindowActivation activation;
  platform::WindowCapturer& capturer_;
  std::shared_ptr<RecordingConnection> connection = std::make_shared<RecordingConnection>();
  // Created in the host's order.
  std::unique_ptr<SerialQueue> focusQueue = loop.makeSerialQueue("orvo.host.focusState", QueuePriority::unspecified);
  std::unique_ptr<SerialQueue> sendQueue = loop.makeSerialQueue("orvo.host.send", QueuePriority::userInitiated);
  std::unique_ptr<SerialQueue> clickQueue = loop.makeSerialQueue("orvo.host.clickTracking", QueuePriority::unspecified);
  std::unique_ptr<SerialQueue> captureQueue = loop.makeSerialQueue("orvo.capture", QueuePriority::userInitiated);
  std::unique_ptr<SerialQueue> streamQueue = loop.makeSerialQueue("orvo.host.streamState", QueuePriority::unspecified);
  WindowCatalogue catalogue{windows, session, loop.main(), loop.clock(), logger};
  WindowFocus focus{session, catalogue, windows, activation, *focusQueue, loop.main(), loop.clock(), logger};
  SnapshotPump pump{session, queues(), loop.main(), loop.clock(), logger, catalogue, focus, capturer_};
};

// The rig with a fake capturer whose pictures the test sets.
struct WithFakeCapturer {
  FakeWindowCapturer capturer;
};
class StreamingHarness : public WithFakeCapturer, public StreamingRig {
 public:
  explicit StreamingHarness(double startTime = 99.0) : StreamingRig(capturer, startTime) {}
};

}  // namespace orvo::testing
