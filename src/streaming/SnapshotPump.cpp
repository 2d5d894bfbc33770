#include "streaming/SnapshotPump.h"

#include <algorithm>
#include <cstdio>

#include "core/Clock.h"
#include "core/Log.h"
#include "core/Queues.h"
#include "input/WindowFocus.h"
#include "streaming/FrameFormat.h"
#include "streaming/WindowCatalogue.h"

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
      catalogue_(catalogue),
      focus_(focus),
      producer_(capturer),
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
    // The most recent request wins, so the window the user touched last comes first. A
    // window passed over twice goes ahead (the most passed over, then the oldest request,
    // first): with more windows asking than slots, the newest two would otherwise take
    // every slot and the others would never get a frame.
    const auto passOvers = [this](std::uint32_t id) {
      const auto it = passOversByWindow_.find(id);
      return it == passOversByWindow_.end() ? 0 : it->second;
    };
    const auto ahead = [&](std::uint32_t id, const SnapshotPumpState& state, std::uint32_t otherId,
                           const SnapshotPumpState& other) {
      const int mine = passOvers(id), theirs = passOvers(otherId);
      const bool starved = mine >= maxPassOvers, otherStarved = theirs >= maxPassOvers;
      if (starved != otherStarved) return starved;
      if (starved && mine != theirs) return mine > theirs;
      return starved ? state.lastRequestAt < other.lastRequestAt : state.lastRequestAt > other.lastRequestAt;
    };
    SnapshotPumpState* chosen = nullptr;
    std::uint32_t chosenId = 0;
    for (auto& [id, state] : snapshotPumpByWindow_) {
      if (!state.pending || state.isCapturing) continue;
      if (!chosen || ahead(id, state, chosenId, *chosen)) {
        chosen = &state;
        chosenId = id;
      }
    }
    if (!chosen) return;
    chosen->isCapturing = true;
    chosen->pending = false;
    std::erase_if(passOversByWindow_, [this](const auto& item) {
      const auto state = snapshotPumpByWindow_.find(item.first);
      return state == snapshotPumpByWindow_.end() || !state->second.pending || state->second.isCapturing;
    });
    for (const auto& [id, state] : snapshotPumpByWindow_) {
      if (state.pending && !state.isCapturing) ++passOversByWindow_[id];
    }
    captureAndSendFrame(chosenId, connection);
    if (globalHostSnapshotsInFlight_ >= maxHostSnapshotsInFlight) return;
  }
}

void SnapshotPump::captureAndSendFrame(std::uint32_t windowId,
                                       const std::shared_ptr<platform::Connection>& connection) {
  if (!admitSnapshot(windowId, connection)) return;
  const double t0 = clock_.now();

  // The bounds only where the capturer reads them: the lookup walks the whole window list.
  const auto bounds = producer_.usesBounds() ? catalogue_.windowBounds(windowId) : std::nullopt;
  const CaptureMode mode = resolveEffectiveCaptureMode(windowId);
  // The profile and quality come before the capture: a window that has not changed since
  // its kept frame of that profile and quality step is answered without one.
  const double now = clock_.now();
  const StreamProfile& profile = chooseStreamProfile(windowId, now);
  const double quality = windowStateOr(jpegQualityByWindow_, windowId, profile.initialQ);
  auto outcome = producer_.produce(windowId, bounds, mode, profile, quality);
  if (outcome.captureFailed) {
    logLine(logger_, "OrvoHost: failed snapshot " + std::to_string(windowId));
    finishSnapshot(windowId);
    return;
  }
  auto& frame = outcome.frame;
  if (!frame) {
    finishSnapshot(windowId);
    return;
  }
  const double t3 = clock_.now();
  const double t1 = std::min(now + frame->captureSeconds, t3);

  setJpegQuality(windowId, adaptQuality(quality, frame->jpegLength, profile));
  if (profile.isRefine) noteRefineSent(windowId, now);

  const std::size_t length = frame->jpegLength;
  queues_.send.async([connection, wire = std::move(frame->wire), windowId, weak = std::weak_ptr(self_)]() mutable {
    sendFrame(*connection, std::move(wire), [weak = std::move(weak), windowId](const std::optional<std::string>&) {
      // On the main queue, where the pump is destroyed: safe to look.
      const auto self = weak.lock();
      if (!self) return;
      (*self)->queues_.capture.async([weak, windowId] {
        if (const auto pump = weak.lock()) (*pump)->finishSnapshot(windowId);
      });
    });
  });

  if (++perf_frameCounter_ % perf_logEveryNFrames == 0) {
    // Scaling and encoding overlap strip by strip; the split is the producer's apportioning.
    const double produced = t3 - t1;
    const double scale = std::min(frame->scaleSeconds, produced);
    logTiming(windowId, length, profile.name.c_str(), quality, t1 - t0, scale, produced - scale, t3 - t0);
  }
}

void SnapshotPump::sendFrame(platform::Connection& connection, Bytes frame,
                             platform::Connection::SendCompletion completion) {
  connection.send(std::move(frame), std::move(completion));
}

std::optional<double> SnapshotPump::jpegQuality(std::uint32_t windowId) const {
  const auto it = jpegQualityByWindow_.find(windowId);
  if (it == jpegQualityByWindow_.end()) return std::nullopt;
  return it->second;
}

void SnapshotPump::setJpegQuality(std::uint32_t windowId, double quality) {
  storeWindowState(jpegQualityByWindow_, windowId, quality);
}

void SnapshotPump::logTiming(std::uint32_t windowId, std::size_t bytes, const char* profile, double quality,
                             double cap, double scale, double encode, double total) {
  char line[256];
  const int written =
      std::snprintf(line, sizeof line,
                    "HOST win=%u bytes=%d mode=%s q=%.2f cap=%.1fms scale=%.1fms enc=%.1fms total=%.1fms inFlight=%d/%d",
                    static_cast<unsigned>(windowId), static_cast<int>(bytes), profile, quality, cap * 1000,
                    scale * 1000, encode * 1000, total * 1000, static_cast<int>(globalHostSnapshotsInFlight_),
                    static_cast<int>(maxHostSnapshotsInFlight));
  if (written > 0) logger_.write(std::string_view(line, std::min<std::size_t>(written, sizeof line - 1)));
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
  passOversByWindow_.clear();
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
