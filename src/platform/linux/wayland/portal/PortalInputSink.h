#pragma once

#include <cstddef>
#include <cstdint>

namespace orvo::platform::portal {

// Where the injector's events go: the RemoteDesktop portal's Notify* calls of the session
// that shares the windows. PortalSession is the real one; main queue only.
class PortalInputSink {
 public:
  virtual ~PortalInputSink() = default;
  virtual void notifyPointerMotionAbsolute(std::uint32_t stream, double x, double y) = 0;
  virtual void notifyPointerButton(std::int32_t button, bool pressed) = 0;
  virtual void notifyPointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) = 0;
  virtual void notifyKeyboardKeysym(std::uint32_t keysym, bool pressed) = 0;
  // A key by its Linux (evdev) key code, whatever the layout puts on it.
  virtual void notifyKeyboardKeycode(std::int32_t keycode, bool pressed) = 0;
  // Events handed over and not yet answered by the desktop.
  virtual std::size_t queuedInput() const { return 0; }
};

}  // namespace orvo::platform::portal
