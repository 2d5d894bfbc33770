#include "platform/linux/wayland/portal/PortalSession.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace orvo::platform::portal {
namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";
// Method calls of the portal answer at once (the person's answer comes as a signal), but
// the first call may wait for the portal to be started by the bus.
constexpr std::uint64_t kCallTimeoutUsec = 25'000'000;

// Both GetAll calls of a probe. It keeps itself alive until the second answer came.
struct ProbeState {
  struct Call {
    ProbeState* state = nullptr;
    bool screenCast = false;
    dbus::SlotPtr slot;
  };
  std::function<void(const PortalInfo&)> done;
  PortalInfo info;
  int waiting = 2;
  Call calls[2];
  std::shared_ptr<ProbeState> self;
};

int onGetAll(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& call = *static_cast<ProbeState::Call*>(userdata);
  ProbeState& state = *call.state;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    if (call.screenCast) {
      state.info.error = dbus::isNoOwnerError(sd_bus_message_get_error(reply)) ? "no desktop portal on the session bus"
                                                                             : dbus::describeReplyError(reply);
    }
  } else {
    PortalResults results;
    if (readResults(reply, results) >= 0) {
      const auto version = optionValue<std::uint32_t>(results.values, "version").value_or(0);
      if (call.screenCast) {
        state.info.screenCastVersion = version;
        state.info.sourceTypes = optionValue<std::uint32_t>(results.values, "AvailableSourceTypes").value_or(0);
        state.info.cursorModes = optionValue<std::uint32_t>(results.values, "AvailableCursorModes").value_or(0);
      } else {
        state.info.remoteDesktopVersion = version;
        state.info.deviceTypes = optionValue<std::uint32_t>(results.values, "AvailableDeviceTypes").value_or(0);
      }
    }
  }
  if (--state.waiting > 0) return 0;
  state.info.present = state.info.screenCastVersion > 0;
  if (!state.info.present && state.info.error.empty()) state.info.error = "the desktop portal offers no screen cast";
  // Freed on return: the slots are not destroyed from inside their own callback.
  const auto keep = std::move(state.self);
  const auto done = std::move(state.done);
  done(state.info);
  return 0;
}

}  // namespace

void PortalSession::probe(const std::shared_ptr<dbus::SdBusConnection>& bus,
                          std::function<void(const PortalInfo&)> done) {
  auto state = std::make_shared<ProbeState>();
  state->done = std::move(done);
  for (int i = 0; i < 2; ++i) {
    auto& call = state->calls[i];
    call.state = state.get();
    call.screenCast = i == 0;
    sd_bus_slot* raw = nullptr;
    const int r = sd_bus_call_method_async(bus->get(), &raw, kPortal, kPortalPath, "org.freedesktop.DBus.Properties",
                                           "GetAll", onGetAll, &call, "s", call.screenCast ? kScreenCast : kRemoteDesktop);
    if (r < 0) {
      PortalInfo info;
      info.error = std::string("cannot call the desktop portal: ") + std::strerror(-r);
      state->done(info);
      return;
    }
    call.slot.reset(raw);
  }
  state->self = state;
  bus->wake();
}

std::shared_ptr<PortalSession> PortalSession::open(std::shared_ptr<dbus::SdBusConnection> bus, Settings settings,
                                                   Logger& logger, Completion done, std::function<void()> closed) {
  auto session = std::make_shared<PortalSession>(Key(), std::move(bus), std::move(settings), logger, std::move(done),
                                                 std::move(closed));
  session->createSession();
  return session;
}

PortalSession::PortalSession(Key, std::shared_ptr<dbus::SdBusConnection> bus, Settings settings, Logger& logger,
                             Completion done, std::function<void()> closed)
    : bus_(std::move(bus)), settings_(std::move(settings)), logger_(logger), done_(std::move(done)),
      closed_(std::move(closed)) {
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(bus_->get(), &unique) >= 0 && unique) uniqueName_ = unique;
}

