#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>
#include <turbojpeg.h>

#include <cstdint>
#include <vector>

#include "fakes/FakeWindowCapturer.h"
#include "streaming/FrameFormat.h"
#include "streaming/FrameProducer.h"
#include "streaming/JpegStrips.h"

namespace orvo::testing {
namespace {

using Pixels = std::vector<std::uint8_t>;

// Decodes a JPEG to B, G, R, X pixels; a warning (a restart marker out of sequence, data
// cut short) fails the decode instead of being papered over.
struct Decoded {
  bool ok = false;
  int width = 0;
  int height = 0;
  Pixels pixels;
};
Decoded decode(const std::uint8_t* jpeg, std::size_t size) {
  Decoded result;
  tjhandle handle = tjInitDecompress();
  int subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(handle, jpeg, size, &result.width, &result.height, &subsampling, &colorspace) == 0) {
    result.pixels.resize(static_cast<std::size_t>(result.width) * result.height * 4);
    result.ok = tjDecompress2(handle, jpeg, size, result.pixels.data(), result.width, 0, result.height, TJPF_BGRX,
                              TJFLAG_STOPONWARNING) == 0;
  }
  tjDestroy(handle);
  return result;
}

Pixels compressed(tjhandle handle, unsigned char* jpeg, unsigned long size) {
  Pixels bytes(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(handle);
  return bytes;
}

// The one-piece reference: TurboJPEG from planes, no restart markers.
Pixels onePieceFromPlanes(const std::uint8_t* const planes[3], const int strides[3], int width, int height,
                          ChromaSubsampling subsampling, int quality) {
  tjhandle handle = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  const std::uint8_t* p[3] = {planes[0], planes[1], planes[2]};
  EXPECT_EQ(tjCompressFromYUVPlanes(handle, p, width, strides, height,
                                    subsampling == ChromaSubsampling::s420 ? TJSAMP_420 : TJSAMP_444, &jpeg, &size,
                                    quality, 0),
            0);
  return compressed(handle, jpeg, size);
}

// The one-piece reference from pixels.
Pixels onePieceFromPixels(const std::uint8_t* pixels, int stride, int width, int height, ChromaSubsampling subsampling,
                          int quality) {
  tjhandle handle = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(handle, pixels, width, stride, height, TJPF_BGRX, &jpeg, &size,
                        subsampling == ChromaSubsampling::s420 ? TJSAMP_420 : TJSAMP_444, quality, 0),
            0);
  return compressed(handle, jpeg, size);
}

// TurboJPEG reads a 4:2:0 luma plane as if its width and height were even (tjPlaneWidth,
// tjPlaneHeight); the strips repeat the last column and row instead. Planes given to both
// carry that repeat, so both see the same samples.
void repeatLastLumaColumnAndRow(std::uint8_t* y, int stride, int width, int height) {
  if (width % 2 == 1) {
    for (int row = 0; row < height; ++row) y[static_cast<std::ptrdiff_t>(row) * stride + width] = y[static_cast<std::ptrdiff_t>(row) * stride + width - 1];
  }
  if (height % 2 == 1) {
    std::copy_n(y + static_cast<std::ptrdiff_t>(height - 1) * stride, width + width % 2,
                y + static_cast<std::ptrdiff_t>(height) * stride);
  }
}

// Planes of a busy picture (edges, gradients, noise) with rows longer than the picture.
struct Planes {
  Planes(int width, int height, ChromaSubsampling subsampling) {
    const bool halved = subsampling == ChromaSubsampling::s420;
    widths[0] = width;
    heights[0] = height;
    widths[1] = widths[2] = halved ? (width + 1) / 2 : width;
    heights[1] = heights[2] = halved ? (height + 1) / 2 : height;
    std::uint32_t noise = 12345;
    for (int i = 0; i < 3; ++i) {
      strides[i] = widths[i] + 13;
      data[i].resize(static_cast<std::size_t>(strides[i]) * (heights[i] + 1));
      for (int y = 0; y < heights[i]; ++y) {
        for (int x = 0; x < widths[i]; ++x) {
          noise = noise * 1103515245 + 12345;
          const int value = (x / 5 + y / 3) % 4 == 0 ? 250 : (x * 3 + y * (i + 1)) % 200 + static_cast<int>(noise >> 28);
          data[i][static_cast<std::size_t>(y) * strides[i] + x] = static_cast<std::uint8_t>(value);
        }
      }
      pointers[i] = data[i].data();
    }
    if (halved) repeatLastLumaColumnAndRow(data[0].data(), strides[0], width, height);
  }
  Pixels data[3];
  const std::uint8_t* pointers[3] = {};
  int strides[3] = {};
  int widths[3] = {};
  int heights[3] = {};
};

// Encodes the picture as parts of `mcuRowsPerPart` MCU rows each and joins them.
template <class WriteRows>
Pixels stripJoined(const JpegPartSettings& settings, JpegPartEncoder::Input input, int height, int mcuRowsPerPart,
                   WriteRows writeRows) {
  const int mcuHeight = mcuRowHeight(settings.subsampling);
  const int partRows = mcuRowsPerPart * mcuHeight;
  std::vector<Pixels> outputs;
  std::vector<JpegPart> parts;
  JpegPartEncoder encoder;
  for (int first = 0; first < height; first += partRows) {
    const int rows = std::min(partRows, height - first);
    Pixels out(JpegPartEncoder::partCapacity(settings, rows));
    EXPECT_TRUE(encoder.begin(settings, input, rows, out.data(), out.size()));
    for (int row = first; row < first + rows; row += mcuHeight) {
      EXPECT_TRUE(writeRows(encoder, row, std::min(mcuHeight, first + rows - row)));
    }
    const auto length = encoder.finish();
    EXPECT_TRUE(length.has_value());
    out.resize(length.value_or(0));
    outputs.push_back(std::move(out));
  }
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    parts.push_back({outputs[i], static_cast<int>(i) * mcuRowsPerPart});
  }
  const auto length = joinedJpegLength(parts);
  EXPECT_TRUE(length.has_value());
  Pixels joined(length.value_or(0));
  EXPECT_EQ(joinJpegParts(parts, height, joined.data()), length);
  return joined;
}

