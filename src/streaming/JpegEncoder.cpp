#include "streaming/JpegEncoder.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace orvo {

std::uint8_t* WindowJPEGEncodeCache::reserve(std::size_t bytes) {
  length_ = 0;
  if (data_ && capacity_ >= bytes) return data_.get();
  data_.reset();
  capacity_ = 0;
  try {
    // Not zero-filled: the encoder writes what is read, and untouched pages cost nothing.
    data_ = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  capacity_ = bytes;
  ++allocations_;
  return data_.get();
}

void JpegEncoder::HandleCloser::operator()(void* handle) const { tjDestroy(static_cast<tjhandle>(handle)); }

JpegEncoder::JpegEncoder() : handle_(tjInitCompress()) {}

JpegEncoder::~JpegEncoder() = default;

std::optional<std::size_t> JpegEncoder::encode(const platform::ImageView& image, double quality,
                                               ChromaSubsampling subsampling, WindowJPEGEncodeCache& cache) {
  if (!handle_ || !image.pixels || image.width < 1 || image.height < 1 || image.stride < image.width * 4) {
    return std::nullopt;
  }
  const int samples = subsampling == ChromaSubsampling::s420 ? TJSAMP_420 : TJSAMP_444;
  const unsigned long worstCase = tjBufSize(image.width, image.height, samples);
  if (worstCase == static_cast<unsigned long>(-1)) return std::nullopt;
  std::uint8_t* buffer = cache.reserve(worstCase);
  if (!buffer) return std::nullopt;
  const int jpegQuality = std::clamp(static_cast<int>(std::lround(quality * 100.0)), 1, 100);
  unsigned long size = cache.capacity();
  // TJFLAG_NOREALLOC: the worst-case buffer is ours and must stay where it is.
  const int result = tjCompress2(static_cast<tjhandle>(handle_.get()), image.pixels, image.width, image.stride,
                                 image.height, TJPF_BGRX, &buffer, &size, samples, jpegQuality, TJFLAG_NOREALLOC);
  const std::size_t length = result == 0 && buffer == cache.data() ? static_cast<std::size_t>(size) : 0;
  cache.setLength(length);
  return length;
}

}  // namespace orvo
