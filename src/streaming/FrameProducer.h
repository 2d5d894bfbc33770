#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/Bytes.h"
#include "host/HostConstants.h"
#include "platform/WindowServer.h"
#include "streaming/JpegStrips.h"
#include "streaming/StripWorkers.h"

namespace orvo {

// One frame ready for the network: the 9-byte header and the JPEG in one buffer.
struct ProducedFrame {
  Bytes wire;
  std::size_t jpegLength = 0;  // 0 when the encoder failed: the header alone is sent
  int width = 0;
  int height = 0;
  // Of the time between the picture and the frame, the parts spent scaling (and converting
  // to YCbCr) and encoding, in seconds of wall time (the two threads' work apportioned).
  double scaleSeconds = 0;
  double encodeSeconds = 0;
  // Time spent asking for the window's changes and capturing it (produce only).
  double captureSeconds = 0;
  // How the frame was made: captured, scaled and encoded whole; only its changed rows of
  // MCUs re-encoded and spliced into the window's previous frame; or that frame again.
  enum class Path { full, partial, cached };
  Path path = Path::full;
  int encodedMcuRows = 0;  // rows of MCUs encoded for this frame
  int mcuRows = 0;         // rows of MCUs of the frame
};

// Turns a window into a frame: captures its picture in a capture mode, then scales it to
// a stream profile's size and encodes a JPEG at a quality, header included. It knows
// nothing of requests, slots or the network; the snapshot pump decides which window, mode,
// profile and quality, and sends what comes back.
//
// The frame is made in horizontal strips of whole MCU rows (128 pixel rows with 4:2:0,
// 64 with 4:4:4) on two threads: each strip is scaled (libyuv box filter, into a strip
// buffer that stays in the cache), converted (4:2:0: libyuv's full-range JPEG planes; 4:4:4:
// the encoder converts the pixels itself) and encoded as a JPEG part with a restart
// marker after every row of MCUs; the parts are then joined into one baseline JPEG while
// being copied into the frame handed to the network.
//
// Frames of a window are kept, per capture mode and profile (the last eight quality steps
// of each, within a bound on the bytes kept), with the JPEG's rows of MCUs and the capturer's changes since. produce() answers
// with a kept frame when nothing changed and its size, quality step and subsampling are
// those asked for; when some rows changed it reads only those rows of the window, and
// re-encodes only the rows of MCUs they reach (the scaling filter's reach included); any
// other case (first frame, resize, mode change, new quality step, a capturer that cannot
// tell) takes the full path. Every frame is byte for byte the frame the full path would
// make of the window as it is now: a row of MCUs is scaled and encoded the same way on
// every path, and a restart marker follows each.
//
// Capture queue only, one frame at a time: the strip buffers, the parts' output and the
// encoders are shared by every window and only grow, so a steady stream allocates nothing
// per frame beyond the frame it returns. Everything passed in must outlive the producer.
class FrameProducer {
 public:
  explicit FrameProducer(platform::WindowCapturer& capturer);
  ~FrameProducer();
  FrameProducer(const FrameProducer&) = delete;
  FrameProducer& operator=(const FrameProducer&) = delete;

  // The window's picture in the mode, valid until the window's next capture; nothing when
  // the window server gives none.
  std::optional<platform::ImageView> capture(std::uint32_t windowId, const std::optional<Rect>& bounds,
                                             CaptureMode mode);

  // The frame of `picture` for the profile (its size and subsampling) at `quality` (0…1).
  // Nothing when the buffers cannot be made or the picture is not usable.
  std::optional<ProducedFrame> makeFrame(std::uint32_t windowId, const platform::ImageView& picture,
                                         const StreamProfile& profile, double quality);

  // The frame of the window in the mode, for the profile at `quality`, from the kept frame
  // and the window's changes where it can. `captureFailed` when the window server gave no
  // picture; otherwise nothing in `frame` when the buffers cannot be made.
  struct Outcome {
    std::optional<ProducedFrame> frame;
    bool captureFailed = false;
  };
  Outcome produce(std::uint32_t windowId, const std::optional<Rect>& bounds, CaptureMode mode,
                  const StreamProfile& profile, double quality);
  // Whether the capturer needs the window's bounds (otherwise pass nothing).
  bool usesBounds() const { return capturer_.usesBounds(); }

  // How many times the producer's buffers have been (re)made so far.
  std::size_t bufferAllocations() const { return allocations_; }

  // Rows of MCUs per strip: a multiple of 8, so the joined strips' restart markers keep
  // their numbers.
  static constexpr int mcuRowsPerStrip = 8;
  // Kept frames: at most this many quality steps per window, mode and profile (after a
  // refine frame the quality loop walks back over several steps, and a still window then
  // meets each of them again every cycle), this many frames in all, and this many bytes of
  // JPEG in all; the least recently used frame makes room.
  static constexpr std::size_t maxCachedSteps = 8;
  static constexpr std::size_t maxCachedFrames = 32;
  static constexpr std::size_t maxCachedBytes = 6u << 20;
  // Bytes held by the kept frames.
  std::size_t cachedBytes() const;

 private:
  struct Worker;
  struct Job;
  struct CachedFrame;
  // A run of rows of MCUs to encode, within one strip.
  struct StripPart {
    int firstMcuRow = 0;
    int mcuRows = 0;
  };
  // Encodes the picture's frame. With a valid `cached` frame of the same settings, only
  // the rows of MCUs its changed rows reach are encoded and the rest come from it; with
  // one that is not valid, everything is encoded. Either way `cached` then holds the new frame.
  std::optional<ProducedFrame> encodeFrame(std::uint32_t windowId, const platform::ImageView& picture,
                                           const StreamProfile& profile, double quality, CachedFrame* cached);
  bool prepare(const Job& job);
  void encodeStrips(Worker& worker, Job& job);
  bool encodeStrip(Worker& worker, const Job& job, int part);
  CachedFrame* findCached(std::uint32_t windowId, CaptureMode mode, bool refine, const JpegPartSettings& settings);
  CachedFrame& newCached(std::uint32_t windowId, CaptureMode mode, bool refine);
  // Drops the least recently used frames other than `keep` while the bytes are over the bound.
  void trimCache(const CachedFrame* keep);
  void noteChanges(std::uint32_t windowId, CaptureMode mode, const platform::PictureChanges& changes);

  platform::WindowCapturer& capturer_;
  std::vector<std::unique_ptr<Worker>> workers_;
  StripWorkers threads_;
  // The strips' JPEG parts, one region of `stripCapacity_` bytes each.
  std::unique_ptr<std::uint8_t[]> output_;
  std::size_t outputCapacity_ = 0;
  std::size_t stripCapacity_ = 0;
  std::vector<std::size_t> stripLengths_;
  // Per-frame lists, kept so that a steady stream allocates nothing for them.
  std::vector<StripPart> stripParts_;
  std::vector<char> encodeRows_;
  std::vector<std::pair<const std::uint8_t*, ByteRange>> rowSource_;
  std::vector<std::vector<ByteRange>> partRows_;
  std::vector<ByteRange> rows_;
  std::vector<std::unique_ptr<CachedFrame>> cache_;
  std::uint64_t cacheUses_ = 0;
  std::size_t allocations_ = 0;
};

}  // namespace orvo