struct Case {
  int width, height;
  ChromaSubsampling subsampling;
  int quality;
  int mcuRowsPerPart;  // not a multiple of 8: the parts' restart markers are renumbered
};
const Case cases[] = {
    {1, 1, ChromaSubsampling::s420, 78, 1},       {1, 1, ChromaSubsampling::s444, 95, 8},
    {3, 5, ChromaSubsampling::s420, 60, 1},       {3, 5, ChromaSubsampling::s444, 90, 1},
    {1601, 999, ChromaSubsampling::s420, 78, 8},  {1601, 999, ChromaSubsampling::s444, 97, 8},
    {1601, 999, ChromaSubsampling::s420, 88, 3},  {37, 200, ChromaSubsampling::s444, 50, 5},
    {640, 33, ChromaSubsampling::s420, 100, 1},
};

std::string describe(const Case& c) {
  return std::to_string(c.width) + "x" + std::to_string(c.height) +
         (c.subsampling == ChromaSubsampling::s420 ? " 4:2:0" : " 4:4:4") + " q" + std::to_string(c.quality) + " by " +
         std::to_string(c.mcuRowsPerPart) + " MCU rows";
}

TEST(JpegStripsTest, StripsJoinedFromPlanesDecodeLikeOnePieceOfTheSamePlanes) {
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c));
    const Planes planes(c.width, c.height, c.subsampling);
    const JpegPartSettings settings{c.width, c.subsampling, c.quality};
    const bool halved = c.subsampling == ChromaSubsampling::s420;
    const Pixels joined = stripJoined(settings, JpegPartEncoder::Input::planes, c.height, c.mcuRowsPerPart,
                                      [&](JpegPartEncoder& encoder, int row, int rows) {
                                        const int chromaRow = halved ? row / 2 : row;
                                        const auto at = [&](int i, int r) {
                                          return planes.pointers[i] + static_cast<std::ptrdiff_t>(r) * planes.strides[i];
                                        };
                                        return encoder.writePlanes({at(0, row), planes.strides[0], at(1, chromaRow),
                                                                    planes.strides[1], at(2, chromaRow), planes.strides[2]},
                                                                   rows);
                                      });
    const Pixels whole =
        onePieceFromPlanes(planes.pointers, planes.strides, c.width, c.height, c.subsampling, c.quality);
    const Decoded fromStrips = decode(joined.data(), joined.size());
    const Decoded fromWhole = decode(whole.data(), whole.size());
    ASSERT_TRUE(fromStrips.ok);
    ASSERT_TRUE(fromWhole.ok);
    EXPECT_EQ(std::pair(fromStrips.width, fromStrips.height), std::pair(c.width, c.height));
    EXPECT_TRUE(fromStrips.pixels == fromWhole.pixels);
  }
}