PortalSession::~PortalSession() {
  sd_bus* bus = bus_->get();
  // A dialog still open goes with the session.
  if (!requestPath_.empty() && !finished_) {
    sd_bus_call_method_async(bus, nullptr, kPortal, requestPath_.c_str(), kRequest, "Close", nullptr, nullptr, "");
  }
  if (!session_.empty()) {
    sd_bus_call_method_async(bus, nullptr, kPortal, session_.c_str(), kSession, "Close", nullptr, nullptr, "");
  }
  bus_->wake();
}

std::string PortalSession::nextToken() {
  // Unique among the requests and sessions of this process's bus connection.
  static std::atomic<std::uint32_t> counter{0};
  return "orvo" + std::to_string(counter.fetch_add(1) + 1);
}

bool PortalSession::watchResponse(const std::string& path) {
  sd_bus_slot* raw = nullptr;
  if (sd_bus_match_signal(bus_->get(), &raw, kPortal, path.c_str(), kRequest, "Response", onResponse, this) < 0) {
    return false;
  }
  responseSlot_.reset(raw);
  requestPath_ = path;
  return true;
}

void PortalSession::request(const char* interface, const char* method, bool withSession, const char* parentWindow,
                            Options options, ResponseHandler onResponse) {
  const std::string token = nextToken();
  options["handle_token"] = token;
  // Subscribed before the call, so that a quick answer is not missed.
  if (!watchResponse(requestPath(uniqueName_, token))) return fail(std::string("cannot watch the portal's answer to ") + method);
  pending_ = std::move(onResponse);
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus_->get(), &raw, kPortal, kPortalPath, interface, method);
  dbus::MessagePtr message(raw);
  if (r >= 0 && withSession) r = sd_bus_message_append(raw, "o", session_.c_str());
  if (r >= 0 && parentWindow) r = sd_bus_message_append(raw, "s", parentWindow);
  if (r >= 0) r = appendOptions(raw, options);
  sd_bus_slot* slot = nullptr;
  if (r >= 0) r = sd_bus_call_async(bus_->get(), &slot, raw, onMethodReply, this, kCallTimeoutUsec);
  if (r < 0) return fail(std::string("cannot call ") + method + ": " + std::strerror(-r));
  callSlot_.reset(slot);
  bus_->wake();
}

int PortalSession::onMethodReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<PortalSession*>(userdata);
  const auto keep = self.shared_from_this();
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    self.fail(dbus::isNoOwnerError(error) ? "no desktop portal on the session bus" : dbus::describeReplyError(reply));
    return 0;
  }
  // Portals older than the handle_token rule may answer on another path: follow it.
  const char* path = nullptr;
  if (sd_bus_message_read(reply, "o", &path) >= 0 && path && self.requestPath_ != path) {
    if (!self.watchResponse(path)) self.fail("cannot watch the portal's answer");
  }
  return 0;
}

int PortalSession::onResponse(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<PortalSession*>(userdata);
  const auto keep = self.shared_from_this();
  std::uint32_t response = 2;
  PortalResults results;
  if (sd_bus_message_read(message, "u", &response) < 0 || readResults(message, results) < 0) {
    self.fail("the desktop portal's answer cannot be read");
    return 0;
  }
  self.requestPath_.clear();
  auto handler = std::move(self.pending_);
  if (handler) handler(response, results);
  return 0;
}

int PortalSession::onClosed(sd_bus_message*, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<PortalSession*>(userdata);
  const auto keep = self.shared_from_this();
  self.session_.clear();  // closed already: nothing to close when we go
  self.started_ = false;
  self.devices_ = 0;
  if (!self.finished_) {
    self.fail("the desktop closed the session");
  } else if (self.closed_) {
    self.closed_();
  }
  return 0;
}

