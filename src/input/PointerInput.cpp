#include "input/PointerInput.h"

#include <cmath>
#include <limits>

#include "core/Clock.h"
#include "core/Log.h"
#include "core/Queues.h"
#include "host/SessionHandlers.h"
#include "input/WindowFocus.h"
#include "platform/InputInjector.h"
#include "streaming/WindowCatalogue.h"

namespace orvo {
namespace {

constexpr const char* kPermissionReason =
    "Remote control is disabled on this Mac (enable \u2018Allow Orvo to control this Mac\u2019 and grant "
    "Accessibility).";

std::string quotedText(const std::optional<std::string>& text) {
  return text ? "\"" + escapeForLog(*text) + "\"" : "nil";
}

template <class T>
std::string optionalItem(const std::optional<T>& value) {
  return value ? detail::logItem(*value) : "nil";
}

// The request as the click announcement shows it: every field, absent ones as nil.
std::string describe(const OrvoRequest& request) {
  return "OrvoRequest(type: " + quotedText(request.type) + ", windowId: " + optionalItem(request.windowId) +
         ", normX: " + optionalItem(request.normX) + ", normY: " + optionalItem(request.normY) +
         ", button: " + quotedText(request.button) + ")";
}

platform::MouseButton mouseButton(const std::string& button) {
  return button == "right" ? platform::MouseButton::secondary : platform::MouseButton::primary;
}

// Half a client delta as a signed 32-bit count, truncated toward zero; nothing when the
// half is not finite or does not fit.
std::optional<std::int32_t> scaledScrollDelta(double delta) {
  const double scaled = std::trunc(delta * scrollScaleFactor);
  if (!std::isfinite(scaled) || scaled < std::numeric_limits<std::int32_t>::min() ||
      scaled > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(scaled);
}

}  // namespace

PointerInput::PointerInput(SessionContext& session, WindowFocus& focus, WindowCatalogue& catalogue,
                           InputTimeRecorder& recorder, platform::InputInjector& injector,
                           SerialQueue& clickTrackingQueue, MainQueue& main, const Clock& clock, Logger& logger)
    : session_(session),
      focus_(focus),
      catalogue_(catalogue),
      recorder_(recorder),
      injector_(injector),
      clickTrackingQueue_(clickTrackingQueue),
      main_(main),
      clock_(clock),
      logger_(logger) {}

void PointerInput::handlePointerRequest(const OrvoRequest& request) {
  if (!session_.isRemoteControlPermitted()) {
    if (request.windowId) {
      session_.sendMessage(
          InputRejectedMessage{.windowId = *request.windowId, .reason = kPermissionReason, .timestamp = clock_.now()});
    }
    return;
  }
  recorder_.noteInput(request.windowId);

  if (request.type == "mouseClick") {
    handleClick(request);
  } else if (request.type == "mouseDown" || request.type == "mouseDrag" || request.type == "mouseUp") {
    handleButtonEvent(request);
  } else if (request.type == "mouseScroll") {
    if (!request.normY) {
      logLine(logger_, "OrvoHost: mouseScroll missing deltaY");
      return;
    }
    performScroll(request.windowId, request.normX.value_or(0.0), *request.normY);
  }
}

void PointerInput::handleClick(const OrvoRequest& request) {
  logLine(logger_, "OrvoHost: received mouseClick request:", describe(request));
  if (!request.windowId || !request.normX || !request.normY) {
    logLine(logger_, "OrvoHost: mouseClick missing windowId or coords");
    return;
  }
  const std::uint32_t windowId = *request.windowId;
  const std::string button = request.button.value_or("left");
  const double normX = *request.normX;
  const double normY = *request.normY;
  main_.async([weak = std::weak_ptr(self_), windowId, button, normX, normY] {
    auto self = weak.lock();
    if (!self) return;
    PointerInput& input = **self;
    input.focus_.activateOwningApp(windowId);
    // The click goes ahead whether or not the activation worked.
    input.main_.asyncAfter(clickActivationDelay, [weak, windowId, button, normX, normY] {
      if (auto again = weak.lock()) (*again)->performClick(windowId, button, normX, normY);
    });
  });
}

void PointerInput::performClick(std::uint32_t windowId, const std::string& button, double normX, double normY) {
  focus_.bringWindowToFront(windowId);
  const auto point = clickPoint(windowId, normX, normY);
  if (!point) {
    logLine(logger_, "OrvoHost: no clickPoint for window " + std::to_string(windowId));
    return;
  }
  if (!focus_.isInputAllowed(windowId, *point)) return;

  const double now = clock_.now();
  const double interval = multiClickInterval(systemDoubleClickInterval);
  const std::int64_t count = clickTrackingQueue_.sync(
      [&] { return nextClickCount(windowId, button, now, *point, interval, multiClickRadius); });

  const auto which = mouseButton(button);
  if (!injector_.postMouse(platform::MouseEventType::down, which, *point, count) ||
      !injector_.postMouse(platform::MouseEventType::up, which, *point, count)) {
    logLine(logger_, "OrvoHost: failed to create mouse events");
    return;
  }
  logLine(logger_, "OrvoHost: performed " + escapeForLog(button) + " click on window " + std::to_string(windowId) +
                       " at (" + formatDouble(point->x) + ", " + formatDouble(point->y) + ")");
}

std::optional<Point> PointerInput::clickPoint(std::uint32_t windowId, double normX, double normY) {
  const auto bounds = catalogue_.windowBounds(windowId);
  if (!bounds) {
    logLine(logger_, "OrvoHost: no bounds for window " + std::to_string(windowId));
    return std::nullopt;
  }
  const Rect r = bounds->standardized();
  return Point{r.x + r.width * normX, r.y + r.height * normY};
}

std::int64_t PointerInput::nextClickCount(std::uint32_t windowId, const std::string& button, double time, Point point,
                                          double longestInterval, double largestDistance) {
  ClickTrackingState& state = *clickTracking_;
  const double elapsed = time - state.lastAt;
  const bool continues = state.lastWindowId && *state.lastWindowId == windowId && state.lastButton == button &&
                         elapsed > 0 && elapsed <= longestInterval &&
                         std::hypot(point.x - state.lastPoint.x, point.y - state.lastPoint.y) <= largestDistance;
  const std::int64_t count = continues ? std::min(state.clickCount + 1, maxClickCount) : 1;
  state.lastAt = time;
  state.lastPoint = point;
  state.lastWindowId = windowId;
  state.lastButton = button;
  state.clickCount = count;
  return count;
}

void PointerInput::resetClickTracking() {
  clickTrackingQueue_.async([state = clickTracking_] { *state = ClickTrackingState{}; });
}

void PointerInput::handleButtonEvent(const OrvoRequest& request) {
  platform::MouseEventType type = platform::MouseEventType::down;
  const char* name = "mouseDown";
  const char* eventName = "mouseDown";
  if (request.type == "mouseDrag") {
    type = platform::MouseEventType::dragged;
    name = "mouseDrag";
    eventName = "mouseDragged";
  } else if (request.type == "mouseUp") {
    type = platform::MouseEventType::up;
    name = "mouseUp";
    eventName = "mouseUp";
  }
  if (!request.windowId || !request.normX || !request.normY) {
    logLine(logger_, std::string("OrvoHost: ") + name + " missing windowId or coords");
    return;
  }
  const std::string button = request.button.value_or("left");
  const auto point = clickPoint(*request.windowId, *request.normX, *request.normY);
  if (!point) return;
  if (!focus_.isInputAllowed(*request.windowId, *point)) return;
  // A single event: no activation, no delay, no click count.
  if (!injector_.postMouse(type, mouseButton(button), *point, 0)) {
    logLine(logger_, std::string("OrvoHost: failed to create ") + eventName + " event");
  }
}

void PointerInput::performScroll(std::optional<std::uint32_t> windowId, double deltaX, double deltaY) {
  const auto target = windowId ? windowId : focus_.clientActiveWindow();
  if (target) focus_.focusWindow(*target, false);
  const auto vertical = scaledScrollDelta(deltaY);
  const auto horizontal = scaledScrollDelta(deltaX);
  if (!vertical || !horizontal) {
    logLine(logger_, "OrvoHost: mouseScroll delta out of range; dropped");
    return;
  }
  if (*vertical == 0 && *horizontal == 0) return;
  injector_.postScroll(*vertical, *horizontal);
}

}  // namespace orvo
