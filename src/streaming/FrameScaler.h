#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/WindowServer.h"

namespace orvo {

// One window's scaled-picture buffer, kept from frame to frame so that streaming does not
// allocate a picture per frame. The buffer only grows: a switch between the interactive
// and refine sizes reuses it, and a new one is made only when a larger size is asked for.
// Used on the capture queue only; owns its buffer and frees it when destroyed.
class WindowFrameScalerCache {
 public:
  WindowFrameScalerCache() = default;
  WindowFrameScalerCache(const WindowFrameScalerCache&) = delete;
  WindowFrameScalerCache& operator=(const WindowFrameScalerCache&) = delete;

  // Makes the buffer ready for a width × height picture, 4 bytes per pixel, rows without
  // padding. Returns the buffer, or nothing when it cannot be allocated.
  std::uint8_t* prepare(int width, int height);

  std::int64_t width() const { return width_; }
  std::int64_t height() const { return height_; }
  std::int64_t destRowBytes() const { return destRowBytes_; }
  std::size_t capacity() const { return capacity_; }
  // How many buffers this cache has made so far.
  std::size_t allocations() const { return allocations_; }

 private:
  std::int64_t width_ = 0;
  std::int64_t height_ = 0;
  std::int64_t destRowBytes_ = 0;
  std::unique_ptr<std::uint8_t[]> destData_;
  std::size_t capacity_ = 0;
  std::size_t allocations_ = 0;
};

// The picture scaled to width × height with a box filter into the cache's buffer. A
// picture already at that size is returned as it is, without a copy. The result views
// either the input's pixels or the cache's; it stays valid until the cache's next use.
// Nothing when the buffer cannot be made or the sizes are not usable. Capture queue.
std::optional<platform::ImageView> scaleImage(const platform::ImageView& image, int width, int height,
                                              WindowFrameScalerCache& cache);

}  // namespace orvo
