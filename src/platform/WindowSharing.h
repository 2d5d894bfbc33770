#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/Published.h"

namespace orvo::platform {

// One window the person has shared with the host.
struct SharedWindow {
  std::uint32_t windowId = 0;
  std::string title;    // empty when the desktop does not say
  std::string appName;  // empty when the desktop does not say
  int width = 0;        // the picture's size; 0 until known
  int height = 0;
  friend bool operator==(const SharedWindow&, const SharedWindow&) = default;
};

// Desktops that give ordinary programs no list of other programs' windows (Wayland through
// the desktop portal) let the person choose what to share instead. The windows shared are
// the host's whole window list there.
//
// Main queue only; the published values announce on the main queue.
class WindowSharing {
 public:
  virtual ~WindowSharing() = default;
  // Opens the desktop's window picker. The windows chosen replace the ones shared so far;
  // a picker that is dismissed leaves them as they were. `done` (may be empty) is told
  // once how it ended: whether windows are shared, and a line saying so.
  virtual void chooseWindows(std::function<void(bool shared, const std::string& message)> done) = 0;
  // Stops sharing one window, or every window (the desktop then forgets the selection, so
  // the next start asks again).
  virtual void stopSharing(std::uint32_t windowId) = 0;
  virtual void stopSharingAll() = 0;
  // The windows shared now, in the order they were chosen.
  virtual const Published<std::vector<SharedWindow>>& sharedWindows() const = 0;
  // One line on where sharing stands, for the panel and `ctl status`.
  virtual const Published<std::string>& sharingStatus() const = 0;
};

}  // namespace orvo::platform
