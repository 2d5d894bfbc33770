#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "host/HostConstants.h"
#include "host/OrvoHost.h"
#include "core/Bytes.h"
#include "host/SessionHandlers.h"
#include "platform/Network.h"
#include "platform/WindowServer.h"
#include "streaming/FrameProducer.h"
#include "streaming/WindowStateMap.h"

namespace orvo {

class Clock;
class Logger;
class MainQueue;
class WindowCatalogue;
class WindowFocus;
namespace platform {
class Connection;
}

// Where one window stands in the pump.
struct SnapshotPumpState {
  bool isCapturing = false;  // a capture was admitted and its frame is not finished
  bool pending = false;      // a request is waiting
  double lastRequestAt = 0;  // absolute time of the latest request
  friend bool operator==(const SnapshotPumpState&, const SnapshotPumpState&) = default;
};

// Turns the client's frame requests into frames on the wire, and holds the per-window
// policy each frame follows: the effective capture mode, the stream profile and the
// adaptive JPEG quality.
//
// Requests for a window collapse into one follow-up while its frame is under way; at most
// two frames are in flight host-wide; a free slot goes to the most recently requested
// window, unless another has waited while two frames of other windows were admitted. The pump owns admission, ordering and completion; the FrameProducer it owns only
// turns (window, mode, profile, quality) into a frame. Every 60th frame handed to the
// network writes a timing line.
//
// Queues. The pump's bookkeeping belongs to the capture queue; capture modes, their last
// effective values and focus-kick times to the focus-state queue; input and refine dates
// to the stream-state queue. The capture queue reads the other two synchronously and
// writes them asynchronously; nothing else waits, so no cycle of waits can form. Each
// method below names the queue it runs on.
//
// Lifetime. Everything passed in must outlive the pump. The owner stops the host's serial
// queues (runs or drops what is queued) before destroying the pump; main-queue tasks hold
// the pump weakly and do nothing once it is gone.
class SnapshotPump final : public StreamHandler, public InputTimeRecorder {
 public:
  SnapshotPump(SessionContext& session, HostQueues queues, MainQueue& main, const Clock& clock, Logger& logger,
               WindowCatalogue& catalogue, WindowFocus& focus, platform::WindowCapturer& capturer);

  // Send queue: the frame (header and JPEG) in one write; `completion` runs (on the main
  // queue) once the bytes have been processed by the network, whether or not they went out.
  static void sendFrame(platform::Connection& connection, Bytes frame,
                        platform::Connection::SendCompletion completion);
  ~SnapshotPump() override;
  SnapshotPump(const SnapshotPump&) = delete;
  SnapshotPump& operator=(const SnapshotPump&) = delete;

  // Main queue.
  // Forwards a request to the capture queue; a request without a window is logged.
  void handleSnapshotRequest(std::optional<std::uint32_t> windowId) override;
  // Enqueues the requested mode of the window on the focus-state queue.
  void setCaptureMode(std::uint32_t windowId, CaptureMode mode) override;
  // Enqueues the pump's reset on the capture queue (end of a session).
  void resetStreamState() override;
  // Records input (on the stream-state queue); input on a window also makes it the
  // client's active window.
  void noteInput(std::optional<std::uint32_t> windowId) override;

  // Capture queue.
  void requestSnapshot(std::uint32_t windowId);
  void runSnapshotPump();
  // One frame of the window for the connection the pump took: admission, capture in the
  // effective mode, profile, quality, the frame, then the send; the slot is released when
  // the network has processed the frame, or at once when a step fails.
  void captureAndSendFrame(std::uint32_t windowId, const std::shared_ptr<platform::Connection>& connection);
  // The first step of every capture: refuses when `connection` is no longer the
  // session's connection, or when the in-flight limits are reached (the request then
  // waits for the next pump run); otherwise counts the frame as in flight.
  bool admitSnapshot(std::uint32_t windowId, const std::shared_ptr<platform::Connection>& connection);
  // Releases the window's in-flight slot and serves the next pending request.
  void finishSnapshot(std::uint32_t windowId);
  // Forgets every request and in-flight frame.
  void resetStreamStateOnQueue();
  // Composited only for the client's active window that asked for it; a window that has
  // just turned composited gets a forced focus (at most every 0.25 s), enqueued on the
  // main queue. Reads and writes the focus-state queue.
  CaptureMode resolveEffectiveCaptureMode(std::uint32_t windowId);
  // Interactive while input is recent (0.22 s), refine once it pauses, refine frames of a
  // window at most every 0.4 s. Reads the stream-state queue.
  const StreamProfile& chooseStreamProfile(std::uint32_t windowId, double now);
  // Enqueues the date of the window's refine frame on the stream-state queue.
  void noteRefineSent(std::uint32_t windowId, double date);

  // Capture-queue state, for inspection.
  std::int64_t globalHostSnapshotsInFlight() const { return globalHostSnapshotsInFlight_; }
  std::optional<SnapshotPumpState> pumpState(std::uint32_t windowId) const;
  std::size_t pumpStateCount() const { return snapshotPumpByWindow_.size(); }
  // The window's stored quality, if it has one.
  std::optional<double> jpegQuality(std::uint32_t windowId) const;
  void setJpegQuality(std::uint32_t windowId, double quality);
  std::uint64_t frameCounter() const { return perf_frameCounter_; }
  FrameProducer& producer() { return producer_; }

 private:
  // Stores a window's pump state. Returns false when the map is full of windows that are
  // waiting or capturing, and the state was not stored.
  bool storePumpState(std::uint32_t windowId, SnapshotPumpState state);
  void logTiming(std::uint32_t windowId, std::size_t bytes, const char* profile, double quality, double cap,
                 double scale, double encode, double total);

  SessionContext& session_;
  HostQueues queues_;
  MainQueue& main_;
  const Clock& clock_;
  Logger& logger_;
  WindowCatalogue& catalogue_;
  WindowFocus& focus_;

  // Capture queue.
  WindowStateMap<SnapshotPumpState> snapshotPumpByWindow_;
  // How often each waiting window has seen another window take a slot; only windows that
  // wait have an entry.
  std::unordered_map<std::uint32_t, int> passOversByWindow_;
  static constexpr int maxPassOvers = 2;
  std::unordered_set<std::uint32_t> snapshotsInFlight_;
  std::int64_t globalHostSnapshotsInFlight_ = 0;
  bool pumping_ = false;  // a pump run is under way further up this queue's stack
  WindowStateMap<double> jpegQualityByWindow_;
  std::uint64_t perf_frameCounter_ = 0;
  FrameProducer producer_;

  // Focus-state queue.
  WindowStateMap<CaptureMode> captureModeByWindow_;
  WindowStateMap<CaptureMode> lastEffectiveCaptureModeByWindow_;
  WindowStateMap<double> lastCompositedFocusKickAtByWindow_;

  // Stream-state queue.
  double lastAnyInputAt_;
  WindowStateMap<double> lastInputAtByWindow_;
  WindowStateMap<double> lastRefineSentAtByWindow_;

  std::shared_ptr<SnapshotPump*> self_ = std::make_shared<SnapshotPump*>(this);
};

}  // namespace orvo
