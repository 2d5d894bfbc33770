#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/Geometry.h"

namespace orvo::platform {

enum class MouseButton { primary, secondary };
enum class MouseEventType { down, up, dragged };

// Synthetic input posted into the display's input stream. Main queue. Every post returns
// false when the event could not be made or posted. The injector remembers what it holds
// down and every keymap change it made, so releaseAll() leaves nothing pressed or changed.
class InputInjector {
 public:
  virtual ~InputInjector() = default;
  // Moves the pointer to `at` and presses, releases or drags (moves with the button held).
  virtual bool postMouse(MouseEventType type, MouseButton button, Point at, std::int64_t clickCount) = 0;
  // Pixel scroll deltas as the client sends them, with the signs of a pixel scroll wheel:
  // positive deltaY moves the content down (scrolls toward the top), positive deltaX moves
  // it right (scrolls toward the left edge).
  virtual bool postScroll(std::int32_t deltaY, std::int32_t deltaX) = 0;
  // A press and release of the key with this virtual key code (51 backspace, 36 return,
  // 53 escape, 123 left, 124 right, 126 up, 125 down).
  virtual bool postKey(std::uint16_t virtualKeyCode) = 0;
  // A press and release that types one Unicode scalar.
  virtual bool postCharacter(char32_t scalar) = 0;
  // Types the scalars in order, each as postCharacter would, and lets the injector prepare
  // them together (one keymap change for the run). Returns how many it took, typed or
  // skipped; fewer than given when it cannot take more just now (the keys it would need
  // are still in use, its queue to the desktop is full): the caller offers the rest again
  // a little later.
  virtual std::size_t postCharacters(std::u32string_view scalars) {
    for (const char32_t scalar : scalars) postCharacter(scalar);
    return scalars.size();
  }
  // Ends a session's input: releases held keys and buttons, restores the keymap and
  // forgets scroll remainders.
  virtual void releaseAll() = 0;
};

}  // namespace orvo::platform
