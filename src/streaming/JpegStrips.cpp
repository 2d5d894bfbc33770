#include "streaming/JpegStrips.h"

#include <turbojpeg.h>

// jpeglib.h needs size_t and FILE declared first.
#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace orvo {
namespace {

constexpr std::uint8_t markerPrefix = 0xFF;
constexpr std::uint8_t startOfImage = 0xD8;
constexpr std::uint8_t endOfImage = 0xD9;
constexpr std::uint8_t startOfScan = 0xDA;
constexpr std::uint8_t baselineFrame = 0xC0;
constexpr std::uint8_t firstRestart = 0xD0;

// The offsets in one part that joining needs.
struct PartLayout {
  std::size_t heightField = 0;  // the frame header's height
  std::size_t scanStart = 0;    // first byte after the scan header
  std::size_t scanEnd = 0;      // the end-of-image marker
};

std::optional<PartLayout> layoutOf(std::span<const std::uint8_t> b) {
  if (b.size() < 4 || b[0] != markerPrefix || b[1] != startOfImage) return std::nullopt;
  if (b[b.size() - 2] != markerPrefix || b[b.size() - 1] != endOfImage) return std::nullopt;
  PartLayout layout;
  std::size_t i = 2;
  while (i + 4 <= b.size()) {
    if (b[i] != markerPrefix) return std::nullopt;
    const std::uint8_t marker = b[i + 1];
    const std::size_t length = static_cast<std::size_t>(b[i + 2]) << 8 | b[i + 3];
    if (length < 2 || i + 2 + length > b.size() - 2) return std::nullopt;
    if (marker == baselineFrame) {
      if (length < 7) return std::nullopt;
      layout.heightField = i + 5;
    }
    if (marker == startOfScan) {
      if (layout.heightField == 0) return std::nullopt;
      layout.scanStart = i + 2 + length;
      layout.scanEnd = b.size() - 2;
      return layout;
    }
    i += 2 + length;
  }
  return std::nullopt;
}

}  // namespace

int jpegQualityNumber(double quality) { return std::clamp(static_cast<int>(std::lround(quality * 100.0)), 1, 100); }

// The libjpeg compressor with an error handler that jumps back instead of ending the
// process, and a destination that is the caller's fixed buffer.
struct JpegPartEncoder::State {
  struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
  };

  State() {
    cinfo.err = jpeg_std_error(&error.pub);
    error.pub.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<ErrorManager*>(c->err)->jump, 1); };
    error.pub.output_message = [](j_common_ptr) {};
    jpeg_create_compress(&cinfo);
    destination.init_destination = [](j_compress_ptr) {};
    // The buffer is sized for the worst case; running out of it is an error.
    destination.empty_output_buffer = [](j_compress_ptr c) -> boolean {
      c->err->error_exit(reinterpret_cast<j_common_ptr>(c));
      return FALSE;
    };
    destination.term_destination = [](j_compress_ptr) {};
    cinfo.dest = &destination;
  }
  ~State() { jpeg_destroy_compress(&cinfo); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  jpeg_compress_struct cinfo{};
  ErrorManager error{};
  jpeg_destination_mgr destination{};
  std::uint8_t* out = nullptr;
  std::size_t capacity = 0;
  bool active = false;
  Input input = Input::planes;
  int mcuHeight = 16;
  // Rows padded to whole blocks, when the caller's rows cannot be padded in place.
  std::vector<std::uint8_t> padding[3];
};

JpegPartEncoder::JpegPartEncoder() : state_(std::make_unique<State>()) {}

JpegPartEncoder::~JpegPartEncoder() = default;

std::size_t JpegPartEncoder::partCapacity(const JpegPartSettings& settings, int height) {
  const int samples = settings.subsampling == ChromaSubsampling::s420 ? TJSAMP_420 : TJSAMP_444;
  const unsigned long worstCase = tjBufSize(std::max(settings.width, 1), std::max(height, 1), samples);
  // Two bytes per restart marker on top of TurboJPEG's worst case for the picture.
  const int mcuRows = (height + mcuRowHeight(settings.subsampling) - 1) / mcuRowHeight(settings.subsampling);
  return static_cast<std::size_t>(worstCase) + 2 * static_cast<std::size_t>(mcuRows) + 64;
}

