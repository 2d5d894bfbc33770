#pragma once

#include <cstdint>
#include <cstdlib>

namespace orvo::platform {

// Turns pixel scroll deltas of one axis into whole wheel clicks. What does not make a full
// click is carried to the next delta, so slow scrolling moves too; a reversal of direction
// eats the carried part first. One delta yields at most maxClicks clicks; beyond that the
// excess is dropped with the remainder, so no delta can queue an unbounded burst.
class WheelAccumulator {
 public:
  // One wheel click moves the content of common toolkits by about 50 pixels (Chromium
  // 53, Qt three lines of 15 to 20, GTK the view height to the power 2/3, about 70 for a
  // 600-pixel view), so a 50-pixel step makes the content travel about as far as the
  // pixels asked for.
  static constexpr std::int64_t pixelsPerClick = 50;
  static constexpr std::int64_t maxClicks = 100;

  // The signed number of clicks for this delta; the sign follows the delta.
  std::int64_t add(std::int32_t pixels) {
    const std::int64_t total = remainder_ + pixels;
    std::int64_t clicks = total / pixelsPerClick;  // truncates toward zero
    remainder_ = total - clicks * pixelsPerClick;
    if (std::llabs(clicks) > maxClicks) {
      clicks = clicks > 0 ? maxClicks : -maxClicks;
      remainder_ = 0;
    }
    return clicks;
  }
  std::int64_t remainder() const { return remainder_; }
  void reset() { remainder_ = 0; }

 private:
  std::int64_t remainder_ = 0;
};

}  // namespace orvo::platform
