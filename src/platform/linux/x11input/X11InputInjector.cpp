#include "platform/linux/x11input/X11InputInjector.h"

#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "core/Clock.h"
#include "core/Log.h"
#include "core/Queues.h"
#include "platform/linux/input/Keysyms.h"

namespace orvo::platform::x11 {
namespace {

constexpr std::uint8_t kPrimaryButton = 1;
constexpr std::uint8_t kSecondaryButton = 3;
constexpr std::uint8_t kWheelUp = 4;
constexpr std::uint8_t kWheelDown = 5;
constexpr std::uint8_t kWheelLeft = 6;
constexpr std::uint8_t kWheelRight = 7;


bool sameDisplay(const std::weak_ptr<X11Display>& a, const std::shared_ptr<X11Display>& b) {
  return !a.owner_before(b) && !b.owner_before(a);
}

}  // namespace

X11InputInjector::X11InputInjector(Logger& logger, MainQueue& main, const Clock& clock, std::string displayName)
    : logger_(logger),
      main_(main),
      clock_(clock),
      connection_(logger, std::move(displayName), "input",
                  [this](const xcb_generic_event_t& event) { seam_.handleEvent(event); }) {}

X11InputInjector::~X11InputInjector() { releaseAll(); }

std::shared_ptr<X11Display> X11InputInjector::acquire() {
  auto display = connection_.display();
  if (!display) return nullptr;
  if (!sameDisplay(boundDisplay_, display)) {
    // A new server knows nothing of what was pressed or remapped on the old one.
    characters_.forget();
    heldButtons_.clear();
    lastClickAt_.reset();
    vertical_.reset();
    horizontal_.reset();
    missingXtestLogged_ = false;
    boundDisplay_ = display;
  }
  if (!display->extensions().xtest) {
    if (!missingXtestLogged_) {
      missingXtestLogged_ = true;
      logLine(logger_, "OrvoHost: the X display has no XTEST extension; remote input is unavailable");
    }
    return nullptr;
  }
  seam_.attach(display);
  return display;
}

void X11InputInjector::pressButton(xcb_connection_t* c, std::uint8_t button, bool pressed) {
  xcb_test_fake_input(c, pressed ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  // The server keeps one down state per button, and so does this list.
  const auto held = std::find(heldButtons_.begin(), heldButtons_.end(), button);
  if (pressed && held == heldButtons_.end()) {
    heldButtons_.push_back(button);
  } else if (!pressed && held != heldButtons_.end()) {
    heldButtons_.erase(held);
  }
}

bool X11InputInjector::postMouse(MouseEventType type, MouseButton button, Point at, std::int64_t clickCount) {
  const bool finite = std::isfinite(at.x) && std::isfinite(at.y);
  // A release goes out whatever the point: a button must never stay down.
  if (!finite && type != MouseEventType::up) return false;
  const auto display = acquire();
  if (!display) return false;
  xcb_connection_t* c = display->connection();
  const std::uint8_t number = button == MouseButton::secondary ? kSecondaryButton : kPrimaryButton;
  if (!finite) {
    pressButton(c, number, false);  // where the pointer is
    xcb_flush(c);
    return true;
  }
  // The screen's size now (it may have changed since the connection was made) and where
  // the pointer is, in one round trip.
  const auto geometryCookie = xcb_get_geometry(c, display->root());
  const auto pointerCookie = xcb_query_pointer(c, display->root());
  auto root = replyOf(c, xcb_get_geometry_reply, geometryCookie);
  auto pointer = replyOf(c, xcb_query_pointer_reply, pointerCookie);
  if (!root || !pointer || root->width == 0 || root->height == 0) return false;
  // The point falls in the pixel that contains it, as the window test of input admission
  // sees it; a point off the screen goes to the nearest pixel of its edge.
  Point target{std::clamp(std::floor(at.x), 0.0, root->width - 1.0),
               std::clamp(std::floor(at.y), 0.0, root->height - 1.0)};

  // X toolkits count multiple clicks themselves, by time and by distance from the first
  // press: every click of a double or triple click lands where the first one did.
  const bool isClick = clickCount >= 1 && type != MouseEventType::dragged;
  if (isClick && clickCount > 1 && lastClickAt_) target = *lastClickAt_;
  if (isClick && type == MouseEventType::down) lastClickAt_ = target;

  // Button events happen where the pointer is: it moves there first unless it is there.
  const auto x = static_cast<std::int16_t>(target.x);
  const auto y = static_cast<std::int16_t>(target.y);
  if (!pointer->same_screen || pointer->root_x != x || pointer->root_y != y) {
    xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0 /* absolute */, XCB_CURRENT_TIME, display->root(), x, y, 0);
  }
  switch (type) {
    case MouseEventType::down: pressButton(c, number, true); break;
    case MouseEventType::up: pressButton(c, number, false); break;
    case MouseEventType::dragged: break;  // the motion, with whatever is held
  }
  xcb_flush(c);
  return true;
}

bool X11InputInjector::postScroll(std::int32_t deltaY, std::int32_t deltaX) {
  const auto display = acquire();
  if (!display) return false;
  xcb_connection_t* c = display->connection();
  auto clicks = [&](std::int64_t count, std::uint8_t positive, std::uint8_t negative) {
    const std::uint8_t button = count > 0 ? positive : negative;
    for (std::int64_t i = 0; i < std::llabs(count); ++i) {
      pressButton(c, button, true);
      pressButton(c, button, false);
    }
  };
  clicks(vertical_.add(deltaY), kWheelUp, kWheelDown);
  clicks(horizontal_.add(deltaX), kWheelLeft, kWheelRight);
  xcb_flush(c);
  return true;
}

bool X11InputInjector::postKey(std::uint16_t virtualKeyCode) {
  const auto keysym = keysymForVirtualKey(virtualKeyCode);
  if (!keysym || !acquire()) return false;
  const bool typed = characters_.typeKeysym(*keysym, clock_.now());
  afterTyping();
  return typed;
}

bool X11InputInjector::postCharacter(char32_t scalar) {
  if (scalar >= 0x80 && scalar <= 0x9F) {
    // C1 controls have no key and no meaning an application would act on.
    logLine(logger_, "OrvoHost: dropped control character", static_cast<std::uint32_t>(scalar));
    return false;
  }
  if (!acquire()) return false;
  const bool typed = characters_.typeCharacter(scalar, clock_.now());
  afterTyping();
  return typed;
}

std::size_t X11InputInjector::postCharacters(std::u32string_view scalars) {
  // C1 controls have no key and no meaning an application would act on: left out, named
  // once per run.
  std::u32string typeable;
  typeable.reserve(scalars.size());
  std::size_t dropped = 0;
  for (const char32_t scalar : scalars) {
    if (scalar >= 0x80 && scalar <= 0x9F) {
      ++dropped;
    } else {
      typeable.push_back(scalar);
    }
  }
  if (dropped > 0) logLine(logger_, "OrvoHost: dropped", dropped, "control characters (U+0080-U+009F)");
  if (typeable.empty() || !acquire()) return scalars.size();
  const std::size_t typed = characters_.typeCharacters(typeable, clock_.now());
  afterTyping();
  if (typed == typeable.size()) return scalars.size();
  // Map the count back onto the run as given, C1 controls included.
  std::size_t taken = 0;
  for (std::size_t kept = 0; taken < scalars.size(); ++taken) {
    const bool c1 = scalars[taken] >= 0x80 && scalars[taken] <= 0x9F;
    if (!c1 && kept++ == typed) break;
  }
  return taken;
}

void X11InputInjector::afterTyping() {
  if (restoreScheduled_ || characters_.remappedCount() == 0) return;
  restoreScheduled_ = true;
  main_.asyncAfter(CharacterInjector::remapHoldSeconds, [weak = std::weak_ptr(self_)] {
    if (auto self = weak.lock()) (*self)->restoreIdleKeycodes();
  });
}

void X11InputInjector::restoreIdleKeycodes() {
  restoreScheduled_ = false;
  if (!acquire()) return;
  const double now = clock_.now();
  if (const auto next = characters_.restoreIdle(now)) {
    restoreScheduled_ = true;
    main_.asyncAfter(std::max(*next - now, 0.0), [weak = std::weak_ptr(self_)] {
      if (auto self = weak.lock()) (*self)->restoreIdleKeycodes();
    });
  }
}

void X11InputInjector::releaseAll() {
  vertical_.reset();
  horizontal_.reset();
  // Nothing held or changed: no need to reach the display (nor to connect to it).
  if (heldButtons_.empty() && characters_.heldKeyCount() == 0 && characters_.remappedCount() == 0) return;
  const auto display = acquire();
  if (!display) {
    // Nothing to talk to: whatever was held or changed went with the display, or comes
    // back with it and is forgotten then.
    return;
  }
  const bool buttonsHeld = !heldButtons_.empty();
  while (!heldButtons_.empty()) pressButton(display->connection(), heldButtons_.back(), false);
  characters_.releaseAll();
  if (buttonsHeld) seam_.sync();
}

}  // namespace orvo::platform::x11
