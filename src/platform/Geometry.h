#pragma once

#include <cstdint>

namespace orvo {

// Global display space: origin at the top-left corner of the screen, y growing downward,
// in points (one point is one pixel on X11).
struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;

  // The same rectangle with non-negative width and height.
  Rect standardized() const {
    Rect r = *this;
    if (r.width < 0) {
      r.x += r.width;
      r.width = -r.width;
    }
    if (r.height < 0) {
      r.y += r.height;
      r.height = -r.height;
    }
    return r;
  }
  // Half-open on the far edges, like the platform's rectangle test.
  bool contains(Point p) const {
    const Rect r = standardized();
    return p.x >= r.x && p.x < r.x + r.width && p.y >= r.y && p.y < r.y + r.height;
  }
};

}  // namespace orvo
