#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <map>
#include <optional>
#include <vector>

#include "platform/WindowServer.h"

namespace orvo::testing {

// Windows whose pictures the test sets: each capture returns the window's picture (rows
// of `stride` bytes, B, G, R, X), or nothing for a window the test has not given one or
// has closed. Records every call. Used on one queue at a time, like the real capturer.
//
// With `tracksChanges` set it reports changes as a damage-tracking capturer does: the
// whole picture after setPicture, otherwise the rows the test marked (changeRows) since
// the previous takeChanges; captureRows then answers with the current picture.
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
    return view(window);
  }
  bool usesBounds() const override { return boundsUsed; }
  bool boundsUsed = true;

  platform::PictureChanges takeChanges(std::uint32_t window, const std::optional<Rect>&, CaptureMode) override {
    if (!tracksChanges) return {};
    const auto it = pictures_.find(window);
    if (it == pictures_.end()) return {};
    return std::exchange(it->second.changes, platform::PictureChanges{false, {}});
  }

  std::optional<platform::ImageView> captureRows(std::uint32_t window, const std::optional<Rect>&, CaptureMode,
                                                 const std::vector<platform::RowSpan>& rows) override {
    if (!tracksChanges) return std::nullopt;
    rowCalls.push_back(rows);
    return view(window);
  }

  // The window's pixels, for a test to draw into (then changeRows).
  std::vector<std::uint8_t>& pixels(std::uint32_t window) { return pictures_.at(window).pixels; }
  // Reports rows [top, bottom) of the window as changed (kept sorted and disjoint).
  void changeRows(std::uint32_t window, int top, int bottom) {
    auto& rows = pictures_.at(window).changes.rows;
    rows.push_back({top, bottom});
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.top < b.top; });
    std::vector<platform::RowSpan> merged;
    for (const auto& span : rows) {
      if (!merged.empty() && span.top <= merged.back().bottom) {
        merged.back().bottom = std::max(merged.back().bottom, span.bottom);
      } else {
        merged.push_back(span);
      }
    }
    rows = std::move(merged);
  }

  // Gives the window a picture of the given size: a smooth colour gradient with a few
  // sharp stripes, so that JPEG sizes change with the quality as on a real desktop.
  void setPicture(std::uint32_t window, int width, int height, std::uint8_t seed = 0) {
    Picture& picture = pictures_[window];
    picture.changes = {};
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
  std::vector<std::vector<platform::RowSpan>> rowCalls;
  bool tracksChanges = false;

 private:
  struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
    platform::PictureChanges changes;
  };

  std::optional<platform::ImageView> view(std::uint32_t window) const {
    const auto it = pictures_.find(window);
    if (it == pictures_.end()) return std::nullopt;
    const Picture& picture = it->second;
    return platform::ImageView{picture.pixels.data(), picture.width, picture.height, picture.width * 4};
  }
  std::map<std::uint32_t, Picture> pictures_;
};

}  // namespace orvo::testing
