#include "support/DecodedJpeg.h"

#include <turbojpeg.h>

#include <cstdlib>

#include "support/ChildProcess.h"

namespace orvo::testing {

std::uint32_t DecodedJpeg::at(int x, int y) const {
  const unsigned char* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
  return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}

std::array<std::uint32_t, 4> DecodedJpeg::quadrantCentres() const {
  std::array<std::uint32_t, 4> colours{};
  for (int q = 0; q < 4; ++q) colours[q] = at((q % 2 ? 3 : 1) * width / 4, (q < 2 ? 1 : 3) * height / 4);
  return colours;
}

std::optional<DecodedJpeg> decodeJpegFile(const std::string& path) {
  const std::string jpeg = readFile(path);
  if (jpeg.empty()) return std::nullopt;
  tjhandle decoder = tjInitDecompress();
  DecodedJpeg picture;
  int subsampling = 0, colorspace = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
  bool decoded = tjDecompressHeader3(decoder, data, jpeg.size(), &picture.width, &picture.height, &subsampling,
                                     &colorspace) == 0;
  if (decoded) {
    picture.rgb.resize(static_cast<std::size_t>(picture.width) * picture.height * 3);
    decoded = tjDecompress2(decoder, data, jpeg.size(), picture.rgb.data(), picture.width, picture.width * 3,
                            picture.height, TJPF_RGB, 0) == 0;
  }
  tjDestroy(decoder);
  if (!decoded) return std::nullopt;
  return picture;
}

bool nearColour(std::uint32_t a, std::uint32_t b, int tolerance) {
  for (int shift = 0; shift < 24; shift += 8) {
    if (std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF)) > tolerance) {
      return false;
    }
  }
  return true;
}

}  // namespace orvo::testing