void PortalSession::createSession() {
  if (uniqueName_.empty()) return fail("no unique name on the session bus");
  const std::string token = nextToken();
  const char* interface = settings_.kind == Kind::remoteDesktop ? kRemoteDesktop : kScreenCast;
  request(interface, "CreateSession", false, nullptr, {{"session_handle_token", token}},
          [this](std::uint32_t response, PortalResults& results) {
            const auto handle = optionValue<std::string>(results.values, "session_handle");
            if (response != 0 || !handle) {
              return finish({.status = response == 1 ? Outcome::Status::cancelled : Outcome::Status::failed,
                             .error = "the desktop portal refused to create a session"});
            }
            session_ = *handle;
            sd_bus_slot* raw = nullptr;
            if (sd_bus_match_signal(bus_->get(), &raw, kPortal, session_.c_str(), kSession, "Closed", onClosed, this) >=
                0) {
              closedSlot_.reset(raw);
            }
            if (settings_.kind == Kind::remoteDesktop) return selectDevices();
            selectSources();
          });
}

void PortalSession::selectDevices() {
  Options options{{"types", kDeviceKeyboard | kDevicePointer}};
  if (settings_.remoteDesktopVersion >= 2) {
    options["persist_mode"] = std::uint32_t{2};
    if (settings_.restoreToken) options["restore_token"] = *settings_.restoreToken;
  }
  request(kRemoteDesktop, "SelectDevices", true, nullptr, std::move(options),
          [this](std::uint32_t response, PortalResults&) {
            if (response != 0) {
              return finish({.status = response == 1 ? Outcome::Status::cancelled : Outcome::Status::failed,
                             .error = "the desktop portal refused the input devices"});
            }
            selectSources();
          });
}

void PortalSession::selectSources() {
  Options options{{"types", kSourceWindow}, {"multiple", true}};
  if (settings_.hideCursor) options["cursor_mode"] = kCursorHidden;
  // The portal refuses persistence in SelectSources of a RemoteDesktop session ("Remote
  // desktop sessions cannot persist"); from version 2 SelectDevices keeps the whole session.
  if (settings_.kind == Kind::screenCast) {
    options["persist_mode"] = std::uint32_t{2};
    if (settings_.restoreToken) options["restore_token"] = *settings_.restoreToken;
  }
  request(kScreenCast, "SelectSources", true, nullptr, std::move(options),
          [this](std::uint32_t response, PortalResults&) {
            if (response != 0) {
              return finish({.status = response == 1 ? Outcome::Status::cancelled : Outcome::Status::failed,
                             .error = "the desktop portal refused the window selection"});
            }
            start();
          });
}

void PortalSession::start() {
  const char* interface = settings_.kind == Kind::remoteDesktop ? kRemoteDesktop : kScreenCast;
  request(interface, "Start", true, "", {}, [this](std::uint32_t response, PortalResults& results) {
    if (response != 0) {
      return finish({.status = response == 1 ? Outcome::Status::cancelled : Outcome::Status::failed,
                     .error = "the desktop portal could not start the session"});
    }
    Outcome outcome{.status = Outcome::Status::started};
    outcome.streams = std::move(results.streams);
    outcome.restoreToken = optionValue<std::string>(results.values, "restore_token");
    outcome.devices = optionValue<std::uint32_t>(results.values, "devices").value_or(0);
    started_ = true;
    devices_ = outcome.devices;
    finish(std::move(outcome));
  });
}

void PortalSession::fail(const std::string& error) { finish({.status = Outcome::Status::failed, .error = error}); }

void PortalSession::finish(Outcome outcome) {
  responseSlot_.reset();
  pending_ = nullptr;
  if (finished_) return;
  finished_ = true;
  if (outcome.status != Outcome::Status::started) {
    started_ = false;
    devices_ = 0;
  }
  auto done = std::move(done_);
  if (done) done(outcome);
}

