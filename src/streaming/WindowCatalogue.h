#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "host/ControlMessages.h"
#include "host/SessionHandlers.h"
#include "platform/Geometry.h"

namespace orvo {

class Clock;
class Logger;
class MainQueue;
namespace platform {
class WindowServer;
}

// The host's view of the desktop's windows: the list a client may mirror, and the owner
// and bounds of one window. Each answer is a fresh query of the window server. Window-list
// requests are answered at most once per 0.75 s; requests in between are folded into one
// deferred list.
//
// Frames are served only for the windows of the list: the ids of the last list built on
// the main queue are kept, and an id not among them makes the catalogue build the list
// afresh at most once per 0.75 s, so a window that appeared since is found while a flood
// of other ids costs no more than one window-list query per interval.
class WindowCatalogue final : public WindowListHandler {
 public:
  WindowCatalogue(platform::WindowServer& windowServer, SessionContext& session, MainQueue& main, const Clock& clock,
                  Logger& logger);
  WindowCatalogue(const WindowCatalogue&) = delete;
  WindowCatalogue& operator=(const WindowCatalogue&) = delete;

  // Normal on-screen windows, front to back. Any queue.
  std::vector<OrvoWindow> buildWindowList();
  // The owning process and the bounds of any window (minimised and off-screen ones
  // included). Any queue.
  std::optional<std::int32_t> ownerPID(std::uint32_t windowId);
  std::optional<Rect> windowBounds(std::uint32_t windowId);

  // Main queue.
  void handleWindowListRequest() override;
  bool admitsFrames(std::uint32_t windowId) override;
  void sendWindowList();

 private:
  platform::WindowServer& windowServer_;
  SessionContext& session_;
  MainQueue& main_;
  const Clock& clock_;
  Logger& logger_;
  void noteListed(const std::vector<OrvoWindow>& list);

  double lastWindowListSentAt_ = 0;
  bool windowListSendPending_ = false;
  // Main queue: the ids of the last list built there, and when it was built.
  std::unordered_set<std::uint32_t> listed_;
  std::optional<double> listedAt_;
  std::optional<double> lastRefusalLogAt_;
  std::uint64_t refusedSinceLog_ = 0;
  // Deferred sends hold this weakly, so they do nothing once the catalogue is gone.
  std::shared_ptr<WindowCatalogue*> self_ = std::make_shared<WindowCatalogue*>(this);
};

}  // namespace orvo