TEST(JpegStripsTest, StripsJoinedFromPixelsDecodeLikeOnePieceOfTheSamePixels) {
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c));
    const Planes noise(c.width * 4, c.height, ChromaSubsampling::s444);  // any bytes will do as pixels
    const int stride = noise.strides[0];
    const JpegPartSettings settings{c.width, c.subsampling, c.quality};
    const Pixels joined = stripJoined(settings, JpegPartEncoder::Input::pixels, c.height, c.mcuRowsPerPart,
                                      [&](JpegPartEncoder& encoder, int row, int rows) {
                                        return encoder.writePixels(
                                            noise.pointers[0] + static_cast<std::ptrdiff_t>(row) * stride, stride, rows);
                                      });
    const Pixels whole = onePieceFromPixels(noise.pointers[0], stride, c.width, c.height, c.subsampling, c.quality);
    const Decoded fromStrips = decode(joined.data(), joined.size());
    const Decoded fromWhole = decode(whole.data(), whole.size());
    ASSERT_TRUE(fromStrips.ok);
    ASSERT_TRUE(fromWhole.ok);
    EXPECT_TRUE(fromStrips.pixels == fromWhole.pixels);
  }
}

TEST(JpegStripsTest, PartsThatAreNotWholeOrNotStripsAreRefused) {
  const JpegPartSettings settings{16, ChromaSubsampling::s444, 80};
  JpegPartEncoder encoder;
  Pixels out(JpegPartEncoder::partCapacity(settings, 16));
  const Pixels row(16 * 4, 0x80);
  ASSERT_TRUE(encoder.begin(settings, JpegPartEncoder::Input::pixels, 16, out.data(), out.size()));
  EXPECT_FALSE(encoder.writePlanes({row.data(), 16, row.data(), 16, row.data(), 16}, 8));  // wrong input
  ASSERT_TRUE(encoder.writePixels(row.data(), 0, 8));
  EXPECT_FALSE(encoder.finish().has_value());  // 8 of 16 rows given
  // A buffer too small for the part is an error, not an overrun.
  Pixels tiny(64);
  const bool began = encoder.begin(settings, JpegPartEncoder::Input::pixels, 8, tiny.data(), tiny.size());
  const bool wrote = began && encoder.writePixels(row.data(), 0, 8);
  EXPECT_FALSE(wrote && encoder.finish().has_value());

  const Pixels garbage = {0xFF, 0xD8, 0x12, 0x34, 0xFF, 0xD9};
  const JpegPart notAPart[] = {{garbage, 0}};
  EXPECT_FALSE(joinedJpegLength(notAPart).has_value());
  EXPECT_FALSE(joinedJpegLength({}).has_value());
}

