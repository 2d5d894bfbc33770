#include "platform/linux/wayland/portal/PortalDesktop.h"

#include <algorithm>

#include "core/Queues.h"
#include "platform/linux/pipewire/PipeWireCapturer.h"

namespace orvo::platform::portal {
namespace {

// After PipeWire went away, the kept selection is asked for again after this long, times
// the number of the attempt.
constexpr double kReconnectDelaySeconds = 2.0;

std::string windowsText(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " window" : " windows");
}

// The first of `keys` that the stream's properties carry as text.
std::string firstText(const Options& properties, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (auto value = optionValue<std::string>(properties, key); value && !value->empty()) return *value;
  }
  return {};
}

}  // namespace

// The capturer the frame path holds for the life of the host, in front of the PipeWire
// connection of the current session (which changes when the person shares again).
class PortalDesktop::Capture final : public WindowCapturer {
 public:
  // Main queue.
  void set(std::shared_ptr<pipewire::PipeWireCapturer> capturer) { current_.store(std::move(capturer)); }
  std::shared_ptr<pipewire::PipeWireCapturer> current() const { return current_.load(); }

  // Capture queue. The connection a picture came from stays alive until the next capture,
  // so a picture handed out is never freed under the encoder by a change of session.
  std::optional<ImageView> captureWindow(std::uint32_t window, const std::optional<Rect>& bounds,
                                         CaptureMode mode) override {
    inUse_ = current_.load();
    return inUse_ ? inUse_->captureWindow(window, bounds, mode) : std::nullopt;
  }
  PictureChanges takeChanges(std::uint32_t window, const std::optional<Rect>& bounds, CaptureMode mode) override {
    inUse_ = current_.load();
    return inUse_ ? inUse_->takeChanges(window, bounds, mode) : PictureChanges{};
  }
  std::optional<ImageView> captureRows(std::uint32_t window, const std::optional<Rect>& bounds, CaptureMode mode,
                                       const std::vector<RowSpan>& rows) override {
    return inUse_ ? inUse_->captureRows(window, bounds, mode, rows) : std::nullopt;
  }
  bool usesBounds() const override { return false; }

 private:
  SharedSlot<pipewire::PipeWireCapturer> current_;
  std::shared_ptr<pipewire::PipeWireCapturer> inUse_;  // capture queue only
};

// Wayland lets no ordinary program raise or focus another's window: the compositor does
// that itself when a shared window is clicked. What is left is whether input may be sent.
class PortalDesktop::Activation final : public WindowActivation {
 public:
  explicit Activation(const PortalDesktop& desktop) : desktop_(desktop) {}
  bool isTrusted() override { return desktop_.inputGranted(); }
  std::optional<RunningApplication> runningApplication(std::int32_t) override { return std::nullopt; }
  bool activate(std::int32_t) override { return false; }
  int applicationWindows(std::int32_t, std::vector<std::uint32_t>&) override { return 1; }
  int setFocusedWindow(std::int32_t, std::uint32_t) override { return 1; }
  int raise(std::uint32_t) override { return 1; }

 private:
  const PortalDesktop& desktop_;
};

// One opening of a session: its dialog may be open while an older session still shares.
struct PortalDesktop::Attempt {
  std::shared_ptr<PortalSession> session;
  bool usedToken = false;
  bool forInput = false;  // a RemoteDesktop session
  std::function<void(bool, const std::string&)> done;
};

PortalDesktop::PortalDesktop(Services services)
    : logger_(services.logger),
      main_(services.main),
      settings_(services.settings),
      bus_(std::move(services.sessionBus)),
      keymap_(services.context, services.logger),
      injector_(windows_, services.logger, [this](Keysym keysym) { return keymap_.hasKeysym(keysym); }),
      inhibitor_(bus_, services.logger),
      capture_(std::make_unique<Capture>()),
      activation_(std::make_unique<Activation>(*this)),
      status_(settings_.string(kRestoreTokenKey) ? "Restoring the shared windows…" : "No windows shared") {}

PortalDesktop::~PortalDesktop() { stop(); }

WindowCapturer& PortalDesktop::capturer() { return *capture_; }
WindowActivation& PortalDesktop::activation() { return *activation_; }

bool PortalDesktop::remoteDesktopOffered() const {
  return info_ && info_->remoteDesktopVersion > 0 &&
         (info_->deviceTypes & (kDeviceKeyboard | kDevicePointer)) == (kDeviceKeyboard | kDevicePointer);
}

