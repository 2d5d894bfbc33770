#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/WindowServer.h"
#include "platform/linux/pipewire/PictureHandOver.h"

namespace orvo::platform::pipewire {

// Reading one video buffer of a stream into a picture: where the picture lies in the
// buffer's memory (crop, chunk offset, size and stride, all checked against the mapped
// memory), the copy with its colour order put right, and the buffer's damage as rows of
// the picture. Plain data in, so nothing here depends on PipeWire; every value that comes
// from the producer (the chunk and the metadata live in memory it shares) is read once by
// the caller and checked here before any pixel is touched.

// A rectangle as the producer states it (crop, damage): position and size in pixels of
// the buffer.
struct BufferRegion {
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
  friend bool operator==(const BufferRegion&, const BufferRegion&) = default;
};

// What the chunk of the buffer's first data block says.
struct BufferChunk {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  std::int32_t stride = 0;  // 0: not given (rows of width × 4 bytes)
  bool corrupted = false;
};

// The mapped memory of the buffer's first data block.
struct BufferMemory {
  const std::uint8_t* data = nullptr;
  std::uint32_t maxSize = 0;
};

// The channel order of the negotiated format: BGRx/BGRA keep theirs, RGBx/RGBA are swapped.
enum class ChannelOrder { bgr, rgb };

// Where a buffer's picture is: its crop, and its top-left pixel in memory.
struct BufferPlacement {
  BufferRegion crop;
  const std::uint8_t* pixels = nullptr;  // the crop's top-left pixel
  std::int64_t stride = 0;
};

// The crop within a `width` × `height` buffer: the buffer's crop metadata clipped to the
// buffer; the whole buffer without one, with one of zero size, or with one that lies
// wholly outside.
BufferRegion clampCrop(const std::optional<BufferRegion>& crop, int width, int height);

// Where the picture of a `width` × `height` buffer lies, or nothing with `why` set when the
// buffer carries no usable picture (corrupted, empty, rows shorter than a row of pixels,
// or a crop that reaches beyond the chunk or the memory).
std::optional<BufferPlacement> placePicture(const BufferMemory& memory, const BufferChunk& chunk, int width,
                                            int height, const std::optional<BufferRegion>& crop,
                                            std::string_view& why);

// Copies the placed picture into `picture` (reshaped to the crop's size) as B, G, R, X.
void copyPicture(const BufferPlacement& placement, ChannelOrder order, Picture& picture);

// Adds the rows of the picture (the crop) that a damaged region of the buffer reaches.
void addDamage(PictureChanges& changes, const BufferRegion& crop, const BufferRegion& damage);

}  // namespace orvo::platform::pipewire
