#pragma once

// The keyboard as the character injector sees it: the server's core mapping (spare
// keycodes) and its XKB keymap and state (what a press types) as plain values, and a tiny
// seam with the few X operations typing needs (press or release a keycode, remap one
// keycode, flush, sync). The typing logic on top (CharacterInjector) is pure and
// is tested against a fake seam; X11KeyboardSeam is the real one.

#include <xkbcommon/xkbcommon.h>

#include "platform/linux/input/Keysyms.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace orvo::platform::x11 {

using Keycode = std::uint8_t;
using platform::Keysym;

inline constexpr Keysym kNoSymbol = 0;

// The modifier keys and the key to press for one keysym. Modifiers go down first and come
// up last, in reverse order. `group` and `level` (both from 0) say where on the key the
// keysym sits as the server will read the press; a spare keycode is group 0.
struct KeyStroke {
  Keycode keycode = 0;
  std::vector<Keycode> modifiers;
  std::uint32_t group = 0;
  std::uint32_t level = 0;
  friend bool operator==(const KeyStroke&, const KeyStroke&) = default;
};

// The server's core keyboard mapping and modifier map: which keycodes are free to be
// borrowed for a while and what they held before.
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
};

// The keyboard state that decides what a key press types, beside the keys held for it.
struct KeyboardState {
  std::uint32_t lockedModifiers = 0;  // X modifier mask: Lock (Caps Lock) 0x2, Mod2 (Num Lock)
  std::uint32_t group = 0;            // the effective group (layout), from 0
  friend bool operator==(const KeyboardState&, const KeyboardState&) = default;
};

inline constexpr std::uint32_t kLockMask = 0x2;

struct XkbKeymapUnref {
  void operator()(xkb_keymap* keymap) const noexcept { xkb_keymap_unref(keymap); }
};
using XkbKeymap = std::shared_ptr<xkb_keymap>;
inline XkbKeymap adoptKeymap(xkb_keymap* keymap) { return XkbKeymap(keymap, XkbKeymapUnref{}); }

// The server's XKB keymap together with its current locked modifiers and group: what a
// press of a key with some modifiers held types, worked out exactly as X clients will
// (key types, Caps Lock, group wrap), by playing the press through an xkbcommon state.
class KeyboardLayout {
 public:
  KeyboardLayout(XkbKeymap keymap, KeyboardState state);

  const KeyboardState& state() const { return state_; }
  bool capsLocked() const { return (state_.lockedModifiers & kLockMask) != 0; }
  // The keys that set Shift and Control (none when the keymap has no such key).
  std::optional<Keycode> shiftKey() const { return shiftKey_; }
  std::optional<Keycode> controlKey() const { return controlKey_; }

  // The cheapest press that produces exactly this keysym in the current group: fewest
  // modifiers (none, Shift, third level, both), then lowest keycode. None when no key of
  // the current group makes it.
  std::optional<KeyStroke> strokeForKeysym(Keysym keysym) const;
  // The cheapest press that types this character in the current group, with Caps Lock
  // taken into account (legacy keysyms such as Cyrillic or EuroSign count as well as
  // Latin-1 and Unicode ones; keypad keys never do, since their meaning follows Num Lock).
  std::optional<KeyStroke> strokeForScalar(char32_t scalar) const;

 private:
  struct Chord {
    std::uint32_t mask = 0;     // modifiers the keys set
    std::vector<Keycode> keys;  // keys to hold
  };
  template <class Matches>
  std::optional<KeyStroke> cheapest(Matches matches) const;

  XkbKeymap keymap_;
  KeyboardState state_;
  std::optional<Keycode> shiftKey_;
  std::optional<Keycode> controlKey_;
  std::vector<Chord> chords_;  // in order of cost
};

// The character a keysym types, 0 for none (function keys, dead keys, keypad keys).
char32_t scalarForKeysym(Keysym keysym);

// One keycode and the keysyms it is to hold (none: it is left without any, a spare again).
struct KeyRemap {
  Keycode keycode = 0;
  std::vector<Keysym> keysyms;
  friend bool operator==(const KeyRemap&, const KeyRemap&) = default;
};

// The X operations typing needs. Used on one thread (the host's main queue).
class KeyboardSeam {
 public:
  virtual ~KeyboardSeam() = default;
  // The server's current core mapping, or null when no display is reachable. The pointer
  // stays valid until the next call of any seam method.
  virtual const KeyboardMapping* mapping() = 0;
  // The server's XKB keymap with its state as it is now, or null when no display is
  // reachable. The pointer stays valid until the next call of any seam method.
  virtual const KeyboardLayout* layout() = 0;
  // A synthetic press or release of a keycode.
  virtual void setKey(Keycode keycode, bool pressed) = 0;
  // Replaces every keysym of the keycodes, all in one keymap change: every X client
  // re-reads its keymap once per change, so a run of typing changes it once, not once per
  // character. The keycodes are distinct.
  virtual void remap(std::span<const KeyRemap> keys) = 0;
  void remap(Keycode keycode, std::span<const Keysym> keysyms) {
    const KeyRemap one{keycode, {keysyms.begin(), keysyms.end()}};
    remap(std::span<const KeyRemap>(&one, 1));
  }
  // Sends what is buffered.
  virtual void flush() = 0;
  // Waits until the server has processed everything sent so far.
  virtual void sync() = 0;
};

}  // namespace orvo::platform::x11
