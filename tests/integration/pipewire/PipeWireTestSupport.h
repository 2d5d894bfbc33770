#pragma once

// What the PipeWire capturer's tests share: a private PipeWire per suite, the test
// producer driven through its standard input, a recorder of the capturer's events, and
// pixel checks against the producer's pattern.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fixtures/TestProducerProtocol.h"
#include "platform/linux/pipewire/PipeWireCapturer.h"
#include "support/PrivatePipeWire.h"
#include "support/RecordingLogger.h"
#include "support/Unavailable.h"
#include "support/WaitUntil.h"

namespace orvo::testing {

using platform::ImageView;
using platform::PictureChanges;
using platform::RowSpan;
using platform::pipewire::PipeWireCapturer;
using platform::pipewire::StreamEvents;

// Everything the capturer reported, from the PipeWire thread.
class EventRecorder {
 public:
  struct Size {
    std::uint32_t window;
    int width;
    int height;
    friend bool operator==(const Size&, const Size&) = default;
  };
  struct End {
    std::uint32_t window;
    std::string reason;
  };

  StreamEvents events() {
    StreamEvents events;
    events.sizeChanged = [this](std::uint32_t window, int width, int height) {
      std::lock_guard lock(mutex_);
      sizes_.push_back({window, width, height});
    };
    events.ended = [this](std::uint32_t window, const std::string& reason) {
      std::lock_guard lock(mutex_);
      ends_.push_back({window, reason});
    };
    events.disconnected = [this](const std::string& reason) {
      std::lock_guard lock(mutex_);
      disconnects_.push_back(reason);
    };
    return events;
  }
  std::vector<Size> sizes() const {
    std::lock_guard lock(mutex_);
    return sizes_;
  }
  std::vector<End> ends(std::uint32_t window) const {
    std::lock_guard lock(mutex_);
    std::vector<End> found;
    for (const End& end : ends_) {
      if (end.window == window) found.push_back(end);
    }
    return found;
  }
  std::vector<std::string> disconnects() const {
    std::lock_guard lock(mutex_);
    return disconnects_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Size> sizes_;
  std::vector<End> ends_;
  std::vector<std::string> disconnects_;
};

// One orvo-test-pw-producer on the private PipeWire.
class TestProducer {
 public:
  TestProducer(const PrivatePipeWire& pipewire, std::vector<std::string> options) {
    options.insert(options.begin(), ORVO_TEST_PW_PRODUCER_PATH);
    process_ = pipewire.startClient(options);
  }

  // The producer's node, once it exists; 0 when it never came.
  std::uint32_t nodeId() {
    std::uint32_t id = 0;
    waitUntil([&] { return lineValue("node ", id) || process_->exitStatus().has_value(); });
    return id;
  }
  // How many buffers the producer reported sent.
  int sent() {
    int count = 0;
    std::istringstream lines(process_->output());
    for (std::string line; std::getline(lines, line);) count += line.rfind("sent ", 0) == 0;
    return count;
  }
  bool waitSent(int count) {
    return waitUntil([&] { return sent() >= count; });
  }
  void command(const std::string& line) { ASSERT_TRUE(process_->write(line + "\n")) << output(); }
  void kill() { process_->kill(); }
  std::string output() { return process_->output(); }

 private:
  // The value of the first line starting with `prefix`.
  bool lineValue(const std::string& prefix, std::uint32_t& value) {
    std::istringstream lines(process_->output());
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind(prefix, 0) == 0) {
        value = static_cast<std::uint32_t>(std::stoul(line.substr(prefix.size())));
        return true;
      }
    }
    return false;
  }

  std::unique_ptr<ChildProcess> process_;
};