int PortalSession::openPipeWireRemote(std::string& error) {
  if (!started_) {
    error = "the session has not started";
    return -1;
  }
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus_->get(), &raw, kPortal, kPortalPath, kScreenCast, "OpenPipeWireRemote");
  dbus::MessagePtr message(raw);
  if (r >= 0) r = sd_bus_message_append(raw, "o", session_.c_str());
  if (r >= 0) r = appendOptions(raw, {});
  dbus::BusError busError;
  sd_bus_message* rawReply = nullptr;
  if (r >= 0) r = sd_bus_call(bus_->get(), raw, kCallTimeoutUsec, busError.get(), &rawReply);
  dbus::MessagePtr reply(rawReply);
  int fd = -1;
  if (r >= 0) r = sd_bus_message_read(rawReply, "h", &fd);
  if (r < 0) {
    error = "OpenPipeWireRemote failed: " + busError.describe(r);
    return -1;
  }
  // The descriptor belongs to the reply: keep a copy of our own.
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) error = std::string("cannot keep the PipeWire descriptor: ") + std::strerror(errno);
  return copy;
}

void PortalSession::notify(const char* method, const std::function<int(sd_bus_message*)>& append) {
  if (!started_ || session_.empty()) return;
  if (input_.size() >= maxQueuedInput) {
    if (!inputOverflowLogged_) logLine(logger_, "OrvoHost: input arrives faster than the desktop takes it; dropped");
    inputOverflowLogged_ = true;
    return;
  }
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus_->get(), &raw, kPortal, kPortalPath, kRemoteDesktop, method);
  dbus::MessagePtr message(raw);
  if (r >= 0) r = sd_bus_message_append(raw, "o", session_.c_str());
  if (r >= 0) r = appendOptions(raw, {});
  if (r >= 0) r = append(raw);
  if (r < 0) {
    logLine(logger_, std::string("OrvoHost: portal input ") + method + " not sent:", std::strerror(-r));
    return;
  }
  input_.push_back(std::move(message));
  sendNextInput();
}

void PortalSession::sendNextInput() {
  while (!inputCall_ && !input_.empty()) {
    const dbus::MessagePtr message = std::move(input_.front());
    input_.pop_front();
    sd_bus_slot* slot = nullptr;
    const int r = sd_bus_call_async(bus_->get(), &slot, message.get(), onInputReply, this, kCallTimeoutUsec);
    if (r < 0) {
      logLine(logger_, "OrvoHost: portal input not sent:", std::strerror(-r));
      continue;
    }
    inputCall_.reset(slot);
    bus_->wake();
  }
  if (input_.empty()) inputOverflowLogged_ = false;
}

int PortalSession::onInputReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<PortalSession*>(userdata);
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    if (!self.inputFailureLogged_) {
      logLine(self.logger_, "OrvoHost: the desktop refused remote input: " + dbus::describeReplyError(reply));
    }
    self.inputFailureLogged_ = true;
  } else {
    self.inputFailureLogged_ = false;
  }
  self.inputCall_.reset();
  self.sendNextInput();
  return 0;
}

void PortalSession::notifyPointerMotionAbsolute(std::uint32_t stream, double x, double y) {
  notify("NotifyPointerMotionAbsolute", [&](sd_bus_message* m) { return sd_bus_message_append(m, "udd", stream, x, y); });
}

void PortalSession::notifyPointerButton(std::int32_t button, bool pressed) {
  notify("NotifyPointerButton",
         [&](sd_bus_message* m) { return sd_bus_message_append(m, "iu", button, std::uint32_t{pressed ? 1u : 0u}); });
}

void PortalSession::notifyPointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) {
  notify("NotifyPointerAxisDiscrete", [&](sd_bus_message* m) { return sd_bus_message_append(m, "ui", axis, steps); });
}

void PortalSession::notifyKeyboardKeysym(std::uint32_t keysym, bool pressed) {
  notify("NotifyKeyboardKeysym", [&](sd_bus_message* m) {
    return sd_bus_message_append(m, "iu", static_cast<std::int32_t>(keysym), std::uint32_t{pressed ? 1u : 0u});
  });
}

void PortalSession::notifyKeyboardKeycode(std::int32_t keycode, bool pressed) {
  notify("NotifyKeyboardKeycode", [&](sd_bus_message* m) {
    return sd_bus_message_append(m, "iu", keycode, std::uint32_t{pressed ? 1u : 0u});
  });
}

}  // namespace orvo::platform::portal
