#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/WindowServer.h"

namespace orvo::testing {

// Windows whose pictures the test sets: each capture returns the window's picture (rows
// of `stride` bytes, B, G, R, X), or nothing for a window the test has not given one or
// has closed. Records every call. Used on one queue at a time, like the real capturer.
class FakeWindowCapturer final : public platform::WindowCapturer {
 public:
  struct Call {
    std::uint32_t window = 0;
    std::optional<Rect> bounds;
    CaptureMode mode = CaptureMode::isolated;
  };

  std::optional<platform::ImageView> captureWindow(std::uint32_t window, const std::optional<Rect>& bounds,
                                                   CaptureMode mode) override {
    calls.push_back({window, bounds, mode});
    const auto it = pictures_.find(window);
    if (it == pictures_.end()) return std::nullopt;
    const Picture& picture = it->second;
    return platform::ImageView{picture.pixels.data(), picture.width, picture.height, picture.width * 4};
  }

  // Gives the window a picture of the given size: a smooth colour gradient with a few
  // sharp stripes, so that JPEG sizes change with the quality as on a real desktop.
  void setPicture(std::uint32_t window, int width, int height, std::uint8_t seed = 0) {
    Picture& picture = pictures_[window];
    picture.width = width;
    picture.height = height;
    picture.pixels.resize(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        std::uint8_t* p = &picture.pixels[(static_cast<std::size_t>(y) * width + x) * 4];
        const bool stripe = (x / 7 + y / 5) % 9 == 0;
        p[0] = static_cast<std::uint8_t>(stripe ? 255 : x * 255 / (width > 1 ? width - 1 : 1));
        p[1] = static_cast<std::uint8_t>(stripe ? 0 : y * 255 / (height > 1 ? height - 1 : 1));
        p[2] = static_cast<std::uint8_t>(seed + (x ^ y));
        p[3] = 0xFF;
      }
    }
  }
  void close(std::uint32_t window) { pictures_.erase(window); }

  std::vector<Call> calls;

 private:
  struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
  };
  std::map<std::uint32_t, Picture> pictures_;
};

}  // namespace orvo::testing
