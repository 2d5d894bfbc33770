#include "client/StreamStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace orvo::client {

std::optional<double> percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return std::nullopt;
  std::sort(samples.begin(), samples.end());
  const double rank = std::ceil(std::clamp(p, 0.0, 1.0) * static_cast<double>(samples.size()));
  const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return samples[std::min(index, samples.size() - 1)];
}

std::optional<JpegSize> jpegSize(std::span<const std::uint8_t> b) {
  if (b.size() < 4 || b[0] != 0xFF || b[1] != 0xD8) return std::nullopt;
  std::size_t i = 2;
  while (i + 4 <= b.size()) {
    if (b[i] != 0xFF) return std::nullopt;
    const std::uint8_t marker = b[i + 1];
    if (marker == 0xFF) {  // fill byte before a marker
      ++i;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {  // markers without a length
      i += 2;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // image data before any frame header
    const std::size_t length = static_cast<std::size_t>(b[i + 2]) << 8 | b[i + 3];
    if (length < 2) return std::nullopt;
    const bool startOfFrame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (startOfFrame) {
      if (length < 7 || i + 2 + length > b.size()) return std::nullopt;
      const int height = b[i + 5] << 8 | b[i + 6];
      const int width = b[i + 7] << 8 | b[i + 8];
      if (width == 0 || height == 0) return std::nullopt;
      JpegSize size{width, height};
      // Components follow: id, sampling factors (horizontal << 4 | vertical), table.
      const int components = b[i + 9];
      if (components >= 2 && length >= 8 + 3 * static_cast<std::size_t>(components)) {
        size.subsampledChroma = b[i + 11] != b[i + 14];
      }
      return size;
    }
    i += 2 + length;
  }
  return std::nullopt;
}

void WindowStreamStats::requested(double now) {
  if (!firstRequestAt_) firstRequestAt_ = now;
  lastRequestAt_ = now;
  open_.push_back(now);
}

void WindowStreamStats::received(double now, std::span<const std::uint8_t> jpeg) {
  ++frames_;
  bytes_ += jpeg.size();
  lastFrameAt_ = now;
  const auto size = jpegSize(jpeg);
  if (!open_.empty()) {
    latencies_.push_back(now - open_.front());
    if (size && size->subsampledChroma) subsampledLatencies_.push_back(now - open_.front());
    open_.pop_front();
  }
  if (size) lastSize_ = size;
}

double WindowStreamStats::framesPerSecond() const {
  if (!firstRequestAt_ || frames_ == 0 || lastFrameAt_ <= *firstRequestAt_) return 0;
  return static_cast<double>(frames_) / (lastFrameAt_ - *firstRequestAt_);
}

double WindowStreamStats::bytesPerFrame() const {
  return frames_ == 0 ? 0 : static_cast<double>(bytes_) / static_cast<double>(frames_);
}

std::string WindowStreamStats::summary() const {
  const double seconds = firstRequestAt_ && frames_ > 0 ? lastFrameAt_ - *firstRequestAt_ : 0;
  char text[400];
  std::snprintf(text, sizeof text,
                "window=%u frames=%zu seconds=%.2f fps=%.1f bytesPerFrame=%.0f latencyMedianMs=%.1f "
                "latencyP95Ms=%.1f size=%dx%d subsampledFrames=%zu subsampledMedianMs=%.1f subsampledP95Ms=%.1f",
                windowId_, frames_, seconds, framesPerSecond(), bytesPerFrame(),
                latencyPercentile(0.5).value_or(0) * 1000, latencyPercentile(0.95).value_or(0) * 1000,
                lastSize_ ? lastSize_->width : 0, lastSize_ ? lastSize_->height : 0, subsampledLatencies_.size(),
                subsampledLatencyPercentile(0.5).value_or(0) * 1000,
                subsampledLatencyPercentile(0.95).value_or(0) * 1000);
  return text;
}

}  // namespace orvo::client