bool PortalDesktop::inputGranted() const {
  if (!remoteDesktopOffered() || consentRefused_) return false;
  if (!session_ || session_->kind() != PortalSession::Kind::remoteDesktop) return true;  // asked with the next session
  return (session_->devices() & (kDeviceKeyboard | kDevicePointer)) == (kDeviceKeyboard | kDevicePointer);
}

void PortalDesktop::setRemoteInputWanted(bool wanted) {
  const bool was = std::exchange(inputWanted_, wanted);
  if (!started_ || !wanted || was) return;
  consentRefused_ = false;
  // Windows shared for viewing only: the desktop is asked for input now, while the person
  // is at it, with the windows chosen again in the same dialog.
  if (session_ && session_->kind() == PortalSession::Kind::screenCast && remoteDesktopOffered() && !attempt_) {
    logLine(logger_, "OrvoHost: remote control turned on: asking the desktop for remote input");
    openSession(std::nullopt);
  }
}

void PortalDesktop::start() {
  started_ = true;
  if (!bus_) {
    logLine(logger_, "OrvoHost: no session bus: windows cannot be shared through the desktop portal");
    setStatus("Window sharing is not available: no session bus");
    return;
  }
  withPortal([this] {
    const auto token = settings_.string(kRestoreTokenKey);
    if (!token) return;
    if (inputWanted_ && remoteDesktopOffered() && info_->remoteDesktopVersion < 2) {
      // This portal cannot restore a session for input: the person is asked again.
      logLine(logger_, "OrvoHost: remote control is on and this desktop asks for it at every start: choose the "
                       "windows to share again");
      return openSession(std::nullopt);
    }
    logLine(logger_, "OrvoHost: restoring the windows shared last time");
    openSession(token);
  });
}

void PortalDesktop::stop() {
  if (stopped_) return;
  stopped_ = true;
  attempt_.reset();
  injector_.setSink(nullptr);
  session_.reset();
  capture_->set(nullptr);
}

void PortalDesktop::withPortal(std::function<void()> then) {
  if (info_) return then();
  waitingForProbe_.push_back(std::move(then));
  if (probing_) return;
  probing_ = true;
  PortalSession::probe(bus_, [weak = std::weak_ptr(self_)](const PortalInfo& info) {
    const auto self = weak.lock();
    if (!self) return;
    PortalDesktop& desktop = **self;
    desktop.probing_ = false;
    desktop.info_ = info;
    if (!info.present) {
      logLine(desktop.logger_, "OrvoHost: no desktop portal (" + info.error + "): windows cannot be shared");
    } else {
      logLine(desktop.logger_, "OrvoHost: desktop portal: ScreenCast " + std::to_string(info.screenCastVersion) +
                                   ", RemoteDesktop " +
                                   (info.remoteDesktopVersion ? std::to_string(info.remoteDesktopVersion) : "none"));
    }
    for (auto& work : std::exchange(desktop.waitingForProbe_, {})) work();
  });
}

void PortalDesktop::chooseWindows(std::function<void(bool, const std::string&)> done) {
  if (stopped_) return;
  if (!bus_) {
    if (done) done(false, "Window sharing is not available: no session bus");
    return;
  }
  consentRefused_ = false;
  // A portal that was missing may have been installed or started since: look again.
  if (info_ && !info_->present && !probing_) info_.reset();
  withPortal([this, done = std::move(done)]() mutable {
    // The kept selection is not offered: the person chooses afresh.
    if (attempt_ && attempt_->done) std::exchange(attempt_->done, nullptr)(false, "Replaced by a new choice");
    attempt_.reset();
    openSession(std::nullopt);
    if (attempt_) {
      attempt_->done = std::move(done);
    } else if (done) {
      done(false, *status_);
    }
  });
}

void PortalDesktop::openSession(std::optional<std::string> restoreToken) {
  if (stopped_) return;
  if (!info_->present) return setStatus("Window sharing is not available: " + info_->error);
  if ((info_->sourceTypes & kSourceWindow) == 0) {
    logLine(logger_, "OrvoHost: this desktop's portal cannot share single windows");
    return setStatus("Window sharing is not available: this desktop's portal cannot share single windows");
  }
  PortalSession::Settings settings;
  const bool remoteDesktop = inputWanted_ && remoteDesktopOffered();
  settings.kind = remoteDesktop ? PortalSession::Kind::remoteDesktop : PortalSession::Kind::screenCast;
  settings.remoteDesktopVersion = info_->remoteDesktopVersion;
  settings.hideCursor = (info_->cursorModes & kCursorHidden) != 0;
  settings.restoreToken = restoreToken;

  auto attempt = std::make_shared<Attempt>();
  attempt->usedToken = restoreToken.has_value();
  attempt->forInput = remoteDesktop;
  attempt_ = attempt;
  setStatus(restoreToken ? "Restoring the shared windows…" : "Waiting for you to choose windows…");
  auto weak = std::weak_ptr(self_);
  auto session = PortalSession::open(
      bus_, std::move(settings), logger_,
      [weak, attempt](const PortalSession::Outcome& outcome) {
        if (const auto self = weak.lock()) (*self)->sessionOpened(attempt, outcome);
      },
      [weak, attempt] {
        if (const auto self = weak.lock()) (*self)->sessionClosedByDesktop(attempt->session.get());
      });
  attempt->session = std::move(session);
}

