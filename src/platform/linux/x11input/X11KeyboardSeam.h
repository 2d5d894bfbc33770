#pragma once

#include <memory>
#include <optional>

#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11input/KeyboardSeam.h"

namespace orvo::platform::x11 {

// The keyboard seam on a real display: XTEST fake key events, core keyboard-mapping
// requests, and a cached copy of the keymap that is read again after any MappingNotify
// (whoever changed the map) and after each of its own changes.
//
// The owner attaches the display before each use and reports MappingNotify events seen on
// that display's connection. One thread (the host's main queue).
class X11KeyboardSeam final : public KeyboardSeam {
 public:
  X11KeyboardSeam() = default;
  X11KeyboardSeam(const X11KeyboardSeam&) = delete;
  X11KeyboardSeam& operator=(const X11KeyboardSeam&) = delete;

  // The display to talk to from now on (null: none). A different display drops the cache.
  void attach(std::shared_ptr<X11Display> display);
  // The keymap or the modifier map changed on the server.
  void markStale() { cache_.reset(); }

  const KeyboardMapping* mapping() override;
  void setKey(Keycode keycode, bool pressed) override;
  void remap(Keycode keycode, std::span<const Keysym> keysyms) override;
  void flush() override;
  void sync() override;

 private:
  std::shared_ptr<X11Display> display_;
  std::optional<KeyboardMapping> cache_;
};

}  // namespace orvo::platform::x11
