#pragma once

// The keyboard as the character injector sees it: the server's keymap as a plain value,
// and a tiny seam with the few X operations typing needs (press or release a keycode,
// remap one keycode, flush, sync). The typing logic on top (CharacterInjector) is pure and
// is tested against a fake seam; X11KeyboardSeam is the real one.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace orvo::platform::x11 {

using Keycode = std::uint8_t;
using Keysym = std::uint32_t;

inline constexpr Keysym kNoSymbol = 0;

// The modifier keys and the key to press for one keysym. Modifiers go down first and come
// up last, in reverse order.
struct KeyStroke {
  Keycode keycode = 0;
  std::vector<Keycode> modifiers;
  friend bool operator==(const KeyStroke&, const KeyStroke&) = default;
};

// The server's core keyboard mapping and modifier map.
//
// Columns used for typing (the core view of an XKB keymap): 0 = first level, 1 = Shift,
// 4 = third level (ISO_Level3_Shift), 5 = Shift + third level. Columns 2 and 3 belong to
// the second group, which would need a group switch, and are never used.
struct KeyboardMapping {
  Keycode minKeycode = 8;
  int keysymsPerKeycode = 0;
  std::vector<Keysym> keysyms;  // keysymsPerKeycode entries per keycode from minKeycode on
  // Keycodes bound to each of the eight modifiers: Shift, Lock, Control, Mod1 ... Mod5.
  std::array<std::vector<Keycode>, 8> modifierKeys;

  // The last keycode the mapping describes (minKeycode - 1 when it is empty).
  int maxKeycode() const;
  // The keysym at a column, kNoSymbol outside the mapping.
  Keysym keysymAt(Keycode keycode, int column) const;
  // Every keysym of a keycode, width keysymsPerKeycode (empty outside the mapping).
  std::vector<Keysym> row(Keycode keycode) const;
  bool isModifierKey(Keycode keycode) const;
  // A keycode without any keysym that no modifier uses: free to be remapped for a while.
  bool isUnused(Keycode keycode) const;
  std::vector<Keycode> unusedKeycodes() const;

  // The cheapest way to produce exactly this keysym: lowest column first, then lowest
  // keycode. None when no usable column holds it.
  std::optional<KeyStroke> strokeForKeysym(Keysym keysym) const;
  // The cheapest key whose keysym types this character (legacy keysyms such as Cyrillic or
  // EuroSign count as well as Latin-1 and Unicode ones; keypad keys never do, since their
  // meaning follows Num Lock).
  std::optional<KeyStroke> strokeForScalar(char32_t scalar) const;

 private:
  template <class Matches>
  std::optional<KeyStroke> cheapest(Matches matches) const;
};

// The character a keysym types, 0 for none (function keys, dead keys, keypad keys).
char32_t scalarForKeysym(Keysym keysym);
// The keysym a spare keycode is given to type a character: the Latin-1 keysym up to
// U+00FF, else the Unicode keysym 0x01000000 + code point. Control characters that have a
// key of their own (backspace, tab, line feed and carriage return, escape, delete) give
// that key's keysym; other control characters and non-scalars give none.
std::optional<Keysym> keysymForScalar(char32_t scalar);

// The X operations typing needs. Used on one thread (the host's main queue).
class KeyboardSeam {
 public:
  virtual ~KeyboardSeam() = default;
  // The server's current keymap, or null when no display is reachable. The pointer stays
  // valid until the next call of any seam method.
  virtual const KeyboardMapping* mapping() = 0;
  // A synthetic press or release of a keycode.
  virtual void setKey(Keycode keycode, bool pressed) = 0;
  // Replaces every keysym of one keycode.
  virtual void remap(Keycode keycode, std::span<const Keysym> keysyms) = 0;
  // Sends what is buffered.
  virtual void flush() = 0;
  // Waits until the server has processed everything sent so far.
  virtual void sync() = 0;
};

}  // namespace orvo::platform::x11
