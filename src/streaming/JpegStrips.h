#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "host/HostConstants.h"

namespace orvo {

// Chroma subsampling. Interactive frames halve the colour planes (4:2:0): smaller and
// faster while the user acts. Refine frames keep full colour (4:4:4): they exist to be
// sharp, and coloured text loses its colour edges under 4:2:0 (on a 1204 × 804 terminal
// of coloured text at q 0.95: 31.6 dB against 45.6 dB PSNR, for 16% more bytes and about
// 1 ms more encoding, on frames sent at most every 0.4 s per window; bench/streaming).
enum class ChromaSubsampling { s420, s444 };
inline ChromaSubsampling subsamplingFor(const StreamProfile& profile) {
  return profile.isRefine ? ChromaSubsampling::s444 : ChromaSubsampling::s420;
}

// Height in pixels of one row of MCUs (the JPEG's 8 × 8 or 16 × 16 blocks).
inline int mcuRowHeight(ChromaSubsampling subsampling) { return subsampling == ChromaSubsampling::s420 ? 16 : 8; }

// The JPEG quality number of a 0…1 quality: round(q × 100), kept within 1…100.
int jpegQualityNumber(double quality);

// What every part of one picture shares: parts made with the same settings can be joined.
struct JpegPartSettings {
  int width = 0;
  ChromaSubsampling subsampling = ChromaSubsampling::s420;
  int quality = 0;  // 1…100
};

// Rows of full-range Y, Cb, Cr planes (as a JFIF JPEG holds them). With 4:2:0 the chroma
// rows are half as many and half as wide (rounded up) as the luma rows.
struct PlaneRows {
  const std::uint8_t* y = nullptr;
  int yStride = 0;
  const std::uint8_t* u = nullptr;
  int uStride = 0;
  const std::uint8_t* v = nullptr;
  int vStride = 0;
};

// Encodes a horizontal part of a picture (whole rows of MCUs) into a baseline JPEG of its
// own, with a restart marker after every row of MCUs and the standard Huffman tables. Any
// such parts of one picture, made with the same settings, join into the JPEG of the whole
// picture (joinJpegParts): each restart resets the entropy coder, so a part can be
// encoded alone, on any thread, and spliced in.
//
// The rows are fed in order, one row of MCUs (16 rows with 4:2:0, 8 with 4:4:4) per call,
// the last call of the picture's last part with what is left. Edges are padded to whole
// MCUs by repeating the last column and row, as TurboJPEG does.
//
// One part at a time per encoder; an encoder may be used by one thread at a time. The
// libjpeg compressor and the padding rows are kept from part to part.
class JpegPartEncoder {
 public:
  JpegPartEncoder();
  ~JpegPartEncoder();
  JpegPartEncoder(const JpegPartEncoder&) = delete;
  JpegPartEncoder& operator=(const JpegPartEncoder&) = delete;

  // What the rows of a part are given as: Y, Cb, Cr planes, or 32-bit B, G, R, X pixels
  // that the encoder converts (and subsamples) itself.
  enum class Input { planes, pixels };

  // Starts a part of `height` rows written into `out` (at most `capacity` bytes; see
  // partCapacity). False on bad settings or when the encoder failed.
  bool begin(const JpegPartSettings& settings, Input input, int height, std::uint8_t* out, std::size_t capacity);
  // Writes `rows` rows from planes (one MCU row, fewer only at the end of the part). With
  // `padWritable` the caller lets the encoder write the padding to whole blocks into the
  // rows themselves (each row has room for it); otherwise rows that need padding are copied.
  bool writePlanes(const PlaneRows& planes, int rows, bool padWritable = false);
  // Writes `rows` rows of pixels (one MCU row, fewer only at the end of the part).
  bool writePixels(const std::uint8_t* pixels, int stride, int rows);
  // Ends the part; its length in `out`, nothing when the encoder failed.
  std::optional<std::size_t> finish();

  // Bytes a part of `height` rows may need at most.
  static std::size_t partCapacity(const JpegPartSettings& settings, int height);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// One encoded part and the row of MCUs it starts at.
struct JpegPart {
  std::span<const std::uint8_t> bytes;
  int firstMcuRow = 0;
};

// The length of the JPEG that joins these parts, or nothing when they are not parts of
// JpegPartEncoder (no frame header, no scan, no end).
std::optional<std::size_t> joinedJpegLength(std::span<const JpegPart> parts);
// Writes the JPEG of the whole picture, `height` rows, that joins the parts (in order of
// their rows, together covering the picture) into `out` (joinedJpegLength bytes): the
// headers of the first part with the picture's height, then each part's scan with its
// restart markers numbered on from the parts before. Returns the length, or nothing when
// the parts are not joinable.
std::optional<std::size_t> joinJpegParts(std::span<const JpegPart> parts, int height, std::uint8_t* out);

// A run of bytes [begin, end) in a buffer.
struct ByteRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Where the rows of MCUs lie in a JPEG of JpegPartEncoder, or a join of its parts: the
// length of everything before the scan data, and for each row of MCUs its entropy-coded
// bytes, without the restart marker that follows it. Rows of two such JPEGs with the same
// settings and width are interchangeable: a picture's JPEG can be put together from the
// rows of several, writing a restart marker numbered (row mod 8) after each row but the
// last, and the end-of-image marker. False when `jpeg` is not such a JPEG or does not hold
// `rowCount` rows.
bool jpegMcuRows(std::span<const std::uint8_t> jpeg, int rowCount, std::size_t& headerLength,
                 std::vector<ByteRange>& rows);
// Where such a JPEG's frame header keeps the picture's height (two bytes, big-endian).
std::optional<std::size_t> jpegHeightOffset(std::span<const std::uint8_t> jpeg);

}  // namespace orvo
