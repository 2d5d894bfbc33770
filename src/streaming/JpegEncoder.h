#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/WindowServer.h"

namespace orvo {

// One window's JPEG output buffer, reused for each of its frames. It is sized for the
// worst case of the largest picture encoded so far, so the encoder never has to grow it
// mid-frame; it only grows, and pages the encoder never writes are never touched.
// Used on the capture queue only.
class WindowJPEGEncodeCache {
 public:
  WindowJPEGEncodeCache() = default;
  WindowJPEGEncodeCache(const WindowJPEGEncodeCache&) = delete;
  WindowJPEGEncodeCache& operator=(const WindowJPEGEncodeCache&) = delete;

  // A buffer of at least `bytes` bytes, or nothing when it cannot be allocated. The
  // previous contents are not kept.
  std::uint8_t* reserve(std::size_t bytes);

  // The last encoded JPEG: data() holds length() bytes.
  const std::uint8_t* data() const { return data_.get(); }
  std::size_t length() const { return length_; }
  void setLength(std::size_t length) { length_ = length; }
  std::size_t capacity() const { return capacity_; }
  // How many buffers this cache has made so far.
  std::size_t allocations() const { return allocations_; }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t capacity_ = 0;
  std::size_t length_ = 0;
  std::size_t allocations_ = 0;
};

// Chroma subsampling of every frame. 4:2:0 halves the colour planes: smaller and faster
// frames than 4:4:4 at the same quality setting, and at the profiles' byte budgets the
// saved bytes buy a higher quality for the luma that carries text.
enum class ChromaSubsampling { s420, s444 };
inline constexpr ChromaSubsampling frameSubsampling = ChromaSubsampling::s420;

// A TurboJPEG compressor. Owns its handle (made when the encoder is made, released when
// it goes); one encoder is used by one queue at a time (the host's capture queue).
class JpegEncoder {
 public:
  explicit JpegEncoder(ChromaSubsampling subsampling = frameSubsampling);
  ~JpegEncoder();
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  // Encodes the 32-bit B, G, R, X picture at `quality` (0…1, sent to the encoder as
  // round(quality × 100), kept within 1…100) into the cache's buffer and sets the cache's
  // length. Returns the JPEG's length, 0 when the encoder reported an error, and nothing
  // when there is no compressor or no buffer to encode into.
  std::optional<std::size_t> encode(const platform::ImageView& image, double quality, WindowJPEGEncodeCache& cache);

 private:
  struct HandleCloser {
    void operator()(void* handle) const;
  };
  std::unique_ptr<void, HandleCloser> handle_;
  int subsampling_;
};

}  // namespace orvo
