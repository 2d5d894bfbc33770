#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/SharedSlot.h"
#include "platform/WindowServer.h"

namespace orvo::platform::portal {

// A window the person shared, as the host keeps it: the stream that shows it and where it
// sits in the host's display space.
struct PortalWindow {
  std::uint32_t windowId = 0;  // the host's own number, never reused while the host runs
  std::uint32_t nodeId = 0;    // the PipeWire node (and portal stream) that shows it
  std::string title;
  std::string appName;
  int width = 0;  // the picture's size; 0 until the stream told it
  int height = 0;
  int slot = 0;   // its place in the display space
};

// The shared windows as a window list. A Wayland desktop tells ordinary programs nothing of
// where windows are, so the host lays the shared windows side by side in a display space
// of its own: window k covers x in [k * slotWidth, k * slotWidth + width), y in
// [0, height). Nothing overlaps, so input admission always finds the target on top; the
// input injector maps a point back to the window's stream and the point in it.
//
// publish() on the main queue; everything else from any thread (a snapshot hand-over,
// never a wait on the desktop).
class PortalWindowList final : public WindowServer {
 public:
  static constexpr double slotWidth = 65536;

  void publish(std::vector<PortalWindow> windows);

  // Windows with a known size, in the order shared (the first is "front"). Both options
  // give the same list: a shared window is either streamed or gone.
  std::vector<WindowInfo> copyWindowInfo(WindowListOption option) override;

  // The stream under a point of the display space, with the point in the stream's own
  // coordinates, clamped into the picture.
  struct StreamPoint {
    std::uint32_t nodeId = 0;
    double x = 0;
    double y = 0;
  };
  std::optional<StreamPoint> streamAt(Point point) const;

 private:
  SharedSlot<const std::vector<PortalWindow>> windows_;
};

}  // namespace orvo::platform::portal
