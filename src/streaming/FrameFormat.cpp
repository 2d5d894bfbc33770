#include "streaming/FrameFormat.h"

#include <algorithm>
#include <cmath>

namespace orvo {

FrameSize targetFrameSize(int width, int height, double maxDim) {
  const double longest = std::max(width, height);
  const double scale = longest > 0 ? std::min(maxDim / longest, 1.0) : 1.0;
  // std::round rounds halves away from zero: 1437.5 becomes 1438.
  const auto side = [scale](int length) { return std::max(static_cast<int>(std::round(length * scale)), 1); };
  return {side(width), side(height)};
}

double adaptQuality(double quality, std::size_t jpegBytes, const StreamProfile& profile) {
  if (jpegBytes < 1) return quality;
  double proposal = quality * std::sqrt(static_cast<double>(profile.targetBytes) / static_cast<double>(jpegBytes));
  proposal = std::min(std::max(profile.qMin, proposal), profile.qMax);
  return 0.75 * quality + 0.25 * proposal;
}

FrameHeader makeFrameHeader(std::uint32_t windowId, std::uint32_t jpegLength) {
  FrameHeader header{};
  header[0] = frameMarker;
  for (int i = 0; i < 4; ++i) {
    header[1 + i] = static_cast<std::uint8_t>(windowId >> (8 * i));
    header[5 + i] = static_cast<std::uint8_t>(jpegLength >> (8 * i));
  }
  return header;
}

}  // namespace orvo
