#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "host/HostConstants.h"

namespace orvo {

// The pure arithmetic of a frame: its size on the wire, the per-window JPEG quality loop
// and the binary header that precedes each JPEG on the session connection. Any thread.

struct FrameSize {
  int width = 0;
  int height = 0;
  friend bool operator==(const FrameSize&, const FrameSize&) = default;
};

// The size a captured picture is sent at: its longer side fitted to `maxDim`, never
// enlarged, each side rounded half away from zero and at least 1.
FrameSize targetFrameSize(int width, int height, double maxDim);

// The window's next quality after a frame of `jpegBytes` bytes encoded at `quality`: a
// quarter of the way towards the square-root estimate that would hit the profile's byte
// target, the estimate clamped to the profile's range. An empty frame changes nothing.
double adaptQuality(double quality, std::size_t jpegBytes, const StreamProfile& profile);

// A frame starts with this marker byte; a control line never does (it starts with "{").
inline constexpr std::uint8_t frameMarker = 0x02;
inline constexpr std::size_t frameHeaderSize = 9;
using FrameHeader = std::array<std::uint8_t, frameHeaderSize>;

// 0x02, the window id, then the JPEG length, both unsigned 32-bit little-endian.
FrameHeader makeFrameHeader(std::uint32_t windowId, std::uint32_t jpegLength);

}  // namespace orvo
