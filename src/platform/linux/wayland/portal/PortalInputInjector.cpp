#include "platform/linux/wayland/portal/PortalInputInjector.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/linux/wayland/portal/PortalSession.h"
#include "platform/linux/wayland/portal/PortalWindowList.h"

namespace orvo::platform::portal {

void PortalInputInjector::setSink(std::shared_ptr<PortalInputSink> sink) {
  releaseAll();
  sink_ = std::move(sink);
  keyboardAwake_ = false;
  enteredLogged_.clear();
}

bool PortalInputInjector::postMouse(MouseEventType type, MouseButton button, Point at, std::int64_t) {
  if (!sink_) return false;
  const auto target = windows_.streamAt(at);
  if (!target) {
    logLine(logger_, "OrvoHost: no shared window at the pointer's point; input dropped");
    // A release is never lost: whatever was held goes up where the pointer is.
    if (type == MouseEventType::up) releaseAll();
    return false;
  }
  sink_->notifyPointerMotionAbsolute(target->nodeId, target->x, target->y);
  const std::int32_t code = button == MouseButton::secondary ? kButtonRight : kButtonLeft;
  if (type == MouseEventType::down) {
    sink_->notifyPointerButton(code, true);
    if (std::find(heldButtons_.begin(), heldButtons_.end(), code) == heldButtons_.end()) heldButtons_.push_back(code);
  } else if (type == MouseEventType::up) {
    sink_->notifyPointerButton(code, false);
    std::erase(heldButtons_, code);
  }
  return true;
}

bool PortalInputInjector::postScroll(std::int32_t deltaY, std::int32_t deltaX) {
  if (!sink_) return false;
  // A positive pixel delta moves the content down (toward the top of the document): a
  // wheel step up, which is a negative step on the portal's axis.
  const auto down = -vertical_.add(deltaY);
  const auto right = -horizontal_.add(deltaX);
  if (down != 0) sink_->notifyPointerAxisDiscrete(0, static_cast<std::int32_t>(down));
  if (right != 0) sink_->notifyPointerAxisDiscrete(1, static_cast<std::int32_t>(right));
  return true;
}

bool PortalInputInjector::postKey(std::uint16_t virtualKeyCode) {
  const auto keysym = keysymForVirtualKey(virtualKeyCode);
  return keysym && tap(*keysym);
}

bool PortalInputInjector::postCharacter(char32_t scalar) {
  if (!sink_) return false;
  if (!hasOwnKey(scalar) && scalar >= 0x01 && scalar < 0x20) {
    // Other C0 controls are Control and their letter (U+0003 is Ctrl+C).
    wakeKeyboard();
    press(XKB_KEY_Control_L);
    const bool typed = tap(controlBase(scalar));
    release(XKB_KEY_Control_L);
    return typed;
  }
  if (hasOwnKey(scalar)) {
    const auto keysym = keysymForScalar(scalar);
    return keysym && tap(*keysym);
  }
  if (!keysymForScalar(scalar)) return false;  // C1 controls, non-scalars
  // The keysym layouts use (legacy ones included), else the Unicode keysym.
  const Keysym keysym = xkb_utf32_to_keysym(static_cast<std::uint32_t>(scalar));
  if (keysym == XKB_KEY_NoSymbol) return false;
  if (keymapHas_ && keymapHas_(keysym) == false) {
    wakeKeyboard();
    typeUnicodeEntry(scalar);
    return true;
  }
  return tap(keysym);
}

std::size_t PortalInputInjector::postCharacters(std::u32string_view scalars) {
  std::size_t taken = 0;
  for (; taken < scalars.size(); ++taken) {
    if (sink_ && sink_->queuedInput() >= maxBacklog) break;
    postCharacter(scalars[taken]);
  }
  return taken;
}

void PortalInputInjector::typeUnicodeEntry(char32_t scalar) {
  char code[16];
  std::snprintf(code, sizeof code, "%X", static_cast<unsigned>(scalar));
  if (enteredLogged_.size() < 256 && enteredLogged_.insert(scalar).second) {
    logLine(logger_, std::string("OrvoHost: U+") + (scalar < 0x1000 ? std::string(4 - std::strlen(code), '0') : "") +
                         code + " has no key on the desktop's keyboard layout: typed through Ctrl+Shift+U (GTK and "
                         "IBus input only)");
  }
  sink_->notifyKeyboardKeycode(KEY_LEFTCTRL, true);
  sink_->notifyKeyboardKeycode(KEY_LEFTSHIFT, true);
  tapKeycode(KEY_U);
  sink_->notifyKeyboardKeycode(KEY_LEFTSHIFT, false);
  sink_->notifyKeyboardKeycode(KEY_LEFTCTRL, false);
  static constexpr std::int32_t kDigits[16] = {KEY_0, KEY_1, KEY_2, KEY_3, KEY_4, KEY_5, KEY_6, KEY_7,
                                               KEY_8, KEY_9, KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F};
  for (const char* digit = code; *digit; ++digit) {
    const int value = *digit <= '9' ? *digit - '0' : *digit - 'A' + 10;
    tapKeycode(kDigits[value]);
  }
  tapKeycode(KEY_SPACE);
}

void PortalInputInjector::tapKeycode(std::int32_t keycode) {
  sink_->notifyKeyboardKeycode(keycode, true);
  sink_->notifyKeyboardKeycode(keycode, false);
}

void PortalInputInjector::releaseAll() {
  if (sink_) {
    for (auto it = heldKeys_.rbegin(); it != heldKeys_.rend(); ++it) sink_->notifyKeyboardKeysym(*it, false);
    for (const auto button : heldButtons_) sink_->notifyPointerButton(button, false);
  }
  heldKeys_.clear();
  heldButtons_.clear();
  vertical_.reset();
  horizontal_.reset();
}

bool PortalInputInjector::tap(Keysym keysym) {
  if (!sink_) return false;
  wakeKeyboard();
  press(keysym);
  release(keysym);
  return true;
}

void PortalInputInjector::press(Keysym keysym) {
  sink_->notifyKeyboardKeysym(keysym, true);
  heldKeys_.push_back(keysym);
}

void PortalInputInjector::release(Keysym keysym) {
  sink_->notifyKeyboardKeysym(keysym, false);
  if (const auto it = std::find(heldKeys_.rbegin(), heldKeys_.rend(), keysym); it != heldKeys_.rend()) {
    heldKeys_.erase(std::next(it).base());
  }
}

void PortalInputInjector::wakeKeyboard() {
  if (keyboardAwake_) return;
  keyboardAwake_ = true;
  sink_->notifyKeyboardKeysym(XKB_KEY_Shift_L, true);
  sink_->notifyKeyboardKeysym(XKB_KEY_Shift_L, false);
}

}  // namespace orvo::platform::portal
