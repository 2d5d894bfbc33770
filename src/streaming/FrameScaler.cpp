#include "streaming/FrameScaler.h"

#include <libyuv/scale_argb.h>

#include <limits>
#include <new>

namespace orvo {

std::uint8_t* WindowFrameScalerCache::prepare(int width, int height) {
  if (width < 1 || height < 1) return nullptr;
  const auto rowBytes = static_cast<std::int64_t>(width) * 4;
  if (rowBytes > std::numeric_limits<int>::max()) return nullptr;
  const auto bytes = static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(height);
  if (!destData_ || bytes > capacity_) {
    destData_.reset();
    capacity_ = 0;
    try {
      // Not zero-filled: every byte is written by the scaler before it is read.
      destData_ = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    capacity_ = bytes;
    ++allocations_;
  }
  width_ = width;
  height_ = height;
  destRowBytes_ = rowBytes;
  return destData_.get();
}

std::optional<platform::ImageView> scaleImage(const platform::ImageView& image, int width, int height,
                                              WindowFrameScalerCache& cache) {
  if (!image.pixels || image.width < 1 || image.height < 1 || image.stride < image.width * 4) return std::nullopt;
  if (image.width == width && image.height == height) return image;
  std::uint8_t* destination = cache.prepare(width, height);
  if (!destination) return std::nullopt;
  const int rowBytes = static_cast<int>(cache.destRowBytes());
  // Bytes B, G, R, X are libyuv's "ARGB" (little-endian words); X is carried along.
  if (libyuv::ARGBScale(image.pixels, image.stride, image.width, image.height, destination, rowBytes, width, height,
                        libyuv::kFilterBox) != 0) {
    return std::nullopt;
  }
  return platform::ImageView{destination, width, height, rowBytes};
}

}  // namespace orvo
