#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "host/SessionHandlers.h"
#include "platform/Geometry.h"

namespace orvo {

class Clock;
class Logger;
class MainQueue;
class SerialQueue;
class WindowCatalogue;
namespace platform {
class WindowActivation;
class WindowServer;
}  // namespace platform

// Makes sure injected input lands in the window the client looks at: the client's active
// window, input admission (the target must be the topmost normal window at the point),
// and bringing a window and its application forward, throttled.
//
// The focus state (client's active window, last focused window and when) belongs to the
// focus-state queue; every other method runs on the main queue unless it says otherwise.
class WindowFocus final : public FocusHandler {
 public:
  WindowFocus(SessionContext& session, WindowCatalogue& catalogue, platform::WindowServer& windowServer,
              platform::WindowActivation& activation, SerialQueue& focusStateQueue, MainQueue& main,
              const Clock& clock, Logger& logger);
  WindowFocus(const WindowFocus&) = delete;
  WindowFocus& operator=(const WindowFocus&) = delete;

  // The topmost normal (layer 0) on-screen window containing the point. Any queue.
  std::optional<std::uint32_t> topWindowAt(Point point);
  // Whether input for the window may be posted at the point; on refusal the reason is
  // logged and sent to the client.
  bool isInputAllowed(std::uint32_t windowId, Point point);

  // Enqueues the write on the focus-state queue.
  void setClientActiveWindow(std::uint32_t windowId) override;
  // Reads the client's active window synchronously on the focus-state queue. Callable
  // from the main and capture queues (never from the focus-state queue's own tasks).
  std::optional<std::uint32_t> clientActiveWindow();
  // The same read for code already running on the focus-state queue.
  std::optional<std::uint32_t> clientActiveWindowOnQueue() const { return lastClientActiveWindowId_; }

  void activateOwningApp(std::uint32_t windowId);
  void bringWindowToFront(std::uint32_t windowId);
  // Raises the window and activates its application, at most once per 0.2 s for the same
  // window unless forced. Does nothing without the remote-control permission.
  void focusWindow(std::uint32_t windowId, bool force);
  void activateOwnerAndFocus(std::uint32_t windowId);
  void focusWindowViaAccessibility(std::uint32_t windowId);

 private:
  SessionContext& session_;
  WindowCatalogue& catalogue_;
  platform::WindowServer& windowServer_;
  platform::WindowActivation& activation_;
  SerialQueue& focusStateQueue_;
  MainQueue& main_;
  const Clock& clock_;
  Logger& logger_;

  // Focus-state queue only.
  std::optional<std::uint32_t> lastClientActiveWindowId_;
  std::optional<std::uint32_t> lastFocusedWindowId_;
  double lastFocusAt_ = 0;

  std::shared_ptr<WindowFocus*> self_ = std::make_shared<WindowFocus*>(this);
};

}  // namespace orvo
