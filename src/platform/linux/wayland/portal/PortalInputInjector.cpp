#include "platform/linux/wayland/portal/PortalInputInjector.h"

#include <xkbcommon/xkbcommon-keysyms.h>

#include <algorithm>

#include "platform/linux/wayland/portal/PortalSession.h"
#include "platform/linux/wayland/portal/PortalWindowList.h"

namespace orvo::platform::portal {

void PortalInputInjector::setSink(std::shared_ptr<PortalInputSink> sink) {
  releaseAll();
  sink_ = std::move(sink);
  keyboardAwake_ = false;
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
  const auto keysym = keysymForScalar(scalar);
  return keysym && tap(*keysym);
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
