#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvo::client {

// The value at fraction `p` (0…1) of the samples by the nearest-rank rule: the smallest
// sample with at least p of all samples at or below it. Nothing for no samples.
std::optional<double> percentile(std::vector<double> samples, double p);

// Width and height from a JPEG's start-of-frame segment; nothing when the bytes are not a
// JPEG or end before one. Reads within the given bytes only.
struct JpegSize {
  int width = 0;
  int height = 0;
  // Colour planes smaller than the brightness plane (4:2:0, 4:2:2): the host's
  // interactive frames, where its refine frames keep full colour.
  bool subsampledChroma = false;
  friend bool operator==(const JpegSize&, const JpegSize&) = default;
};
std::optional<JpegSize> jpegSize(std::span<const std::uint8_t> jpeg);

// What one window's stream delivered, as the client sees it: frames, bytes and the time
// from each snapshot request to its frame. Requests are answered in order, so a frame
// answers the oldest request still open. Times are seconds on one monotonic clock.
class WindowStreamStats {
 public:
  explicit WindowStreamStats(std::uint32_t windowId) : windowId_(windowId) {}

  void requested(double now);
  // A frame of this window arrived; its latency counts from the request it answers.
  void received(double now, std::span<const std::uint8_t> jpeg);

  std::uint32_t windowId() const { return windowId_; }
  std::size_t frames() const { return frames_; }
  // Requests not answered yet, and when the oldest of them was sent.
  std::size_t outstanding() const { return open_.size(); }
  bool awaitingFrame() const { return !open_.empty(); }
  double oldestRequestAt() const { return open_.empty() ? 0 : open_.front(); }
  // When the latest request was sent (0 before the first).
  double lastRequestAt() const { return lastRequestAt_; }
  // Frames per second from the first request to the last frame.
  double framesPerSecond() const;
  double bytesPerFrame() const;
  std::optional<double> latencyPercentile(double p) const { return percentile(latencies_, p); }
  // The same over the frames with subsampled chroma only.
  std::size_t subsampledFrames() const { return subsampledLatencies_.size(); }
  std::optional<double> subsampledLatencyPercentile(double p) const { return percentile(subsampledLatencies_, p); }
  std::optional<JpegSize> lastSize() const { return lastSize_; }

  // "window=ID frames=N seconds=S fps=F bytesPerFrame=B latencyMedianMs=M latencyP95Ms=P size=WxH
  // subsampledFrames=N subsampledMedianMs=M subsampledP95Ms=P"
  std::string summary() const;

 private:
  std::uint32_t windowId_;
  std::size_t frames_ = 0;
  std::size_t bytes_ = 0;
  std::deque<double> open_;  // times of the requests not answered yet, oldest first
  std::optional<double> firstRequestAt_;
  double lastRequestAt_ = 0;
  double lastFrameAt_ = 0;
  std::vector<double> latencies_;
  std::vector<double> subsampledLatencies_;
  std::optional<JpegSize> lastSize_;
};

}  // namespace orvo::client
