#include "platform/linux/pipewire/BufferPicture.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

#include <algorithm>

namespace orvo::platform::pipewire {

BufferRegion clampCrop(const std::optional<BufferRegion>& crop, int width, int height) {
  const BufferRegion whole{0, 0, width, height};
  if (!crop || crop->width <= 0 || crop->height <= 0) return whole;
  const std::int64_t left = std::clamp<std::int64_t>(crop->x, 0, width);
  const std::int64_t top = std::clamp<std::int64_t>(crop->y, 0, height);
  const std::int64_t right = std::clamp<std::int64_t>(crop->x + crop->width, 0, width);
  const std::int64_t bottom = std::clamp<std::int64_t>(crop->y + crop->height, 0, height);
  if (right <= left || bottom <= top) return whole;
  return BufferRegion{left, top, right - left, bottom - top};
}

std::optional<BufferPlacement> placePicture(const BufferMemory& memory, const BufferChunk& chunk, int width,
                                            int height, const std::optional<BufferRegion>& crop,
                                            std::string_view& why) {
  if (chunk.corrupted) {
    why = "corrupted";
    return std::nullopt;
  }
  if (chunk.size == 0) {
    why = "empty";
    return std::nullopt;
  }
  if (!memory.data || memory.maxSize == 0 || width <= 0 || height <= 0) {
    why = "not mapped";
    return std::nullopt;
  }
  const std::int64_t rowBytes = std::int64_t{width} * 4;
  const std::int64_t stride = chunk.stride == 0 ? rowBytes : chunk.stride;
  if (stride < rowBytes) {
    why = "rows shorter than the picture's width";
    return std::nullopt;
  }
  // The chunk's offset counts modulo the memory's size; its data may not run past it.
  const std::int64_t offset = chunk.offset % memory.maxSize;
  const std::int64_t valid = std::min<std::int64_t>(chunk.size, memory.maxSize - offset);
  const BufferRegion area = clampCrop(crop, width, height);
  const std::int64_t first = area.y * stride + area.x * 4;
  const std::int64_t end = (area.y + area.height - 1) * stride + (area.x + area.width) * 4;
  if (end > valid) {
    why = "smaller than its picture";
    return std::nullopt;
  }
  return BufferPlacement{area, memory.data + offset + first, stride};
}

void copyPicture(const BufferPlacement& placement, ChannelOrder order, Picture& picture) {
  const int width = static_cast<int>(placement.crop.width);
  const int height = static_cast<int>(placement.crop.height);
  picture.reshape(width, height);
  const int stride = static_cast<int>(placement.stride);
  if (order == ChannelOrder::rgb) {
    // libyuv names formats by their 32-bit value: its ABGR is R, G, B, A in memory.
    libyuv::ABGRToARGB(placement.pixels, stride, picture.pixels.data(), picture.stride(), width, height);
  } else {
    libyuv::ARGBCopy(placement.pixels, stride, picture.pixels.data(), picture.stride(), width, height);
  }
}

void addDamage(PictureChanges& changes, const BufferRegion& crop, const BufferRegion& damage) {
  if (damage.width <= 0 || damage.height <= 0) return;
  // A region beside the crop changes nothing of the picture.
  if (damage.x >= crop.x + crop.width || damage.x + damage.width <= crop.x) return;
  const std::int64_t top = std::max(damage.y, crop.y) - crop.y;
  const std::int64_t bottom = std::min(damage.y + damage.height, crop.y + crop.height) - crop.y;
  if (bottom <= top) return;
  addChangedRows(changes, RowSpan{static_cast<int>(top), static_cast<int>(bottom)});
}

}  // namespace orvo::platform::pipewire
