#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <initializer_list>
#include <memory>

#include "platform/linux/x11input/KeyboardSeam.h"

namespace orvo::platform::x11 {

int KeyboardMapping::maxKeycode() const {
  if (keysymsPerKeycode <= 0) return minKeycode - 1;
  return minKeycode + static_cast<int>(keysyms.size() / static_cast<std::size_t>(keysymsPerKeycode)) - 1;
}

Keysym KeyboardMapping::keysymAt(Keycode keycode, int column) const {
  if (keycode < minKeycode || keycode > maxKeycode() || column < 0 || column >= keysymsPerKeycode) return kNoSymbol;
  return keysyms[static_cast<std::size_t>(keycode - minKeycode) * static_cast<std::size_t>(keysymsPerKeycode) +
                 static_cast<std::size_t>(column)];
}

std::vector<Keysym> KeyboardMapping::row(Keycode keycode) const {
  if (keycode < minKeycode || keycode > maxKeycode()) return {};
  const auto first = keysyms.begin() + static_cast<std::ptrdiff_t>(keycode - minKeycode) * keysymsPerKeycode;
  return {first, first + keysymsPerKeycode};
}

bool KeyboardMapping::isModifierKey(Keycode keycode) const {
  return std::any_of(modifierKeys.begin(), modifierKeys.end(), [&](const std::vector<Keycode>& keys) {
    return std::find(keys.begin(), keys.end(), keycode) != keys.end();
  });
}

bool KeyboardMapping::isUnused(Keycode keycode) const {
  if (keycode < minKeycode || keycode > maxKeycode() || isModifierKey(keycode)) return false;
  for (int column = 0; column < keysymsPerKeycode; ++column) {
    if (keysymAt(keycode, column) != kNoSymbol) return false;
  }
  return true;
}

std::vector<Keycode> KeyboardMapping::unusedKeycodes() const {
  std::vector<Keycode> unused;
  for (int keycode = minKeycode; keycode <= maxKeycode(); ++keycode) {
    if (isUnused(static_cast<Keycode>(keycode))) unused.push_back(static_cast<Keycode>(keycode));
  }
  return unused;
}

namespace {

// The first keycode whose first keysym (in the current group, else in any) is one of
// `wanted`.
std::optional<Keycode> keyWithKeysym(xkb_keymap* keymap, xkb_layout_index_t group,
                                     std::initializer_list<Keysym> wanted) {
  const xkb_keycode_t last = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap), 255);
  for (const bool anyGroup : {false, true}) {
    for (xkb_keycode_t keycode = std::max<xkb_keycode_t>(xkb_keymap_min_keycode(keymap), 8); keycode <= last;
         ++keycode) {
      const xkb_layout_index_t groups = xkb_keymap_num_layouts_for_key(keymap, keycode);
      for (xkb_layout_index_t g = 0; g < groups; ++g) {
        if (!anyGroup && g != group % groups) continue;
        const xkb_keysym_t* syms = nullptr;
        const int count = xkb_keymap_key_get_syms_by_level(keymap, keycode, g, 0, &syms);
        for (int i = 0; i < count; ++i) {
          if (std::find(wanted.begin(), wanted.end(), syms[i]) != wanted.end()) return static_cast<Keycode>(keycode);
        }
      }
    }
  }
  return std::nullopt;
}

// The modifiers a key sets while held down.
std::uint32_t modifiersOfKey(xkb_keymap* keymap, Keycode keycode) {
  const std::unique_ptr<xkb_state, decltype(&xkb_state_unref)> state(xkb_state_new(keymap), &xkb_state_unref);
  if (!state) return 0;
  xkb_state_update_key(state.get(), keycode, XKB_KEY_DOWN);
  return xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_DEPRESSED);
}

}  // namespace

KeyboardLayout::KeyboardLayout(XkbKeymap keymap, KeyboardState state) : keymap_(std::move(keymap)), state_(state) {
  if (!keymap_) return;
  xkb_keymap* km = keymap_.get();
  shiftKey_ = keyWithKeysym(km, state_.group, {XKB_KEY_Shift_L, XKB_KEY_Shift_R});
  controlKey_ = keyWithKeysym(km, state_.group, {XKB_KEY_Control_L, XKB_KEY_Control_R});
  const auto levelThreeKey = keyWithKeysym(km, state_.group, {XKB_KEY_ISO_Level3_Shift});
  chords_.push_back({});
  if (shiftKey_) chords_.push_back({modifiersOfKey(km, *shiftKey_), {*shiftKey_}});
  if (levelThreeKey) {
    const std::uint32_t levelThree = modifiersOfKey(km, *levelThreeKey);
    chords_.push_back({levelThree, {*levelThreeKey}});
    if (shiftKey_) chords_.push_back({levelThree | chords_[1].mask, {*shiftKey_, *levelThreeKey}});
  }
}

template <class Matches>
std::optional<KeyStroke> KeyboardLayout::cheapest(Matches matches) const {
  if (!keymap_) return std::nullopt;
  xkb_keymap* km = keymap_.get();
  const std::unique_ptr<xkb_state, decltype(&xkb_state_unref)> state(xkb_state_new(km), &xkb_state_unref);
  if (!state) return std::nullopt;
  const xkb_keycode_t first = std::max<xkb_keycode_t>(xkb_keymap_min_keycode(km), 8);
  const xkb_keycode_t last = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(km), 255);
  for (const Chord& chord : chords_) {
    // The press as the server will see it: these modifiers held, on top of the locked
    // ones, in the current group.
    xkb_state_update_mask(state.get(), chord.mask, 0, state_.lockedModifiers, 0, 0, state_.group);
    for (xkb_keycode_t keycode = first; keycode <= last; ++keycode) {
      if (std::find(chord.keys.begin(), chord.keys.end(), keycode) != chord.keys.end()) continue;
      const xkb_keysym_t keysym = xkb_state_key_get_one_sym(state.get(), keycode);
      if (keysym == XKB_KEY_NoSymbol || !matches(keysym)) continue;
      const xkb_layout_index_t group = xkb_state_key_get_layout(state.get(), keycode);
      const xkb_level_index_t level = xkb_state_key_get_level(state.get(), keycode, group);
      return KeyStroke{static_cast<Keycode>(keycode), chord.keys, group, level};
    }
  }
  return std::nullopt;
}

std::optional<KeyStroke> KeyboardLayout::strokeForKeysym(Keysym keysym) const {
  if (keysym == kNoSymbol) return std::nullopt;
  return cheapest([keysym](Keysym candidate) { return candidate == keysym; });
}

std::optional<KeyStroke> KeyboardLayout::strokeForScalar(char32_t scalar) const {
  if (scalar == 0) return std::nullopt;
  return cheapest([scalar](Keysym candidate) { return scalarForKeysym(candidate) == scalar; });
}

char32_t scalarForKeysym(Keysym keysym) {
  if (keysym >= XKB_KEY_KP_Space && keysym <= XKB_KEY_KP_Equal) return 0;
  return xkb_keysym_to_utf32(keysym);
}


}  // namespace orvo::platform::x11
