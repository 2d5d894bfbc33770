#include "platform/linux/x11input/CharacterInjector.h"

#include <algorithm>

namespace orvo::platform::x11 {

bool CharacterInjector::typeKeysym(Keysym keysym, double now) {
  if (keysym == kNoSymbol) return false;
  const KeyboardMapping* mapping = seam_.mapping();
  if (!mapping) return false;
  return type(keysym, mapping->strokeForKeysym(keysym), now);
}

bool CharacterInjector::typeCharacter(char32_t scalar, double now) {
  const auto keysym = keysymForScalar(scalar);
  if (!keysym) return false;
  // Control characters with a key of their own: that exact key (Return, Tab, ...).
  if (scalar < 0x20 || scalar == 0x7F) return typeKeysym(*keysym, now);
  const KeyboardMapping* mapping = seam_.mapping();
  if (!mapping) return false;
  return type(*keysym, mapping->strokeForScalar(scalar), now);
}

bool CharacterInjector::type(Keysym keysym, const std::optional<KeyStroke>& existing, double now) {
  // A keycode this injector already gave the keysym is reused as it is.
  auto own = std::find_if(remaps_.begin(), remaps_.end(), [&](const Remap& r) { return r.keysym == keysym; });
  if (own != remaps_.end()) {
    own->lastUsed = now;
    press(KeyStroke{own->keycode, {}});
    return true;
  }
  if (existing) {
    for (auto& remap : remaps_) {
      if (remap.keycode == existing->keycode) remap.lastUsed = now;
    }
    press(*existing);
    return true;
  }
  const KeyboardMapping* mapping = seam_.mapping();
  if (!mapping) return false;
  const Remap* remap = remapFor(keysym, *mapping, now);
  if (!remap) return false;
  press(KeyStroke{remap->keycode, {}});
  return true;
}

CharacterInjector::Remap* CharacterInjector::remapFor(Keysym keysym, const KeyboardMapping& mapping, double now) {
  const Keysym list[] = {keysym};
  // A free spare first, from the top of the range down. The mapping may predate one of
  // our own changes, so our keycodes are left out explicitly.
  const auto unused = mapping.unusedKeycodes();
  for (auto it = unused.rbegin(); it != unused.rend(); ++it) {
    const Keycode keycode = *it;
    const bool ours = std::any_of(remaps_.begin(), remaps_.end(), [&](const Remap& r) { return r.keycode == keycode; });
    if (ours) continue;
    Remap remap{keycode, keysym, mapping.row(keycode), now};
    seam_.remap(keycode, list);
    remaps_.push_back(std::move(remap));
    return &remaps_.back();
  }
  // Every spare is in use: take the one pressed longest ago. Its original keysyms stay
  // those from before our first change.
  if (remaps_.empty()) return nullptr;
  auto oldest =
      std::min_element(remaps_.begin(), remaps_.end(), [](const Remap& a, const Remap& b) { return a.lastUsed < b.lastUsed; });
  seam_.remap(oldest->keycode, list);
  oldest->keysym = keysym;
  oldest->lastUsed = now;
  return &*oldest;
}

void CharacterInjector::press(const KeyStroke& stroke) {
  for (const Keycode modifier : stroke.modifiers) setKey(modifier, true);
  setKey(stroke.keycode, true);
  setKey(stroke.keycode, false);
  for (auto it = stroke.modifiers.rbegin(); it != stroke.modifiers.rend(); ++it) setKey(*it, false);
  seam_.flush();
}

void CharacterInjector::setKey(Keycode keycode, bool pressed) {
  seam_.setKey(keycode, pressed);
  if (pressed) {
    held_.push_back(keycode);
  } else if (auto it = std::find(held_.rbegin(), held_.rend(), keycode); it != held_.rend()) {
    held_.erase(std::next(it).base());
  }
}

void CharacterInjector::restore(const Remap& remap) {
  seam_.remap(remap.keycode, remap.original);
}

std::optional<double> CharacterInjector::restoreIdle(double now) {
  bool restored = false;
  std::optional<double> next;
  for (auto it = remaps_.begin(); it != remaps_.end();) {
    const double due = it->lastUsed + remapHoldSeconds;
    if (now >= due) {
      restore(*it);
      it = remaps_.erase(it);
      restored = true;
    } else {
      next = next ? std::min(*next, due) : due;
      ++it;
    }
  }
  if (restored) seam_.flush();
  return next;
}

void CharacterInjector::releaseAll() {
  if (held_.empty() && remaps_.empty()) return;
  while (!held_.empty()) {
    const Keycode keycode = held_.back();
    held_.pop_back();
    seam_.setKey(keycode, false);
  }
  for (const auto& remap : remaps_) restore(remap);
  remaps_.clear();
  seam_.sync();
}

void CharacterInjector::forget() {
  held_.clear();
  remaps_.clear();
}

}  // namespace orvo::platform::x11