void PortalDesktop::sessionOpened(const std::shared_ptr<Attempt>& attempt, const PortalSession::Outcome& outcome) {
  if (attempt_ != attempt) return;  // superseded by a newer choice
  attempt_.reset();
  auto done = std::move(attempt->done);
  auto finish = [&](bool shared, const std::string& message) {
    if (done) done(shared, message);
  };
  using Status = PortalSession::Outcome::Status;

  if (outcome.status == Status::failed && attempt->usedToken) {
    logLine(logger_, "OrvoHost: the desktop refused the windows shared last time (" + outcome.error +
                         "); asking again");
    storeToken(std::nullopt);
    openSession(std::nullopt);
    if (attempt_) attempt_->done = std::move(done);
    return;
  }
  if (outcome.status == Status::failed) {
    logLine(logger_, "OrvoHost: window sharing failed:", outcome.error);
    setStatus("Window sharing failed: " + outcome.error);
    return finish(false, *status_);
  }
  if (outcome.status == Status::cancelled || outcome.streams.empty()) {
    logLine(logger_, "OrvoHost: no windows were chosen (the dialog was dismissed)");
    if (attempt->forInput) consentRefused_ = true;
    if (attempt->usedToken) storeToken(std::nullopt);
    setStatus(session_ ? "Sharing " + windowsText(list_.size()) : "No windows shared");
    return finish(false, "No windows were chosen");
  }

  // Started: the new session replaces the old one, whose windows leave the list.
  storeToken(outcome.restoreToken);
  std::string error;
  std::shared_ptr<pipewire::PipeWireCapturer> capturer;
  const int fd = attempt->session->openPipeWireRemote(error);
  if (fd >= 0) {
    auto weak = std::weak_ptr(self_);
    pipewire::StreamEvents events{
        .sizeChanged =
            [this, weak](std::uint32_t window, int width, int height) {
              main_.async([weak, window, width, height] {
                if (const auto self = weak.lock()) (*self)->streamResized(window, width, height);
              });
            },
        .ended =
            [this, weak](std::uint32_t window, const std::string& reason) {
              main_.async([weak, window, reason] {
                if (const auto self = weak.lock()) (*self)->streamEnded(window, reason);
              });
            },
        .disconnected =
            [this, weak](const std::string& reason) {
              main_.async([weak, reason] {
                if (const auto self = weak.lock()) (*self)->pipeWireLost(reason);
              });
            },
    };
    capturer = pipewire::PipeWireCapturer::connect(fd, std::move(events), logger_, error);
  }
  if (!capturer) {
    logLine(logger_, "OrvoHost: window sharing failed: cannot read the shared windows from PipeWire:", error);
    setStatus("Window sharing failed: " + error);
    return finish(false, *status_);
  }

  std::vector<PortalWindow> windows;
  for (const auto& stream : outcome.streams) {
    PortalWindow window;
    window.windowId = nextWindowId_++;
    window.nodeId = stream.nodeId;
    window.slot = static_cast<int>(windows.size());
    window.title = firstText(stream.properties, {"title", "window_title", "name"});
    window.appName = firstText(stream.properties, {"app_name", "application_name", "app_id"});
    if (window.title.empty()) window.title = "Shared window " + std::to_string(window.slot + 1);
    // Listed once its first picture arrived (with its size): a listed window always has a
    // frame to give.
    if (!capturer->addStream(window.windowId, window.nodeId)) continue;
    windows.push_back(std::move(window));
  }
  session_ = attempt->session;
  reconnects_ = 0;
  capture_->set(capturer);
  const bool input = (session_->devices() & (kDeviceKeyboard | kDevicePointer)) == (kDeviceKeyboard | kDevicePointer);
  injector_.setSink(input ? session_ : nullptr);
  // The first click of a new remote desktop session is often lost unless the pointer has
  // moved in it a little before: move it now, long before any click.
  if (input && !windows.empty()) session_->notifyPointerMotionAbsolute(windows.front().nodeId, 0, 0);
  list_ = std::move(windows);
  std::string titles;
  for (const auto& window : list_) titles += (titles.empty() ? "" : ", ") + escapeForLog(window.title);
  logLine(logger_, "OrvoHost: sharing " + windowsText(list_.size()) + ":", titles);
  if (attempt->forInput) {
    consentRefused_ = !input;
    if (!input) logLine(logger_, "OrvoHost: the desktop did not allow remote input; the shared windows are view only");
  }
  publishWindows();
  finish(true, *status_);
}

