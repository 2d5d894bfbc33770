#include "input/WindowFocus.h"

#include <vector>

#include "core/Clock.h"
#include "core/Log.h"
#include "core/Queues.h"
#include "host/HostConstants.h"
#include "platform/WindowActivation.h"
#include "platform/WindowServer.h"
#include "streaming/WindowCatalogue.h"

namespace orvo {

WindowFocus::WindowFocus(SessionContext& session, WindowCatalogue& catalogue, platform::WindowServer& windowServer,
                         platform::WindowActivation& activation, SerialQueue& focusStateQueue, MainQueue& main,
                         const Clock& clock, Logger& logger)
    : session_(session),
      catalogue_(catalogue),
      windowServer_(windowServer),
      activation_(activation),
      focusStateQueue_(focusStateQueue),
      main_(main),
      clock_(clock),
      logger_(logger) {}

std::optional<std::uint32_t> WindowFocus::topWindowAt(Point point) {
  for (const auto& info : windowServer_.copyWindowInfo(platform::WindowListOption::onScreenOnly)) {
    if (!info.layer || *info.layer != 0 || !info.bounds) continue;
    if (info.bounds->contains(point)) return info.number;
  }
  return std::nullopt;
}

bool WindowFocus::isInputAllowed(std::uint32_t windowId, Point point) {
  const auto top = topWindowAt(point);
  if (!top || *top == windowId) return true;
  const std::string reason =
      "Input rejected: top window (" + std::to_string(*top) + ") != target (" + std::to_string(windowId) + ")";
  logLine(logger_, "OrvoHost:", reason);
  session_.sendMessage(InputRejectedMessage{.windowId = windowId, .reason = reason, .timestamp = clock_.now()});
  return false;
}

void WindowFocus::setClientActiveWindow(std::uint32_t windowId) {
  focusStateQueue_.async([this, windowId] { lastClientActiveWindowId_ = windowId; });
}

std::optional<std::uint32_t> WindowFocus::clientActiveWindow() {
  return focusStateQueue_.sync([this] { return lastClientActiveWindowId_; });
}

void WindowFocus::activateOwningApp(std::uint32_t windowId) {
  const auto pid = catalogue_.ownerPID(windowId);
  const auto application = pid ? activation_.runningApplication(*pid) : std::nullopt;
  if (!application) {
    logLine(logger_, "OrvoHost: could not resolve owner PID for window " + std::to_string(windowId));
    return;
  }
  logLine(logger_, "OrvoHost: activating app " + application->localizedName.value_or("Unknown") + " (pid " +
                       std::to_string(*pid) + ") for window " + std::to_string(windowId));
  activation_.activate(*pid);
}

void WindowFocus::bringWindowToFront(std::uint32_t windowId) {
  if (!session_.isRemoteControlPermitted()) return;
  logLine(logger_, "OrvoHost: bringWindowToFront – AX trusted =", activation_.isTrusted());
  const auto pid = catalogue_.ownerPID(windowId);
  if (!pid) {
    logLine(logger_, "OrvoHost: bringWindowToFront – no PID for window " + std::to_string(windowId));
    return;
  }
  std::vector<std::uint32_t> windows;
  const int result = activation_.applicationWindows(*pid, windows);
  if (result == 0 && !windows.empty()) {
    // The application's first window is raised, whichever window was the target.
    const int raised = activation_.raise(windows.front());
    if (raised != 0) {
      logLine(logger_, "OrvoHost: bringWindowToFront – AXRaise failed (result " + std::to_string(raised) +
                           ") for pid " + std::to_string(*pid));
    } else {
      logLine(logger_, "OrvoHost: bringWindowToFront – raised *first* AX window for pid " + std::to_string(*pid));
    }
    return;
  }
  logLine(logger_, "OrvoHost: bringWindowToFront – could not fetch AX windows (result " + std::to_string(result) +
                       ") for pid " + std::to_string(*pid));
}

void WindowFocus::focusWindow(std::uint32_t windowId, bool force) {
  if (!session_.isRemoteControlPermitted()) return;
  const double now = clock_.now();
  const bool go = focusStateQueue_.sync([&] {
    return force || !lastFocusedWindowId_ || *lastFocusedWindowId_ != windowId ||
           now - lastFocusAt_ >= focusThrottleInterval;
  });
  if (!go) return;
  focusStateQueue_.async([this, windowId, now] {
    lastFocusedWindowId_ = windowId;
    lastFocusAt_ = now;
  });
  main_.async([weak = std::weak_ptr(self_), windowId] {
    if (auto self = weak.lock()) (*self)->activateOwnerAndFocus(windowId);
  });
}

void WindowFocus::activateOwnerAndFocus(std::uint32_t windowId) {
  if (const auto pid = catalogue_.ownerPID(windowId); pid && activation_.runningApplication(*pid)) {
    activation_.activate(*pid);
  }
  focusWindowViaAccessibility(windowId);
}

void WindowFocus::focusWindowViaAccessibility(std::uint32_t windowId) {
  if (!session_.isRemoteControlPermitted() || !activation_.isTrusted()) return;
  const auto pid = catalogue_.ownerPID(windowId);
  if (!pid) return;
  std::vector<std::uint32_t> windows;
  if (activation_.applicationWindows(*pid, windows) != 0 || windows.empty()) return;
  std::uint32_t chosen = windows.front();
  for (const auto window : windows) {
    if (window == windowId) {
      chosen = window;
      break;
    }
  }
  activation_.setFocusedWindow(*pid, chosen);
  activation_.raise(chosen);
}

}  // namespace orvo
