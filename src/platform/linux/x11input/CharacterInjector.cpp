#include "platform/linux/x11input/CharacterInjector.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>

namespace orvo::platform::x11 {


namespace {

// What a spare keycode is given to type `keysym`, and whether Shift must be held. The
// keysym goes into both columns, so the server makes the key type it at either level
// rather than reading a lone cased keysym as the (lower, upper) pair. With Caps Lock on, a
// key of two columns that differ only by case would be shown in upper case whatever the
// level; so then the key gets the (lower, upper) pair, which Caps Lock works on as on a
// letter key, and the lower one is typed with Shift.
struct SpareKey {
  std::vector<Keysym> keysyms;
  bool shifted = false;
};

SpareKey spareKeyFor(Keysym keysym, const KeyboardLayout& layout) {
  const Keysym lower = xkb_keysym_to_lower(keysym);
  const Keysym upper = xkb_keysym_to_upper(keysym);
  if (layout.capsLocked() && lower != upper && (keysym == lower || keysym == upper) && layout.shiftKey()) {
    return {{lower, upper}, keysym == lower};
  }
  return {{keysym, keysym}, false};
}

}  // namespace

bool CharacterInjector::typeKeysym(Keysym keysym, double now) {
  if (keysym == kNoSymbol) return false;
  const KeyboardLayout* layout = seam_.layout();
  if (!layout) return false;
  return type(keysym, layout->strokeForKeysym(keysym), *layout, {}, now);
}

bool CharacterInjector::typeCharacter(char32_t scalar, double now) {
  // Control characters with a key of their own: that exact key (Return, Tab, ...).
  if (hasOwnKey(scalar)) {
    const auto keysym = keysymForScalar(scalar);
    return keysym && typeKeysym(*keysym, now);
  }
  if (scalar >= 0x01 && scalar < 0x20) return typeControlCharacter(scalar, now);
  const auto keysym = keysymForScalar(scalar);
  if (!keysym) return false;
  const KeyboardLayout* layout = seam_.layout();
  if (!layout) return false;
  return type(*keysym, layout->strokeForScalar(scalar), *layout, {}, now);
}

bool CharacterInjector::typeControlCharacter(char32_t scalar, double now) {
  const KeyboardLayout* layout = seam_.layout();
  if (!layout) return false;
  const auto want = wantFor(scalar, *layout);
  return want && type(want->keysym, want->existing, *layout, want->held, now);
}

std::optional<CharacterInjector::Want> CharacterInjector::wantFor(char32_t scalar, const KeyboardLayout& layout) const {
  if (hasOwnKey(scalar)) {
    const auto keysym = keysymForScalar(scalar);
    if (!keysym) return std::nullopt;
    return Want{*keysym, layout.strokeForKeysym(*keysym), {}};
  }
  if (scalar >= 0x01 && scalar < 0x20) {
    if (!layout.controlKey()) return std::nullopt;
    const char32_t base = controlBase(scalar);
    // A letter counts in either case (Control makes both the same character): the press
    // with fewer keys held wins, so Caps Lock adds no Shift.
    std::optional<KeyStroke> stroke = layout.strokeForScalar(base);
    Keysym spareKeysym = base;
    if (base >= U'a' && base <= U'z') {
      const auto upper = layout.strokeForScalar(base - 0x20);
      if (upper && (!stroke || upper->modifiers.size() < stroke->modifiers.size())) stroke = upper;
      // A spare keycode too is pressed without Shift (Ctrl+Shift+C is "copy" in many
      // terminals): with Caps Lock on, that is the upper case.
      if (layout.capsLocked()) spareKeysym = base - 0x20;
    }
    return Want{spareKeysym, stroke, {*layout.controlKey()}};
  }
  const auto keysym = keysymForScalar(scalar);
  if (!keysym) return std::nullopt;
  return Want{*keysym, layout.strokeForScalar(scalar), {}};
}

std::size_t CharacterInjector::typeCharacters(std::u32string_view scalars, double now) {
  const KeyboardLayout* current = seam_.layout();
  if (!current) return scalars.size();  // no display: nothing can be typed
  const KeyboardLayout layout = *current;  // the seam's pointer lasts until its next call
  std::optional<KeyboardMapping> mapping;
  std::vector<KeyRemap> changes;  // new keysyms for spare keycodes, sent as one change
  std::vector<Keycode> taken;     // spare keycodes this run presses
  std::vector<KeyStroke> presses;
  std::size_t consumed = 0;
  for (; consumed < scalars.size(); ++consumed) {
    const auto want = wantFor(scalars[consumed], layout);
    if (!want) continue;
    const SpareKey spare = spareKeyFor(want->keysym, layout);
    auto spareStroke = [&](Keycode keycode) {
      KeyStroke stroke{keycode, want->held, 0, spare.shifted ? 1u : 0u};
      if (spare.shifted) stroke.modifiers.push_back(*layout.shiftKey());
      return stroke;
    };
    auto own = std::find_if(remaps_.begin(), remaps_.end(), [&](const Remap& r) { return r.keysyms == spare.keysyms; });
    if (own != remaps_.end()) {
      own->lastUsed = now;
      if (std::find(taken.begin(), taken.end(), own->keycode) == taken.end()) taken.push_back(own->keycode);
      presses.push_back(spareStroke(own->keycode));
      continue;
    }
    if (want->existing) {
      KeyStroke stroke = *want->existing;
      stroke.modifiers.insert(stroke.modifiers.begin(), want->held.begin(), want->held.end());
      presses.push_back(std::move(stroke));
      continue;
    }
    if (!mapping) {
      const KeyboardMapping* read = seam_.mapping();
      if (!read) continue;  // the display went away: nothing more can be typed
      mapping = *read;
    }
    const auto keycode = spareForRun(*mapping, taken, now);
    if (!keycode) {
      // No spare keycode at all: the character cannot be typed. Only busy ones: later.
      if (remaps_.empty() && mapping->unusedKeycodes().empty()) continue;
      break;
    }
    auto existing = std::find_if(remaps_.begin(), remaps_.end(), [&](const Remap& r) { return r.keycode == *keycode; });
    if (existing == remaps_.end()) {
      remaps_.push_back(Remap{*keycode, spare.keysyms, mapping->row(*keycode), now});
    } else {
      existing->keysyms = spare.keysyms;
      existing->lastUsed = now;
    }
    std::erase_if(changes, [&](const KeyRemap& change) { return change.keycode == *keycode; });
    changes.push_back({*keycode, spare.keysyms});
    taken.push_back(*keycode);
    presses.push_back(spareStroke(*keycode));
  }
  if (!changes.empty()) seam_.remap(changes);
  for (const auto& stroke : presses) press(stroke, false);
  if (!presses.empty()) seam_.flush();
  return consumed;
}

std::optional<Keycode> CharacterInjector::spareForRun(const KeyboardMapping& mapping, const std::vector<Keycode>& taken,
                                                      double now) {
  auto isOurs = [&](Keycode keycode) {
    return std::any_of(remaps_.begin(), remaps_.end(), [&](const Remap& r) { return r.keycode == keycode; });
  };
  const auto unused = mapping.unusedKeycodes();
  for (auto it = unused.rbegin(); it != unused.rend(); ++it) {
    if (!isOurs(*it)) return *it;
  }
  const Remap* oldest = nullptr;
  for (const auto& remap : remaps_) {
    if (std::find(taken.begin(), taken.end(), remap.keycode) != taken.end()) continue;
    if (now - remap.lastUsed < remapReuseSeconds) continue;
    if (!oldest || remap.lastUsed < oldest->lastUsed) oldest = &remap;
  }
  if (!oldest) return std::nullopt;
  return oldest->keycode;
}

bool CharacterInjector::type(Keysym keysym, const std::optional<KeyStroke>& existing, const KeyboardLayout& layout,
                             const std::vector<Keycode>& held, double now) {
  const SpareKey spare = spareKeyFor(keysym, layout);
  auto withHeld = [&](KeyStroke stroke) {
    stroke.modifiers.insert(stroke.modifiers.begin(), held.begin(), held.end());
    return stroke;
  };
  auto spareStroke = [&](Keycode keycode) {
    KeyStroke stroke{keycode, {}, 0, spare.shifted ? 1u : 0u};
    if (spare.shifted) stroke.modifiers.push_back(*layout.shiftKey());
    return withHeld(std::move(stroke));
  };
  // A keycode this injector already gave the keysyms is reused as it is.
  auto own = std::find_if(remaps_.begin(), remaps_.end(), [&](const Remap& r) { return r.keysyms == spare.keysyms; });
  if (own != remaps_.end()) {
    own->lastUsed = now;
    press(spareStroke(own->keycode));
    return true;
  }
  if (existing) {
    for (auto& remap : remaps_) {
      if (remap.keycode == existing->keycode) remap.lastUsed = now;
    }
    press(withHeld(*existing));
    return true;
  }
  const KeyboardMapping* mapping = seam_.mapping();
  if (!mapping) return false;
  const Remap* remap = remapFor(spare.keysyms, *mapping, now);
  if (!remap) return false;
  press(spareStroke(remap->keycode));
  return true;
}

CharacterInjector::Remap* CharacterInjector::remapFor(const std::vector<Keysym>& keysyms,
                                                      const KeyboardMapping& mapping, double now) {
  // A free spare first, from the top of the range down. The mapping may predate one of
  // our own changes, so our keycodes are left out explicitly.
  const auto unused = mapping.unusedKeycodes();
  for (auto it = unused.rbegin(); it != unused.rend(); ++it) {
    const Keycode keycode = *it;
    const bool ours = std::any_of(remaps_.begin(), remaps_.end(), [&](const Remap& r) { return r.keycode == keycode; });
    if (ours) continue;
    Remap remap{keycode, keysyms, mapping.row(keycode), now};
    seam_.remap(keycode, keysyms);
    remaps_.push_back(std::move(remap));
    return &remaps_.back();
  }
  // Every spare is in use: take the one pressed longest ago. Its original keysyms stay
  // those from before our first change.
  if (remaps_.empty()) return nullptr;
  auto oldest =
      std::min_element(remaps_.begin(), remaps_.end(), [](const Remap& a, const Remap& b) { return a.lastUsed < b.lastUsed; });
  seam_.remap(oldest->keycode, keysyms);
  oldest->keysyms = keysyms;
  oldest->lastUsed = now;
  return &*oldest;
}

void CharacterInjector::press(const KeyStroke& stroke, bool flush) {
  for (const Keycode modifier : stroke.modifiers) setKey(modifier, true);
  setKey(stroke.keycode, true);
  setKey(stroke.keycode, false);
  for (auto it = stroke.modifiers.rbegin(); it != stroke.modifiers.rend(); ++it) setKey(*it, false);
  if (flush) seam_.flush();
}

void CharacterInjector::setKey(Keycode keycode, bool pressed) {
  seam_.setKey(keycode, pressed);
  if (pressed) {
    held_.push_back(keycode);
  } else if (auto it = std::find(held_.rbegin(), held_.rend(), keycode); it != held_.rend()) {
    held_.erase(std::next(it).base());
  }
}

std::optional<double> CharacterInjector::restoreIdle(double now) {
  std::vector<KeyRemap> restores;  // one keymap change for all that are due
  std::optional<double> next;
  for (auto it = remaps_.begin(); it != remaps_.end();) {
    const double due = it->lastUsed + remapHoldSeconds;
    if (now >= due) {
      restores.push_back({it->keycode, it->original});
      it = remaps_.erase(it);
    } else {
      next = next ? std::min(*next, due) : due;
      ++it;
    }
  }
  if (!restores.empty()) {
    seam_.remap(restores);
    seam_.flush();
  }
  return next;
}

void CharacterInjector::releaseAll() {
  if (held_.empty() && remaps_.empty()) return;
  while (!held_.empty()) {
    const Keycode keycode = held_.back();
    held_.pop_back();
    seam_.setKey(keycode, false);
  }
  std::vector<KeyRemap> restores;
  for (const auto& remap : remaps_) restores.push_back({remap.keycode, remap.original});
  if (!restores.empty()) seam_.remap(restores);
  remaps_.clear();
  seam_.sync();
}

void CharacterInjector::forget() {
  held_.clear();
  remaps_.clear();
}

}  // namespace orvo::platform::x11
