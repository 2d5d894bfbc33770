#pragma once

#include <spa/pod/builder.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/pipewire/BufferPicture.h"

namespace orvo::platform::pipewire {

// What a window's stream asks PipeWire for and what it accepts: the formats it offers when
// it connects, the buffers and metadata it asks for once a format is settled, and the
// reading of what a producer's node offers.

// The largest side a stream accepts.
constexpr int maxPictureSide = 16384;
// Formats a node offers, kept for the check after it was asked; more are not looked at.
constexpr std::size_t maxOfferedFormats = 64;

// The channel order of a video format the host reads (BGRx, BGRA, RGBx, RGBA); nothing
// for any other.
std::optional<ChannelOrder> orderOf(std::uint32_t format);
// The format's short name ("YUY2"), for log lines and reasons.
std::string formatName(std::uint32_t format);

// The EnumFormat a stream connects with: raw video in the four formats the host reads,
// any size up to maxPictureSide, any frame rate (0/1, variable, included).
const spa_pod* buildEnumFormat(spa_pod_builder& builder);
// What a stream asks for once its format is settled: buffers of shared memory (MemFd or
// MemPtr, mapped by PipeWire, one data block), and the header, crop, damage and cursor
// metadata.
std::array<const spa_pod*, 5> buildBufferParams(spa_pod_builder& builder);

// Adds the raw video formats one EnumFormat object of a node offers to `formats`
// (distinct, at most maxOfferedFormats).
void addOfferedFormats(const spa_pod* param, std::vector<std::uint32_t>& formats);

}  // namespace orvo::platform::pipewire
