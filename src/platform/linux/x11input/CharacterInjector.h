#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/linux/x11input/KeyboardSeam.h"

namespace orvo::platform::x11 {

// Types keysyms and characters through a KeyboardSeam: with the key that produces them in
// the keyboard's current group and with its locked modifiers (Shift and ISO_Level3_Shift
// held as needed), or, when the current group has no such key, through a spare keycode
// (one without keysyms) remapped to the keysym at both levels (with Caps Lock on, a cased
// keysym gets its lower and upper case instead, and the lower one is typed with Shift).
// A spare keycode has one group, which every active group falls back to.
//
// Nothing is left behind: it remembers every key it holds down and every keycode it
// remapped with that keycode's former keysyms. releaseAll() lets go of the keys and puts
// the keysyms back.
//
// A remapped keycode keeps its keysym for remapHoldSeconds after its last press before
// restoreIdle() puts the old keysyms back. X clients translate a key event with the keymap
// they hold when they process it, and many refresh that keymap as soon as the change
// notice is read from the socket, possibly before the key event queued ahead of it is
// handled; restoring at once could make a slow client see the press on an empty key. The
// same keysym typed again within the hold reuses its keycode without another change. When
// every spare keycode is taken, the one used longest ago is remapped.
//
// A run of characters (typeCharacters) is typed with one keymap change for all the spare
// keycodes it needs. A keycode pressed less than remapReuseSeconds ago is not given another
// keysym by a run, for the same reason as the hold: the run stops there and is offered
// again later. Restores are batched the same way.
//
// Time is passed in (seconds on any monotonic scale). Not thread-safe: one thread, the
// host's main queue. The seam must outlive the injector.
class CharacterInjector {
 public:
  static constexpr double remapHoldSeconds = 2.0;
  static constexpr double remapReuseSeconds = 0.1;

  explicit CharacterInjector(KeyboardSeam& seam) : seam_(seam) {}
  CharacterInjector(const CharacterInjector&) = delete;
  CharacterInjector& operator=(const CharacterInjector&) = delete;

  // A press and release of the key for exactly this keysym. False when there is no
  // display, or no key and no spare keycode for it.
  bool typeKeysym(Keysym keysym, double now);
  // A press and release that types one Unicode scalar, as the keyboard's current state
  // (Caps Lock, active group) makes it arrive. Control characters with a key of their own
  // type that key (BackSpace, Tab, Return, Escape, Delete); the other C0 characters
  // U+0001-U+001F are typed as Control plus their letter (U+0003 is Ctrl+C). False when
  // the character cannot be typed (C1 controls U+0080-U+009F, non-scalars, no key and no
  // spare keycode).
  bool typeCharacter(char32_t scalar, double now);
  // Types the characters in order, each as typeCharacter would (those it cannot type are
  // skipped), with one keymap change for every spare keycode they need. Returns how many
  // it took: fewer than given when the rest needs a spare keycode that was pressed less
  // than remapReuseSeconds ago (or one this run already uses). Presses are flushed once.
  std::size_t typeCharacters(std::u32string_view scalars, double now);

  // Restores the remapped keycodes whose hold has run out. Returns when the next one is
  // due, or nothing when no keycode stays remapped.
  std::optional<double> restoreIdle(double now);
  // Releases every key still held, restores every remapped keycode and waits until the
  // server has done both.
  void releaseAll();
  // The display went away with its keymap: drops what is remembered without touching it.
  void forget();

  std::size_t remappedCount() const { return remaps_.size(); }
  std::size_t heldKeyCount() const { return held_.size(); }

 private:
  struct Remap {
    Keycode keycode = 0;
    std::vector<Keysym> keysyms;   // what the keycode was given
    std::vector<Keysym> original;  // the keycode's keysyms before the first remap
    double lastUsed = 0;
  };

  // What typing one character takes: the keysym wanted, the layout's key for it (if any)
  // and keys to hold around the press. Nothing when the character cannot be typed.
  struct Want {
    Keysym keysym = kNoSymbol;
    std::optional<KeyStroke> existing;
    std::vector<Keycode> held;
  };
  std::optional<Want> wantFor(char32_t scalar, const KeyboardLayout& layout) const;
  bool typeControlCharacter(char32_t scalar, double now);
  // Presses `existing` (or a spare keycode given `keysym` when there is none) with `held`
  // down around it.
  bool type(Keysym keysym, const std::optional<KeyStroke>& existing, const KeyboardLayout& layout,
            const std::vector<Keycode>& held, double now);
  Remap* remapFor(const std::vector<Keysym>& keysyms, const KeyboardMapping& mapping, double now);
  // A keycode for `keysyms` in a run: a free spare, else the spare pressed longest ago if
  // that was at least remapReuseSeconds before `now` and not in this run. Nothing otherwise.
  std::optional<Keycode> spareForRun(const KeyboardMapping& mapping, const std::vector<Keycode>& taken, double now);
  void press(const KeyStroke& stroke, bool flush = true);
  void setKey(Keycode keycode, bool pressed);

  KeyboardSeam& seam_;
  std::vector<Remap> remaps_;
  std::vector<Keycode> held_;  // keys down, in the order they went down
};

}  // namespace orvo::platform::x11