// 0xRRGGBB of pixel (x, y) of a B, G, R, X picture.
inline std::uint32_t colorAt(const ImageView& image, int x, int y) {
  const std::uint8_t* p = image.pixels + static_cast<std::size_t>(y) * image.stride + static_cast<std::size_t>(x) * 4;
  return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

// Whether every pixel of the picture is the producer's pattern of a `bufferWidth` ×
// `bufferHeight` buffer seen through the crop at (cropX, cropY), apart from the rectangle
// `filled` painted `fillColor`; the first difference otherwise.
struct Fill {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  std::uint32_t color = 0;
};
inline ::testing::AssertionResult showsPattern(const ImageView& image, int bufferWidth, int bufferHeight, int cropX,
                                               int cropY, const std::vector<Fill>& fills = {}) {
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const int bx = cropX + x, by = cropY + y;
      std::uint32_t expected = testProducerColor(bx, by, bufferWidth, bufferHeight);
      for (const Fill& f : fills) {
        if (bx >= f.x && bx < f.x + f.width && by >= f.y && by < f.y + f.height) expected = f.color;
      }
      const std::uint32_t actual = colorAt(image, x, y);
      if (actual != expected) {
        std::ostringstream text;
        text << std::hex << "pixel (" << std::dec << x << ", " << y << ") of " << image.width << "x" << image.height
             << " is 0x" << std::hex << actual << ", expected 0x" << expected;
        return ::testing::AssertionFailure() << text.str();
      }
    }
  }
  return ::testing::AssertionSuccess();
}

// A suite sharing one private PipeWire; each test makes its own capturer on a descriptor
// of it (as the portal hands one out) and its own producers.
class PipeWireSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (PrivatePipeWire::unavailableReason()) return;
    pipewire_ = std::make_unique<PrivatePipeWire>();
  }
  static void TearDownTestSuite() { pipewire_.reset(); }

  void SetUp() override {
    if (auto why = PrivatePipeWire::unavailableReason()) ORVO_UNAVAILABLE(*why);
    ASSERT_TRUE(pipewire_);
    capturer = connectCapturer();
    ASSERT_TRUE(capturer) << connectError;
  }
  void TearDown() override { capturer.reset(); }

  static PrivatePipeWire& pipewire() { return *pipewire_; }

  std::unique_ptr<PipeWireCapturer> connectCapturer() {
    return PipeWireCapturer::connect(pipewire().openConnection(), recorder.events(), logger, connectError);
  }
  std::unique_ptr<TestProducer> startProducer(const std::vector<std::string>& options) {
    return std::make_unique<TestProducer>(pipewire(), options);
  }
  // Adds the producer's node as `window` and waits for its first picture.
  ::testing::AssertionResult streamFrom(TestProducer& producer, std::uint32_t window) {
    const std::uint32_t node = producer.nodeId();
    if (node == 0) return ::testing::AssertionFailure() << "no node: " << producer.output();
    if (!capturer->addStream(window, node)) return ::testing::AssertionFailure() << "addStream failed";
    if (!waitForPictures(window, 1)) {
      return ::testing::AssertionFailure() << "no picture; producer: " << producer.output()
                                           << "; PipeWire: " << pipewire().output();
    }
    return ::testing::AssertionSuccess();
  }
  bool waitForPictures(std::uint32_t window, std::uint64_t count) {
    return waitUntil([&] { return capturer->picturesReceived(window) >= count; });
  }

  std::optional<ImageView> capture(std::uint32_t window) {
    return capturer->captureWindow(window, std::nullopt, CaptureMode::isolated);
  }
  PictureChanges changes(std::uint32_t window) {
    return capturer->takeChanges(window, std::nullopt, CaptureMode::isolated);
  }
  std::optional<ImageView> rows(std::uint32_t window, const std::vector<RowSpan>& spans) {
    return capturer->captureRows(window, std::nullopt, CaptureMode::isolated, spans);
  }

  RecordingLogger logger;
  EventRecorder recorder;
  std::string connectError;
  std::unique_ptr<PipeWireCapturer> capturer;

 private:
  static inline std::unique_ptr<PrivatePipeWire> pipewire_;
};

}  // namespace orvo::testing