bool JpegPartEncoder::begin(const JpegPartSettings& settings, Input input, int height, std::uint8_t* out,
                            std::size_t capacity) {
  State& s = *state_;
  if (s.active) jpeg_abort_compress(&s.cinfo);
  s.active = false;
  if (settings.width < 1 || settings.width > JPEG_MAX_DIMENSION || height < 1 || height > JPEG_MAX_DIMENSION ||
      !out || capacity == 0) {
    return false;
  }
  s.out = out;
  s.capacity = capacity;
  s.input = input;
  s.mcuHeight = mcuRowHeight(settings.subsampling);
  s.destination.next_output_byte = out;
  s.destination.free_in_buffer = capacity;

  jpeg_compress_struct& c = s.cinfo;
  if (setjmp(s.error.jump)) {
    jpeg_abort_compress(&c);
    return false;
  }
  c.image_width = static_cast<JDIMENSION>(settings.width);
  c.image_height = static_cast<JDIMENSION>(height);
  c.input_components = input == Input::planes ? 3 : 4;
  c.in_color_space = input == Input::planes ? JCS_YCbCr : JCS_EXT_BGRX;
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, JCS_YCbCr);
  jpeg_set_quality(&c, settings.quality, TRUE);
  // TurboJPEG's choice: the fast integer transform below quality 96, the accurate one above.
  c.dct_method = settings.quality >= 96 ? JDCT_ISLOW : JDCT_IFAST;
  const int horizontal = settings.subsampling == ChromaSubsampling::s420 ? 2 : 1;
  c.comp_info[0].h_samp_factor = horizontal;
  c.comp_info[0].v_samp_factor = horizontal;
  for (int i = 1; i < 3; ++i) {
    c.comp_info[i].h_samp_factor = 1;
    c.comp_info[i].v_samp_factor = 1;
  }
  c.raw_data_in = input == Input::planes ? TRUE : FALSE;
  // A restart after every row of MCUs: any run of whole MCU rows stands alone.
  c.restart_in_rows = 0;
  c.restart_interval = static_cast<unsigned>((settings.width + 8 * horizontal - 1) / (8 * horizontal));
  jpeg_start_compress(&c, TRUE);
  s.active = true;
  return true;
}

bool JpegPartEncoder::writePlanes(const PlaneRows& planes, int rows, bool padWritable) {
  State& s = *state_;
  if (!s.active || s.input != Input::planes || rows < 1 || rows > s.mcuHeight) return false;
  jpeg_compress_struct& c = s.cinfo;
  const bool halved = s.mcuHeight == 16;
  JSAMPROW pointers[3][16];
  JSAMPARRAY arrays[3] = {pointers[0], pointers[1], pointers[2]};
  const std::uint8_t* bases[3] = {planes.y, planes.u, planes.v};
  const int strides[3] = {planes.yStride, planes.uStride, planes.vStride};
  const int width = static_cast<int>(c.image_width);
  for (int i = 0; i < 3; ++i) {
    const bool chroma = i > 0 && halved;
    const int componentWidth = chroma ? (width + 1) / 2 : width;
    const int paddedWidth = static_cast<int>(c.comp_info[i].width_in_blocks) * DCTSIZE;
    const int wanted = chroma ? s.mcuHeight / 2 : s.mcuHeight;
    const int given = chroma ? (rows + 1) / 2 : rows;
    if (!bases[i]) return false;
    const bool pad = paddedWidth > componentWidth;
    if (pad && !padWritable) {
      s.padding[i].resize(static_cast<std::size_t>(paddedWidth) * static_cast<std::size_t>(wanted));
    }
    for (int row = 0; row < wanted; ++row) {
      const int source = std::min(row, given - 1);  // below the picture: its last row again
      auto* line = const_cast<std::uint8_t*>(bases[i] + static_cast<std::ptrdiff_t>(source) * strides[i]);
      if (pad && !padWritable) {
        std::uint8_t* copy = s.padding[i].data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(paddedWidth);
        std::memcpy(copy, line, static_cast<std::size_t>(componentWidth));
        line = copy;
      }
      // Rows below the given ones repeat the last given row, which is padded already.
      if (pad && (!padWritable || row < given)) {
        std::memset(line + componentWidth, line[componentWidth - 1],
                    static_cast<std::size_t>(paddedWidth - componentWidth));
      }
      pointers[i][row] = line;
    }
  }
  if (setjmp(s.error.jump)) {
    jpeg_abort_compress(&c);
    s.active = false;
    return false;
  }
  jpeg_write_raw_data(&c, arrays, static_cast<JDIMENSION>(s.mcuHeight));
  return true;
}

bool JpegPartEncoder::writePixels(const std::uint8_t* pixels, int stride, int rows) {
  State& s = *state_;
  if (!s.active || s.input != Input::pixels || !pixels || rows < 1 || rows > s.mcuHeight) return false;
  jpeg_compress_struct& c = s.cinfo;
  JSAMPROW pointers[16];
  for (int row = 0; row < rows; ++row) {
    pointers[row] = const_cast<std::uint8_t*>(pixels + static_cast<std::ptrdiff_t>(row) * stride);
  }
  if (setjmp(s.error.jump)) {
    jpeg_abort_compress(&c);
    s.active = false;
    return false;
  }
  jpeg_write_scanlines(&c, pointers, static_cast<JDIMENSION>(rows));
  return true;
}

