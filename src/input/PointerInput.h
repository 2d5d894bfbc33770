#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/ControlMessages.h"
#include "platform/Geometry.h"

namespace orvo {

class Clock;
class InputTimeRecorder;
class Logger;
class MainQueue;
class SerialQueue;
class SessionContext;
class WindowCatalogue;
class WindowFocus;
namespace platform {
class InputInjector;
}

// Multi-click detection: the last click and the count it was given.
struct ClickTrackingState {
  double lastAt = 0;
  Point lastPoint;
  std::optional<std::uint32_t> lastWindowId;
  std::string lastButton = "left";
  std::int64_t clickCount = 0;
};

// The double-click interval the desktop is taken to have. X11 has no one system-wide
// setting (each toolkit keeps its own), so the platform's usual half second stands.
inline constexpr double systemDoubleClickInterval = 0.5;
inline constexpr double clickActivationDelay = 0.15;
inline constexpr double multiClickRadius = 18.0;
inline constexpr std::int64_t maxClickCount = 3;
inline constexpr double scrollScaleFactor = 0.5;

// The longest gap between two clicks of one sequence for a given system interval.
inline double multiClickInterval(double systemInterval) {
  return (systemInterval > 0.5 ? systemInterval : 0.5) + 0.15;
}

// The client's pointer requests ("mouseClick", "mouseDown", "mouseDrag", "mouseUp",
// "mouseScroll") turned into synthetic pointer and wheel events at the point of the
// target window that the normalized coordinates designate.
//
// Everything runs on the main queue, except nextClickCount(), which runs on the
// click-tracking queue; the click-tracking state is touched only there. A click is
// performed in two later main-queue tasks (activation of the owning application, then the
// click itself 0.15 s later); those hold this object weakly and do nothing once it is
// gone. All references must outlive the object; the click-tracking queue must outlive
// every task queued on it (it owns them).
class PointerInput {
 public:
  PointerInput(SessionContext& session, WindowFocus& focus, WindowCatalogue& catalogue, InputTimeRecorder& recorder,
               platform::InputInjector& injector, SerialQueue& clickTrackingQueue, MainQueue& main, const Clock& clock,
               Logger& logger);
  PointerInput(const PointerInput&) = delete;
  PointerInput& operator=(const PointerInput&) = delete;

  void handlePointerRequest(const OrvoRequest& request);
  // The second stage of a click: raise, map, admit, count, post.
  void performClick(std::uint32_t windowId, const std::string& button, double normX, double normY);
  // The global position of normalized window coordinates; not clamped to the window.
  std::optional<Point> clickPoint(std::uint32_t windowId, double normX, double normY);
  // The count of this click, continuing the last click's sequence when it was on the same
  // window with the same button, within the interval and the distance. Click-tracking
  // queue only.
  std::int64_t nextClickCount(std::uint32_t windowId, const std::string& button, double time, Point point,
                              double longestInterval, double largestDistance);
  // Forgets any click sequence, asynchronously on the click-tracking queue.
  void resetClickTracking();
  // Focuses the target (or the client's active window), halves the deltas and posts one
  // wheel event unless both halves truncate to zero.
  void performScroll(std::optional<std::uint32_t> windowId, double deltaX, double deltaY);

 private:
  void handleClick(const OrvoRequest& request);
  void handleButtonEvent(const OrvoRequest& request);

  SessionContext& session_;
  WindowFocus& focus_;
  WindowCatalogue& catalogue_;
  InputTimeRecorder& recorder_;
  platform::InputInjector& injector_;
  SerialQueue& clickTrackingQueue_;
  MainQueue& main_;
  const Clock& clock_;
  Logger& logger_;

  // Click-tracking queue only. Shared with the queue's tasks so a reset queued before the
  // object goes never touches freed memory.
  std::shared_ptr<ClickTrackingState> clickTracking_ = std::make_shared<ClickTrackingState>();
  // Delayed click stages hold this weakly.
  std::shared_ptr<PointerInput*> self_ = std::make_shared<PointerInput*>(this);
};

}  // namespace orvo
