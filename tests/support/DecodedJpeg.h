#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvo::testing {

// A JPEG file (a frame the client saved) decoded to RGB, three bytes a pixel, row after row.
struct DecodedJpeg {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> rgb;

  // 0xRRGGBB at (x, y).
  std::uint32_t at(int x, int y) const;
  // The colour at the centre of each quadrant: top left, top right, bottom left, bottom right.
  std::array<std::uint32_t, 4> quadrantCentres() const;
};

// Nothing when the file is missing or is not a JPEG.
std::optional<DecodedJpeg> decodeJpegFile(const std::string& path);

// Whether two colours differ by no more than `tolerance` in each channel (what JPEG changes
// in a flat area).
bool nearColour(std::uint32_t a, std::uint32_t b, int tolerance);

}  // namespace orvo::testing
