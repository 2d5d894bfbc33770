#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "host/HostConstants.h"
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

// Chroma subsampling. Interactive frames halve the colour planes (4:2:0): smaller and
// faster while the user acts. Refine frames keep full colour (4:4:4): they exist to be
// sharp, and coloured text loses its colour edges under 4:2:0 (on a 1204 × 804 terminal
// of coloured text at q 0.95: 31.6 dB against 45.6 dB PSNR, for 16% more bytes and about
// 1 ms more encoding, on frames sent at most every 0.4 s per window; bench/streaming).
enum class ChromaSubsampling { s420, s444 };
inline ChromaSubsampling subsamplingFor(const StreamProfile& profile) {
  return profile.isRefine ? ChromaSubsampling::s444 : ChromaSubsampling::s420;
}

// A TurboJPEG compressor. Owns its handle (made when the encoder is made, released when
// it goes); one encoder is used by one queue at a time (the host's capture queue).
class JpegEncoder {
 public:
  JpegEncoder();
  ~JpegEncoder();
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  // Encodes the 32-bit B, G, R, X picture at `quality` (0…1, sent to the encoder as
  // round(quality × 100), kept within 1…100) into the cache's buffer and sets the cache's
  // length. Returns the JPEG's length, 0 when the encoder reported an error, and nothing
  // when there is no compressor or no buffer to encode into.
  std::optional<std::size_t> encode(const platform::ImageView& image, double quality, ChromaSubsampling subsampling,
                                    WindowJPEGEncodeCache& cache);

 private:
  struct HandleCloser {
    void operator()(void* handle) const;
  };
  std::unique_ptr<void, HandleCloser> handle_;
};

}  // namespace orvo
