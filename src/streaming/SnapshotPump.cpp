#include "streaming/SnapshotPump.h"

#include "core/Clock.h"
#include "core/Log.h"
#include "core/Queues.h"
#include "input/WindowFocus.h"

namespace orvo {
namespace {

// Input this recent keeps frames interactive.
constexpr double inputIdleThreshold = 0.22;
// Refine frames of one window come at most this often.
constexpr double refineInterval = 0.4;
// A window that turns composited is focused at most this often.
constexpr double compositedFocusKickInterval = 0.25;

// Sets a flag for the length of a scope.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = false; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace

SnapshotPump::SnapshotPump(SessionContext& session, HostQueues queues, MainQueue& main, const Clock& clock,
                           Logger& logger, WindowCatalogue& catalogue, WindowFocus& focus,
                           platform::WindowCapturer& capturer)
    : session_(session),
      queues_(queues),
      main_(main),
      clock_(clock),
      logger_(logger),
      focus_(focus),
      producer_(*this, queues.capture, queues.send, clock, logger, catalogue, capturer),
      lastAnyInputAt_(kDistantPast) {}

SnapshotPump::~SnapshotPump() = default;

void SnapshotPump::handleSnapshotRequest(std::optional<std::uint32_t> windowId) {
  if (!windowId) {
    logLine(logger_, "OrvoHost: requestWindowSnapshot without windowId");
    return;
  }
  queues_.capture.async([weak = std::weak_ptr(self_), id = *windowId] {
    if (const auto self = weak.lock()) (*self)->requestSnapshot(id);
  });
}

void SnapshotPump::setCaptureMode(std::uint32_t windowId, CaptureMode mode) {
  queues_.focusState.async([this, windowId, mode] { storeWindowState(captureModeByWindow_, windowId, mode); });
}

void SnapshotPump::resetStreamState() {
  queues_.capture.async([weak = std::weak_ptr(self_)] {
    if (const auto self = weak.lock()) (*self)->resetStreamStateOnQueue();
  });
}

void SnapshotPump::noteInput(std::optional<std::uint32_t> windowId) {
  const double now = clock_.now();
  queues_.streamState.async([this, windowId, now] {
    lastAnyInputAt_ = now;
    if (windowId) storeWindowState(lastInputAtByWindow_, *windowId, now);
  });
  if (windowId) focus_.setClientActiveWindow(*windowId);
}

void SnapshotPump::requestSnapshot(std::uint32_t windowId) {
  const auto state = pumpState(windowId);
  storePumpState(windowId, {state && state->isCapturing, true, clock_.now()});
  runSnapshotPump();
}

void SnapshotPump::runSnapshotPump() {
  // A run further up the stack (a capture that failed and finished at once) goes on
  // looking for work itself when this returns.
  if (pumping_) return;
  const FlagScope running(pumping_);
  if (globalHostSnapshotsInFlight_ >= maxHostSnapshotsInFlight) return;
  for (;;) {
    const auto connection = session_.currentConnection();
    if (!connection) return;
    SnapshotPumpState* chosen = nullptr;
    std::uint32_t chosenId = 0;
    for (auto& [id, state] : snapshotPumpByWindow_) {
      if (!state.pending || state.isCapturing) continue;
      if (!chosen || state.lastRequestAt > chosen->lastRequestAt) {
        chosen = &state;
        chosenId = id;
      }
    }
    if (!chosen) return;
    chosen->isCapturing = true;
    chosen->pending = false;
    producer_.captureAndSendFrame(chosenId, connection);
    if (globalHostSnapshotsInFlight_ >= maxHostSnapshotsInFlight) return;
  }
}

bool SnapshotPump::admitSnapshot(std::uint32_t windowId, const std::shared_ptr<platform::Connection>& connection) {
  const auto state = pumpState(windowId);
  const auto current = session_.currentConnection();
  if (!current || current != connection) {
    storePumpState(windowId, {false, state && state->pending, state ? state->lastRequestAt : 0});
    return false;
  }
  if (globalHostSnapshotsInFlight_ >= maxHostSnapshotsInFlight || snapshotsInFlight_.contains(windowId)) {
    storePumpState(windowId, {false, true, state ? state->lastRequestAt : clock_.now()});
    return false;
  }
  snapshotsInFlight_.insert(windowId);
  ++globalHostSnapshotsInFlight_;
  return true;
}

void SnapshotPump::finishSnapshot(std::uint32_t windowId) {
  snapshotsInFlight_.erase(windowId);
  globalHostSnapshotsInFlight_ = std::max<std::int64_t>(globalHostSnapshotsInFlight_ - 1, 0);
  const auto state = pumpState(windowId);
  storePumpState(windowId, {false, state && state->pending, state ? state->lastRequestAt : 0});
  runSnapshotPump();
}

void SnapshotPump::resetStreamStateOnQueue() {
  snapshotsInFlight_.clear();
  globalHostSnapshotsInFlight_ = 0;
  snapshotPumpByWindow_.clear();
}

CaptureMode SnapshotPump::resolveEffectiveCaptureMode(std::uint32_t windowId) {
  struct FocusView {
    CaptureMode requested;
    bool active;
    std::optional<CaptureMode> previous;
    double lastKickAt;
  };
  // One read of everything the decision needs; only this queue writes the last
  // effective modes and kick times, so nothing can change them between read and write.
  const auto view = queues_.focusState.sync([&] {
    const auto previous = lastEffectiveCaptureModeByWindow_.find(windowId);
    return FocusView{
        windowStateOr(captureModeByWindow_, windowId, CaptureMode::composited),
        focus_.clientActiveWindowOnQueue() == windowId,
        previous == lastEffectiveCaptureModeByWindow_.end() ? std::nullopt : std::optional(previous->second),
        windowStateOr(lastCompositedFocusKickAtByWindow_, windowId, 0.0),
    };
  });
  const CaptureMode effective =
      view.requested == CaptureMode::composited && view.active ? CaptureMode::composited : CaptureMode::isolated;
  if (view.previous == effective) return effective;

  // The window has just changed mode. Turning composited shows what lies in front of it,
  // so it is brought forward (forced past the focus throttle, but not too often).
  const double now = clock_.now();
  const bool kick = effective == CaptureMode::composited && now - view.lastKickAt > compositedFocusKickInterval;
  queues_.focusState.async([this, windowId, effective, kick, now] {
    storeWindowState(lastEffectiveCaptureModeByWindow_, windowId, effective);
    if (kick) storeWindowState(lastCompositedFocusKickAtByWindow_, windowId, now);
  });
  if (kick) {
    main_.async([weak = std::weak_ptr(self_), windowId] {
      if (const auto self = weak.lock()) (*self)->focus_.focusWindow(windowId, true);
    });
  }
  return effective;
}

const StreamProfile& SnapshotPump::chooseStreamProfile(std::uint32_t windowId, double now) {
  const bool refine = queues_.streamState.sync([&] {
    const double latestInput = std::max(windowStateOr(lastInputAtByWindow_, windowId, kDistantPast), lastAnyInputAt_);
    if (now - latestInput < inputIdleThreshold) return false;
    return now - windowStateOr(lastRefineSentAtByWindow_, windowId, kDistantPast) >= refineInterval;
  });
  return refine ? refineProfile : interactiveProfile;
}

void SnapshotPump::noteRefineSent(std::uint32_t windowId, double date) {
  queues_.streamState.async([this, windowId, date] { storeWindowState(lastRefineSentAtByWindow_, windowId, date); });
}

std::optional<SnapshotPumpState> SnapshotPump::pumpState(std::uint32_t windowId) const {
  const auto it = snapshotPumpByWindow_.find(windowId);
  if (it == snapshotPumpByWindow_.end()) return std::nullopt;
  return it->second;
}

bool SnapshotPump::storePumpState(std::uint32_t windowId, SnapshotPumpState state) {
  if (const auto it = snapshotPumpByWindow_.find(windowId); it != snapshotPumpByWindow_.end()) {
    it->second = state;
    return true;
  }
  if (snapshotPumpByWindow_.size() >= maxTrackedWindows) {
    // An idle entry means the same as no entry: drop those first.
    std::erase_if(snapshotPumpByWindow_, [](const auto& item) { return !item.second.pending && !item.second.isCapturing; });
    if (snapshotPumpByWindow_.size() >= maxTrackedWindows) return false;
  }
  snapshotPumpByWindow_.emplace(windowId, state);
  return true;
}

}  // namespace orvo
