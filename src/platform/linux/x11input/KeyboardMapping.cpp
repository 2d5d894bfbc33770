#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>

#include "platform/linux/x11input/KeyboardSeam.h"

namespace orvo::platform::x11 {
namespace {

constexpr int kShiftModifier = 0;
constexpr int kFirstModN = 3;  // Mod1 ... Mod5 follow Shift, Lock and Control

// Typing columns in the order they are tried, with what each needs held.
struct Column {
  int index;
  bool shift;
  bool levelThree;
};
constexpr Column kColumns[] = {{0, false, false}, {1, true, false}, {4, false, true}, {5, true, true}};

}  // namespace

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

template <class Matches>
std::optional<KeyStroke> KeyboardMapping::cheapest(Matches matches) const {
  // The keys that select the second and third level; a column whose key is missing
  // cannot be reached.
  std::optional<Keycode> shiftKey;
  for (const Keycode keycode : modifierKeys[kShiftModifier]) {
    if (keycode != 0) {
      shiftKey = keycode;
      break;
    }
  }
  std::optional<Keycode> levelThreeKey;
  for (int modifier = kFirstModN; modifier < 8 && !levelThreeKey; ++modifier) {
    for (const Keycode keycode : modifierKeys[static_cast<std::size_t>(modifier)]) {
      if (keycode != 0 && keysymAt(keycode, 0) == XKB_KEY_ISO_Level3_Shift) {
        levelThreeKey = keycode;
        break;
      }
    }
  }
  for (const Column& column : kColumns) {
    if ((column.shift && !shiftKey) || (column.levelThree && !levelThreeKey)) continue;
    for (int keycode = minKeycode; keycode <= maxKeycode(); ++keycode) {
      const auto code = static_cast<Keycode>(keycode);
      const Keysym keysym = keysymAt(code, column.index);
      if (keysym == kNoSymbol || isModifierKey(code) || !matches(keysym)) continue;
      KeyStroke stroke{code, {}};
      if (column.shift) stroke.modifiers.push_back(*shiftKey);
      if (column.levelThree) stroke.modifiers.push_back(*levelThreeKey);
      return stroke;
    }
  }
  return std::nullopt;
}

std::optional<KeyStroke> KeyboardMapping::strokeForKeysym(Keysym keysym) const {
  if (keysym == kNoSymbol) return std::nullopt;
  return cheapest([keysym](Keysym candidate) { return candidate == keysym; });
}

std::optional<KeyStroke> KeyboardMapping::strokeForScalar(char32_t scalar) const {
  if (scalar == 0) return std::nullopt;
  return cheapest([scalar](Keysym candidate) { return scalarForKeysym(candidate) == scalar; });
}

char32_t scalarForKeysym(Keysym keysym) {
  if (keysym >= XKB_KEY_KP_Space && keysym <= XKB_KEY_KP_Equal) return 0;
  return xkb_keysym_to_utf32(keysym);
}

std::optional<Keysym> keysymForScalar(char32_t scalar) {
  switch (scalar) {
    case 0x08: return XKB_KEY_BackSpace;
    case 0x09: return XKB_KEY_Tab;
    case 0x0A:
    case 0x0D: return XKB_KEY_Return;
    case 0x1B: return XKB_KEY_Escape;
    case 0x7F: return XKB_KEY_Delete;
    default: break;
  }
  if (scalar < 0x20 || (scalar >= 0x7F && scalar < 0xA0)) return std::nullopt;
  if (scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) return std::nullopt;
  if (scalar <= 0xFF) return static_cast<Keysym>(scalar);
  return 0x01000000u + static_cast<Keysym>(scalar);
}

}  // namespace orvo::platform::x11
