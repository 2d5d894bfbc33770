#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/InputInjector.h"
#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11input/CharacterInjector.h"
#include "platform/linux/input/WheelAccumulator.h"
#include "platform/linux/x11input/X11KeyboardSeam.h"

namespace orvo {
class Clock;
class Logger;
class MainQueue;
}  // namespace orvo

namespace orvo::platform::x11 {

// Synthetic input on an X display through the XTEST extension, on a connection of its own
// (so that it alone reads the keymap-change notices it depends on).
//
// Pointer: the pointer moves to the point, then button 1 (primary) or 3 (secondary) goes
// down or up; a drag is a motion with the button held. X clients count multiple clicks
// themselves, from the time and the distance between presses; so the click count is not
// sent, but a click counted as the second or third of a series is posted where the first
// one was. A point outside the screen (its current size) is clamped to the screen's edge;
// input admission has judged the point itself before. A release is always posted, even for
// a point that cannot be placed, so no button stays down.
//
// Scroll: pixel deltas become wheel clicks, buttons 4/5 (vertical) and 6/7 (horizontal),
// WheelAccumulator::pixelsPerClick pixels each, with the remainder carried per axis.
// Signs as a pixel scroll wheel gives them: positive deltaY scrolls toward the top
// (button 4), positive deltaX toward the left edge (button 6).
//
// Keys and characters: see CharacterInjector; C1 control characters (U+0080-U+009F) are
// dropped with a log line. Remapped keycodes are restored CharacterInjector::
// remapHoldSeconds after their last use by a timer on the main queue.
//
// Held buttons, held keys, remapped keycodes and scroll remainders belong to the display
// they were made on: after a loss of the display they are forgotten. releaseAll() and the
// destructor release and restore everything.
//
// Main queue only. The logger, queue and clock must outlive the injector.
class X11InputInjector final : public InputInjector {
 public:
  // `displayName` empty means $DISPLAY.
  X11InputInjector(Logger& logger, MainQueue& main, const Clock& clock, std::string displayName = {});
  ~X11InputInjector() override;
  X11InputInjector(const X11InputInjector&) = delete;
  X11InputInjector& operator=(const X11InputInjector&) = delete;

  bool postMouse(MouseEventType type, MouseButton button, Point at, std::int64_t clickCount) override;
  bool postScroll(std::int32_t deltaY, std::int32_t deltaX) override;
  bool postKey(std::uint16_t virtualKeyCode) override;
  bool postCharacter(char32_t scalar) override;
  // One keymap change for the spare keycodes of the whole run (CharacterInjector).
  std::size_t postCharacters(std::u32string_view scalars) override;
  void releaseAll() override;

  // Remapped keycodes not yet restored (for tests and diagnostics).
  std::size_t remappedKeycodeCount() const { return characters_.remappedCount(); }

 private:
  // The live display with XTEST, or null. Drops the remembered state of a lost display.
  std::shared_ptr<X11Display> acquire();
  void afterTyping();
  void restoreIdleKeycodes();
  void pressButton(xcb_connection_t* c, std::uint8_t button, bool pressed);

  Logger& logger_;
  MainQueue& main_;
  const Clock& clock_;
  X11KeyboardSeam seam_;
  CharacterInjector characters_{seam_};
  X11Connection connection_;
  std::weak_ptr<X11Display> boundDisplay_;
  bool missingXtestLogged_ = false;
  std::vector<std::uint8_t> heldButtons_;
  std::optional<Point> lastClickAt_;  // where the last click went down, as posted
  WheelAccumulator vertical_;
  WheelAccumulator horizontal_;
  bool restoreScheduled_ = false;
  // Delayed restores hold this weakly and do nothing once the injector is gone.
  std::shared_ptr<X11InputInjector*> self_ = std::make_shared<X11InputInjector*>(this);
};

}  // namespace orvo::platform::x11