// The producer's strips (scaled on two threads, joined) against the whole picture scaled in
// one piece by libyuv and encoded in one piece by TurboJPEG: the same pixels.
TEST(FrameStripsTest, AFrameDecodesLikeTheWholePictureScaledAndEncodedInOnePiece) {
  struct FrameCase {
    int width, height;
    const StreamProfile* profile;
    double quality;
  };
  const FrameCase frameCases[] = {
      {3204, 1993, &interactiveProfile, 0.78},  // → 1600 × 995, eight strips
      {3204, 1993, &refineProfile, 0.9},        // → 2300 × 1431, 4:4:4
      {1601, 999, &interactiveProfile, 0.6},    // → 1600 × 998
      {1200, 800, &interactiveProfile, 0.7},    // not scaled
      {1200, 800, &refineProfile, 0.95},
      {3, 5, &interactiveProfile, 0.78},
      {1, 1, &refineProfile, 0.9},
  };
  FakeWindowCapturer capturer;
  FrameProducer producer(capturer);
  for (const auto& c : frameCases) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " " << c.profile->name);
    capturer.setPicture(7, c.width, c.height);
    const auto picture = producer.capture(7, std::nullopt, CaptureMode::isolated);
    ASSERT_TRUE(picture.has_value());
    const auto frame = producer.makeFrame(7, *picture, *c.profile, c.quality);
    ASSERT_TRUE(frame.has_value());
    ASSERT_EQ(frame->wire.size(), frameHeaderSize + frame->jpegLength);
    const FrameHeader header = makeFrameHeader(7, static_cast<std::uint32_t>(frame->jpegLength));
    EXPECT_TRUE(std::equal(header.begin(), header.end(), frame->wire.begin()));

    const FrameSize size = targetFrameSize(c.width, c.height, c.profile->maxDim);
    Pixels scaled(static_cast<std::size_t>(size.width) * size.height * 4);
    if (size.width == c.width && size.height == c.height) {
      for (int y = 0; y < c.height; ++y) {
        std::copy_n(picture->pixels + static_cast<std::ptrdiff_t>(y) * picture->stride, c.width * 4,
                    scaled.begin() + static_cast<std::ptrdiff_t>(y) * size.width * 4);
      }
    } else {
      ASSERT_EQ(libyuv::ARGBScale(picture->pixels, picture->stride, c.width, c.height, scaled.data(), size.width * 4,
                                  size.width, size.height, libyuv::kFilterBox),
                0);
    }
    const int quality = jpegQualityNumber(c.quality);
    Pixels whole;
    if (subsamplingFor(*c.profile) == ChromaSubsampling::s420) {
      const int chromaWidth = (size.width + 1) / 2;
      const int lumaStride = size.width + 1;
      Pixels y(static_cast<std::size_t>(lumaStride) * (size.height + 1));
      Pixels u(static_cast<std::size_t>(chromaWidth) * ((size.height + 1) / 2));
      Pixels v(u.size());
      ASSERT_EQ(libyuv::ARGBToJ420(scaled.data(), size.width * 4, y.data(), lumaStride, u.data(), chromaWidth, v.data(),
                                   chromaWidth, size.width, size.height),
                0);
      repeatLastLumaColumnAndRow(y.data(), lumaStride, size.width, size.height);
      const std::uint8_t* planes[3] = {y.data(), u.data(), v.data()};
      const int strides[3] = {lumaStride, chromaWidth, chromaWidth};
      whole = onePieceFromPlanes(planes, strides, size.width, size.height, ChromaSubsampling::s420, quality);
    } else {
      whole = onePieceFromPixels(scaled.data(), size.width * 4, size.width, size.height, ChromaSubsampling::s444, quality);
    }
    const Decoded fromFrame = decode(frame->wire.data() + frameHeaderSize, frame->jpegLength);
    const Decoded fromWhole = decode(whole.data(), whole.size());
    ASSERT_TRUE(fromFrame.ok);
    ASSERT_TRUE(fromWhole.ok);
    EXPECT_EQ(std::pair(fromFrame.width, fromFrame.height), std::pair(size.width, size.height));
    EXPECT_TRUE(fromFrame.pixels == fromWhole.pixels);
  }
}

}  // namespace
}  // namespace orvo::testing