void PortalDesktop::sessionClosedByDesktop(const PortalSession* session) {
  if (!session || session != session_.get()) return;
  endSharing("OrvoHost: the desktop ended window sharing", "Window sharing was ended on the desktop", true);
}

void PortalDesktop::endSharing(const std::string& line, const std::string& status, bool forgetSelection) {
  logLine(logger_, line);
  injector_.setSink(nullptr);
  capture_->set(nullptr);
  session_.reset();
  list_.clear();
  publishWindows();
  setStatus(status);
  if (forgetSelection) storeToken(std::nullopt);
}

void PortalDesktop::stopSharing(std::uint32_t windowId) {
  const auto it = std::find_if(list_.begin(), list_.end(), [&](const auto& w) { return w.windowId == windowId; });
  if (it == list_.end()) return;
  logLine(logger_, "OrvoHost: stopped sharing window " + std::to_string(windowId));
  if (const auto capturer = capture_->current()) capturer->removeStream(windowId);
  list_.erase(it);
  if (list_.empty()) return endSharing("OrvoHost: no window is shared any more", "No windows shared", true);
  publishWindows();
}

void PortalDesktop::stopSharingAll() {
  if (attempt_ && attempt_->done) std::exchange(attempt_->done, nullptr)(false, "Sharing stopped");
  attempt_.reset();
  if (!session_) {
    storeToken(std::nullopt);
    return setStatus("No windows shared");
  }
  endSharing("OrvoHost: stopped sharing every window", "No windows shared", true);
}

void PortalDesktop::streamResized(std::uint32_t windowId, int width, int height) {
  for (auto& window : list_) {
    if (window.windowId != windowId) continue;
    if (window.width == width && window.height == height) return;
    window.width = width;
    window.height = height;
    publishWindows();
    return;
  }
}

void PortalDesktop::streamEnded(std::uint32_t windowId, const std::string& reason) {
  const auto it = std::find_if(list_.begin(), list_.end(), [&](const auto& w) { return w.windowId == windowId; });
  if (it == list_.end()) return;
  logLine(logger_, "OrvoHost: shared window " + std::to_string(windowId) + " (" + escapeForLog(it->title) +
                       ") is gone:", reason);
  if (const auto capturer = capture_->current()) capturer->removeStream(windowId);
  list_.erase(it);
  if (list_.empty()) return endSharing("OrvoHost: every shared window is gone", "No windows shared", true);
  publishWindows();
}

void PortalDesktop::pipeWireLost(const std::string& reason) {
  if (!session_) return;
  endSharing("OrvoHost: lost PipeWire (" + reason + "); the shared windows are gone",
             "Window sharing stopped: PipeWire went away", false);
  // PipeWire restarts with the desktop session's services: ask again for the kept
  // selection (no dialog) once it may be back, a few times.
  if (!settings_.string(kRestoreTokenKey) || reconnects_ >= kMaxReconnects) return;
  ++reconnects_;
  main_.asyncAfter(kReconnectDelaySeconds * reconnects_, [weak = std::weak_ptr(self_)] {
    const auto self = weak.lock();
    if (!self || (*self)->session_ || (*self)->attempt_) return;
    if (const auto token = (*self)->settings_.string(kRestoreTokenKey)) (*self)->openSession(token);
  });
}

void PortalDesktop::publishWindows() {
  windows_.publish(list_);
  std::vector<SharedWindow> shared;
  for (const auto& window : list_) {
    shared.push_back({window.windowId, window.title, window.appName, window.width, window.height});
  }
  shared_.set(std::move(shared));
  if (!list_.empty()) setStatus("Sharing " + windowsText(list_.size()));
}

void PortalDesktop::setStatus(const std::string& text) {
  if (*status_ != text) status_.set(text);
}

void PortalDesktop::storeToken(const std::optional<std::string>& token) {
  if (token && !token->empty()) {
    settings_.setValue(kRestoreTokenKey, *token);
  } else if (settings_.value(kRestoreTokenKey)) {
    settings_.removeValue(kRestoreTokenKey);
  }
}

}  // namespace orvo::platform::portal
