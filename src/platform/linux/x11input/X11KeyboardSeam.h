#pragma once

#include <memory>
#include <optional>

#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11input/KeyboardSeam.h"

struct xkb_context;

namespace orvo::platform::x11 {

// The keyboard seam on a real display: XTEST fake key events, core keyboard-mapping
// requests, a cached copy of the core mapping and of the XKB keymap (read again after any
// keymap change, whoever made it, and after each of its own changes), and the XKB state
// (locked modifiers, group), read afresh for every layout() since the user may switch it
// at any moment.
//
// The owner attaches the display before each use and passes on every event seen on that
// display's connection (handleEvent). One thread (the host's main queue).
class X11KeyboardSeam final : public KeyboardSeam {
 public:
  X11KeyboardSeam();
  ~X11KeyboardSeam() override;
  X11KeyboardSeam(const X11KeyboardSeam&) = delete;
  X11KeyboardSeam& operator=(const X11KeyboardSeam&) = delete;

  // The display to talk to from now on (null: none). A different display drops the caches
  // and asks the new one for keymap-change events.
  void attach(std::shared_ptr<X11Display> display);
  // Notes keymap changes: core MappingNotify, XKB NewKeyboardNotify and MapNotify.
  void handleEvent(const xcb_generic_event_t& event);
  // The keymap or the modifier map changed on the server.
  void markStale();

  const KeyboardMapping* mapping() override;
  const KeyboardLayout* layout() override;
  void setKey(Keycode keycode, bool pressed) override;
  using KeyboardSeam::remap;
  // One key: a core ChangeKeyboardMapping. Several: one XKB SetMap of the keycodes' range,
  // which carries the keys in between unchanged (their symbols exactly as the server
  // holds them, their actions and behaviours untouched), so clients hear of one change.
  void remap(std::span<const KeyRemap> keys) override;
  void flush() override;
  void sync() override;

 private:
  bool setUpXkb();
  bool remapWithXkb(std::span<const KeyRemap> keys);

  std::shared_ptr<X11Display> display_;
  std::optional<KeyboardMapping> cache_;
  std::unique_ptr<xkb_context, void (*)(xkb_context*)> context_;
  bool xkbReady_ = false;
  std::int32_t deviceId_ = -1;
  std::uint8_t xkbEventBase_ = 0;
  XkbKeymap keymap_;
  std::optional<KeyboardLayout> layout_;
};

}  // namespace orvo::platform::x11
