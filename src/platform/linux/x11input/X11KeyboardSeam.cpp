#include "platform/linux/x11input/X11KeyboardSeam.h"

#include <xcb/xtest.h>

namespace orvo::platform::x11 {

void X11KeyboardSeam::attach(std::shared_ptr<X11Display> display) {
  if (display != display_) cache_.reset();
  display_ = std::move(display);
}

const KeyboardMapping* X11KeyboardSeam::mapping() {
  if (cache_) return &*cache_;
  if (!display_ || display_->hasFailed()) return nullptr;
  xcb_connection_t* c = display_->connection();
  const xcb_setup_t* setup = xcb_get_setup(c);
  const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  // Both requests go out before either reply is awaited: one round trip.
  const auto keyboardCookie = xcb_get_keyboard_mapping(c, setup->min_keycode, count);
  const auto modifierCookie = xcb_get_modifier_mapping(c);
  auto keyboard = replyOf(c, xcb_get_keyboard_mapping_reply, keyboardCookie);
  auto modifiers = replyOf(c, xcb_get_modifier_mapping_reply, modifierCookie);
  if (!keyboard || !modifiers) return nullptr;

  KeyboardMapping mapping;
  mapping.minKeycode = setup->min_keycode;
  mapping.keysymsPerKeycode = keyboard->keysyms_per_keycode;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(keyboard.get());
  mapping.keysyms.assign(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(keyboard.get()));
  const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(modifiers.get());
  const int perModifier = modifiers->keycodes_per_modifier;
  for (int modifier = 0; modifier < 8; ++modifier) {
    for (int i = 0; i < perModifier; ++i) {
      const xcb_keycode_t keycode = keycodes[modifier * perModifier + i];
      if (keycode != 0) mapping.modifierKeys[static_cast<std::size_t>(modifier)].push_back(keycode);
    }
  }
  cache_ = std::move(mapping);
  return &*cache_;
}

void X11KeyboardSeam::setKey(Keycode keycode, bool pressed) {
  if (!display_) return;
  xcb_test_fake_input(display_->connection(), pressed ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME,
                      XCB_NONE, 0, 0, 0);
}

void X11KeyboardSeam::remap(Keycode keycode, std::span<const Keysym> keysyms) {
  if (!display_ || keysyms.empty()) return;
  xcb_change_keyboard_mapping(display_->connection(), 1, keycode, static_cast<std::uint8_t>(keysyms.size()),
                              keysyms.data());
  cache_.reset();
}

void X11KeyboardSeam::flush() {
  if (display_) xcb_flush(display_->connection());
}

void X11KeyboardSeam::sync() {
  if (!display_) return;
  xcb_connection_t* c = display_->connection();
  replyOf(c, xcb_get_input_focus_reply, xcb_get_input_focus(c));
}

}  // namespace orvo::platform::x11