std::optional<std::size_t> JpegPartEncoder::finish() {
  State& s = *state_;
  if (!s.active) return std::nullopt;
  s.active = false;
  jpeg_compress_struct& c = s.cinfo;
  if (setjmp(s.error.jump)) {
    jpeg_abort_compress(&c);
    return std::nullopt;
  }
  // Rows the caller did not give (a part cut short) are an error, not a picture.
  if (c.next_scanline < c.image_height) {
    jpeg_abort_compress(&c);
    return std::nullopt;
  }
  jpeg_finish_compress(&c);
  return s.capacity - s.destination.free_in_buffer;
}

std::optional<std::size_t> joinedJpegLength(std::span<const JpegPart> parts) {
  if (parts.empty() || parts[0].firstMcuRow != 0) return std::nullopt;
  std::size_t length = 0;
  for (std::size_t p = 0; p < parts.size(); ++p) {
    const auto layout = layoutOf(parts[p].bytes);
    if (!layout) return std::nullopt;
    if (p == 0) length += layout->scanStart;
    length += layout->scanEnd - layout->scanStart;
    if (p > 0) length += 2;  // the restart marker between two parts
  }
  return length + 2;  // end of image
}

std::optional<std::size_t> joinJpegParts(std::span<const JpegPart> parts, int height, std::uint8_t* out) {
  if (!joinedJpegLength(parts) || height < 1 || height > 0xFFFF) return std::nullopt;
  std::uint8_t* at = out;
  for (std::size_t p = 0; p < parts.size(); ++p) {
    const auto bytes = parts[p].bytes;
    const PartLayout layout = *layoutOf(bytes);
    if (p == 0) {
      std::memcpy(at, bytes.data(), layout.scanStart);
      at[layout.heightField] = static_cast<std::uint8_t>(height >> 8);
      at[layout.heightField + 1] = static_cast<std::uint8_t>(height & 0xFF);
      at += layout.scanStart;
    } else {
      // The restart that ends the MCU row before this part; restarts count modulo 8.
      *at++ = markerPrefix;
      *at++ = static_cast<std::uint8_t>(firstRestart + (parts[p].firstMcuRow - 1) % 8);
    }
    const std::size_t scanLength = layout.scanEnd - layout.scanStart;
    std::memcpy(at, bytes.data() + layout.scanStart, scanLength);
    // The part numbered its own restarts from 0; number them on from where it starts. In
    // the scan an 0xFF is followed by a stuffed 0x00 or a marker, so markers are unambiguous.
    const int shift = parts[p].firstMcuRow % 8;
    if (shift != 0) {
      for (std::size_t i = 0; i + 1 < scanLength; ++i) {
        if (at[i] != markerPrefix) continue;
        const std::uint8_t next = at[i + 1];
        if (next >= firstRestart && next < firstRestart + 8) {
          at[i + 1] = static_cast<std::uint8_t>(firstRestart + (next - firstRestart + shift) % 8);
        }
        ++i;
      }
    }
    at += scanLength;
  }
  *at++ = markerPrefix;
  *at++ = endOfImage;
  return static_cast<std::size_t>(at - out);
}

std::optional<std::size_t> jpegHeightOffset(std::span<const std::uint8_t> jpeg) {
  const auto layout = layoutOf(jpeg);
  if (!layout) return std::nullopt;
  return layout->heightField;
}

bool jpegMcuRows(std::span<const std::uint8_t> jpeg, int rowCount, std::size_t& headerLength,
                 std::vector<ByteRange>& rows) {
  const auto layout = layoutOf(jpeg);
  if (!layout || rowCount < 1) return false;
  headerLength = layout->scanStart;
  rows.clear();
  std::size_t begin = layout->scanStart;
  const std::uint8_t* data = jpeg.data();
  std::size_t i = begin;
  while (i + 1 < layout->scanEnd) {
    const void* found = std::memchr(data + i, markerPrefix, layout->scanEnd - 1 - i);
    if (!found) break;
    i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - data);
    const std::uint8_t next = data[i + 1];
    if (next >= firstRestart && next < firstRestart + 8) {
      if (next != firstRestart + rows.size() % 8) return false;
      rows.push_back({begin, i});
      begin = i + 2;
    }
    i += 2;  // a stuffed 0x00 or a marker
  }
  rows.push_back({begin, layout->scanEnd});
  return static_cast<int>(rows.size()) == rowCount;
}

}  // namespace orvo
