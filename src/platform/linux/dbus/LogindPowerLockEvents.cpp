#include "platform/linux/dbus/LogindPowerLockEvents.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace orvo::platform::dbus {
namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kUser = "org.freedesktop.login1.User";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kScreenSaver = "org.freedesktop.ScreenSaver";
constexpr const char* kScreenSaverPath = "/org/freedesktop/ScreenSaver";
constexpr double kMaxRetryDelay = 30.0;

using Reading = LogindPowerLockEvents::Reading;

Reading readingOf(bool on) { return on ? Reading::on : Reading::off; }

// The bus's own announcement that `name` changed hands.
std::string ownerChangedRule(const char* name) {
  return std::string("type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                     "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") +
         name + "'";
}

// A property that this logind does not have: its state cannot be read, only heard of.
bool isNotReadable(const sd_bus_error* error) {
  return sd_bus_error_has_names(error, SD_BUS_ERROR_UNKNOWN_PROPERTY, SD_BUS_ERROR_UNKNOWN_INTERFACE,
                                SD_BUS_ERROR_UNKNOWN_METHOD, SD_BUS_ERROR_INVALID_ARGS);
}

// Outcome of one manager call that answers with an object path.
struct PathReply {
  std::optional<std::string> path;
  std::string error;
  bool noOwner = false;
};

template <class... Args>
PathReply callForPath(sd_bus* bus, const char* method, const char* types, Args... args) {
  BusError error;
  sd_bus_message* raw = nullptr;
  const int result = sd_bus_call_method(bus, kLogind, kLogindPath, kManager, method, error.get(), &raw, types, args...);
  MessagePtr reply(raw);
  PathReply out;
  if (result < 0) {
    out.error = std::string(method) + " failed: " + error.describe(result);
    out.noOwner = isNoOwnerError(error.get());
    return out;
  }
  const char* path = nullptr;
  if (sd_bus_message_read(reply.get(), "o", &path) < 0 || !path) {
    out.error = std::string(method) + " gave no object path";
    return out;
  }
  out.path = path;
  return out;
}

// A boolean property read with a blocking call: its value, or nothing with the error.
std::optional<bool> readBoolean(sd_bus* bus, const char* path, const char* interface, const char* name,
                                BusError& error) {
  int value = 0;
  if (sd_bus_get_property_trivial(bus, kLogind, path, interface, name, error.get(), 'b', &value) < 0) return std::nullopt;
  return value != 0;
}

// The boolean in the reply of an asynchronous Properties.Get.
std::optional<bool> booleanOfGetReply(sd_bus_message* reply) {
  int value = 0;
  if (sd_bus_message_enter_container(reply, 'v', "b") < 0 || sd_bus_message_read(reply, "b", &value) < 0) {
    return std::nullopt;
  }
  return value != 0;
}

}  // namespace

LogindPowerLockEvents::LogindPowerLockEvents(std::shared_ptr<SdBusConnection> systemBus,
                                             std::shared_ptr<SdBusConnection> sessionBus, Logger& logger)
    : systemBus_(std::move(systemBus)), sessionBus_(std::move(sessionBus)), logger_(logger) {}

LogindPowerLockEvents::~LogindPowerLockEvents() = default;

Subscription LogindPowerLockEvents::subscribe(Handler handler) {
  handler_ = std::move(handler);
  subscriptionToken_ = std::make_shared<int>(0);
  return Subscription([this, weak = std::weak_ptr<int>(subscriptionToken_)] {
    if (weak.lock()) handler_ = nullptr;  // still this object's latest subscription
  });
}

std::optional<std::string> LogindPowerLockEvents::findSession(std::string& why, bool& logindMissing) {
  sd_bus* bus = systemBus_->get();
  std::string tried;
  auto note = [&](const PathReply& reply) {
    logindMissing = logindMissing || reply.noOwner;
    if (!tried.empty()) tried += "; ";
    tried += reply.error;
  };
  if (const char* id = std::getenv("XDG_SESSION_ID"); id && *id) {
    auto reply = callForPath(bus, "GetSession", "s", id);
    if (reply.path) return reply.path;
    note(reply);
    if (logindMissing) return std::nullopt;
  }
  {
    auto reply = callForPath(bus, "GetSessionByPID", "u", static_cast<std::uint32_t>(::getpid()));
    if (reply.path) return reply.path;
    note(reply);
    if (logindMissing) return std::nullopt;
  }
  // A user service has no session of its own: watch the user's graphical session.
  auto user = callForPath(bus, "GetUser", "u", static_cast<std::uint32_t>(::getuid()));
  if (!user.path) {
    note(user);
    why = tried;
    return std::nullopt;
  }
  BusError error;
  sd_bus_message* raw = nullptr;
  const int result = sd_bus_get_property(bus, kLogind, user.path->c_str(), kUser, "Display", error.get(), &raw, "(so)");
  MessagePtr reply(raw);
  const char* id = nullptr;
  const char* path = nullptr;
  if (result < 0) {
    tried += "; the user's Display cannot be read: " + error.describe(result);
  } else if (sd_bus_message_read(reply.get(), "(so)", &id, &path) < 0 || !path || std::strcmp(path, "/") == 0) {
    tried += "; the user has no graphical session";
  } else {
    return std::string(path);
  }
  why = tried;
  return std::nullopt;
}

void LogindPowerLockEvents::start(const std::string& systemBusError) {
  if (!systemBus_) {
    logLine(logger_, "OrvoHost: sleep and lock events are unavailable: no system bus (" + systemBusError + ")");
  } else {
    std::string why;
    bool logindMissing = false;
    sessionPath_ = findSession(why, logindMissing);
    if (logindMissing) {
      logLine(logger_, "OrvoHost: sleep and lock events are unavailable: logind is not running on the system bus");
    } else {
      sleep_ = Reading::unknown;
      if (!sessionPath_) {
        logLine(logger_, "OrvoHost: screen lock events from logind are unavailable: no logind session (" + why + ")");
      } else {
        sessionLock_ = Reading::unknown;
        logLine(logger_, "OrvoHost: watching logind session " + *sessionPath_ + " for sleep, lock and unlock");
      }
      watchLogind();
      readLogindNow();
      systemWatch_ = systemBus_->watch([this](bool connected) { systemBusChanged(connected); });
    }
    systemBus_->wake();
  }
  if (sessionBus_) {
    watchScreenSaver();
    readScreenSaverNow();
    sessionWatch_ = sessionBus_->watch([this](bool connected) { sessionBusChanged(connected); });
    sessionBus_->wake();
  }
  update();  // a screen locked before the host started counts
}

void LogindPowerLockEvents::watchLogind() {
  sd_bus* bus = systemBus_->get();
  // Installed without waiting for the bus's answer; they are in place before any later
  // call is answered, the bus taking messages in order.
  sd_bus_slot* slot = nullptr;
  if (sd_bus_match_signal_async(bus, &slot, kLogind, kLogindPath, kManager, "PrepareForSleep", onPrepareForSleep,
                                nullptr, this) >= 0) {
    sleepMatch_.reset(slot);
  }
  if (sd_bus_add_match_async(bus, &slot, ownerChangedRule(kLogind).c_str(), onLogindOwnerChanged, nullptr, this) >= 0) {
    logindOwnerMatch_.reset(slot);
  }
  if (!sessionPath_) return;
  const char* path = sessionPath_->c_str();
  if (sd_bus_match_signal_async(bus, &slot, kLogind, path, kSession, "Lock", onLockSignal, nullptr, this) >= 0) {
    lockMatch_.reset(slot);
  }
  if (sd_bus_match_signal_async(bus, &slot, kLogind, path, kSession, "Unlock", onLockSignal, nullptr, this) >= 0) {
    unlockMatch_.reset(slot);
  }
  if (sd_bus_match_signal_async(bus, &slot, kLogind, path, kProperties, "PropertiesChanged", onPropertiesChanged,
                                nullptr, this) >= 0) {
    propertiesMatch_.reset(slot);
  }
}

void LogindPowerLockEvents::readLogindNow() {
  sd_bus* bus = systemBus_->get();
  bool retry = false;
  BusError error;
  if (const auto asleep = readBoolean(bus, kLogindPath, kManager, "PreparingForSleep", error)) {
    sleep_ = readingOf(*asleep);
  } else if (isNotReadable(error.get())) {
    sleep_ = Reading::off;  // heard of only through PrepareForSleep
  } else {
    retry = true;
  }
  if (sessionPath_) {
    BusError hintError;
    if (const auto locked = readBoolean(bus, sessionPath_->c_str(), kSession, "LockedHint", hintError)) {
      sessionLock_ = readingOf(*locked);
    } else if (isNotReadable(hintError.get())) {
      sessionLock_ = Reading::off;  // heard of only through Lock and Unlock
    } else {
      retry = true;
    }
  }
  if (retry) logindUnheard("logind did not answer");
}

void LogindPowerLockEvents::readLogindLater() {
  sd_bus* bus = systemBus_->get();
  sd_bus_slot* slot = nullptr;
  if (sd_bus_call_method_async(bus, &slot, kLogind, kLogindPath, kProperties, "Get", onSleepStateRead, this, "ss",
                               kManager, "PreparingForSleep") >= 0) {
    sleepStateCall_.reset(slot);
  }
  if (sessionPath_ && sd_bus_call_method_async(bus, &slot, kLogind, sessionPath_->c_str(), kProperties, "Get",
                                               onLockedHintRead, this, "ss", kSession, "LockedHint") >= 0) {
    lockedHintCall_.reset(slot);
  }
  systemBus_->wake();
}

void LogindPowerLockEvents::retryLogindLater() {
  if (retryTimer_) return;  // one retry at a time
  retryTimer_.emplace(systemBus_->context());
  retryTimer_->expires_after(std::chrono::milliseconds(static_cast<std::int64_t>(retryDelay_ * 1000)));
  retryDelay_ = std::min(retryDelay_ * 2, kMaxRetryDelay);
  retryTimer_->async_wait([this, alive = std::weak_ptr(alive_)](const std::error_code& error) {
    if (error || alive.expired()) return;
    retryTimer_.reset();
    if (systemBus_->isConnected()) readLogindLater();
  });
}

void LogindPowerLockEvents::logindUnheard(const std::string& why) {
  if (!unheardLogged_) {
    logLine(logger_, "OrvoHost: " + why + ": the screen counts as locked until logind answers again");
  }
  unheardLogged_ = true;
  if (systemBus_->isConnected()) retryLogindLater();
}

void LogindPowerLockEvents::systemBusChanged(bool connected) {
  // Whatever was made on the old connection is dead.
  sleepMatch_.reset();
  lockMatch_.reset();
  unlockMatch_.reset();
  propertiesMatch_.reset();
  logindOwnerMatch_.reset();
  sleepStateCall_.reset();
  lockedHintCall_.reset();
  if (!connected) {
    if (sleep_ != Reading::absent) sleep_ = Reading::unknown;
    if (sessionLock_ != Reading::absent) sessionLock_ = Reading::unknown;
    if (!unheardLogged_) logLine(logger_, "OrvoHost: the screen counts as locked until logind answers again");
    unheardLogged_ = true;
    update();
    return;
  }
  watchLogind();
  readLogindLater();
}

int LogindPowerLockEvents::onSleepStateRead(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<LogindPowerLockEvents*>(userdata);
  self.sleepStateCall_.reset();
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    if (isNotReadable(error)) {
      self.set(self.sleep_, Reading::off);
    } else if (!isNoOwnerError(error)) {
      self.logindUnheard("logind did not answer (" + describeReplyError(reply) + ")");
    }  // nobody owns logind's name: its return is announced
    return 0;
  }
  if (const auto asleep = booleanOfGetReply(reply)) self.set(self.sleep_, readingOf(*asleep));
  return 0;
}

int LogindPowerLockEvents::onLockedHintRead(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<LogindPowerLockEvents*>(userdata);
  self.lockedHintCall_.reset();
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    if (isNotReadable(error)) {
      self.set(self.sessionLock_, Reading::off);
    } else if (!isNoOwnerError(error)) {
      self.logindUnheard("logind did not answer (" + describeReplyError(reply) + ")");
    }
    return 0;
  }
  if (const auto locked = booleanOfGetReply(reply)) self.set(self.sessionLock_, readingOf(*locked));
  return 0;
}

int LogindPowerLockEvents::onLogindOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<LogindPowerLockEvents*>(userdata);
  const char *name = nullptr, *before = nullptr, *after = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &before, &after) < 0 || !after) return 0;
  if (*after) {
    logLine(self.logger_, "OrvoHost: logind is on the system bus again; reading the lock and sleep states");
    self.readLogindLater();
    return 0;
  }
  if (self.sleep_ != Reading::absent) self.sleep_ = Reading::unknown;
  if (self.sessionLock_ != Reading::absent) self.sessionLock_ = Reading::unknown;
  logLine(self.logger_, "OrvoHost: logind left the system bus: the screen counts as locked until it is back");
  self.unheardLogged_ = true;
  self.update();
  return 0;
}

void LogindPowerLockEvents::watchScreenSaver() {
  sd_bus* bus = sessionBus_->get();
  sd_bus_slot* slot = nullptr;
  if (sd_bus_match_signal_async(bus, &slot, kScreenSaver, nullptr, kScreenSaver, "ActiveChanged",
                                onScreenSaverActiveChanged, nullptr, this) >= 0) {
    screenSaverMatch_.reset(slot);
  }
  if (sd_bus_add_match_async(bus, &slot, ownerChangedRule(kScreenSaver).c_str(), onScreenSaverOwnerChanged, nullptr,
                             this) >= 0) {
    screenSaverOwnerMatch_.reset(slot);
  }
}

void LogindPowerLockEvents::readScreenSaverNow() {
  // A desktop without the service, or whose service cannot say (GNOME's answers Inhibit
  // only), has no screen saver source: logind's LockedHint speaks for its lock.
  BusError error;
  sd_bus_message* raw = nullptr;
  const int result = sd_bus_call_method(sessionBus_->get(), kScreenSaver, kScreenSaverPath, kScreenSaver, "GetActive",
                                        error.get(), &raw, "");
  MessagePtr reply(raw);
  int active = 0;
  if (result >= 0 && sd_bus_message_read(reply.get(), "b", &active) >= 0) screenSaver_ = readingOf(active != 0);
}

void LogindPowerLockEvents::readScreenSaverLater() {
  sd_bus_slot* slot = nullptr;
  if (sd_bus_call_method_async(sessionBus_->get(), &slot, kScreenSaver, kScreenSaverPath, kScreenSaver, "GetActive",
                               onScreenSaverActiveRead, this, "") >= 0) {
    screenSaverCall_.reset(slot);
  }
  sessionBus_->wake();
}

int LogindPowerLockEvents::onScreenSaverActiveRead(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<LogindPowerLockEvents*>(userdata);
  self.screenSaverCall_.reset();
  int active = 0;
  if (sd_bus_message_get_error(reply) || sd_bus_message_read(reply, "b", &active) < 0) {
    self.set(self.screenSaver_, Reading::absent);
  } else {
    self.set(self.screenSaver_, readingOf(active != 0));
  }
  return 0;
}

int LogindPowerLockEvents::onScreenSaverOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<LogindPowerLockEvents*>(userdata);
  const char *name = nullptr, *before = nullptr, *after = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &before, &after) < 0 || !after) return 0;
  // A screen saver that quits takes its lock with it; a new one is asked.
  if (*after) {
    self.readScreenSaverLater();
  } else {
    self.set(self.screenSaver_, Reading::absent);
  }
  return 0;
}

void LogindPowerLockEvents::sessionBusChanged(bool connected) {
  screenSaverMatch_.reset();
  screenSaverOwnerMatch_.reset();
  screenSaverCall_.reset();
  if (!connected) {
    if (screenSaver_ != Reading::absent) {
      logLine(logger_, "OrvoHost: the screen counts as locked until the screen saver service answers again");
      set(screenSaver_, Reading::unknown);
    }
    return;
  }
  watchScreenSaver();
  readScreenSaverLater();
}

int LogindPowerLockEvents::onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<LogindPowerLockEvents*>(userdata);
  int start = 0;
  if (sd_bus_message_read(message, "b", &start) >= 0) self.set(self.sleep_, readingOf(start != 0));
  return 0;
}

int LogindPowerLockEvents::onLockSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<LogindPowerLockEvents*>(userdata);
  self.set(self.sessionLock_, readingOf(sd_bus_message_is_signal(message, kSession, "Lock") > 0));
  return 0;
}

int LogindPowerLockEvents::onPropertiesChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  const char* interface = nullptr;
  if (sd_bus_message_read(message, "s", &interface) < 0 || std::strcmp(interface, kSession) != 0) return 0;
  if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) return 0;
  std::optional<bool> lockedHint;
  while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
    const char* name = nullptr;
    if (sd_bus_message_read(message, "s", &name) < 0) return 0;
    if (std::strcmp(name, "LockedHint") == 0) {
      int value = 0;
      if (sd_bus_message_read(message, "v", "b", &value) < 0) return 0;
      lockedHint = value != 0;
    } else if (sd_bus_message_skip(message, "v") < 0) {
      return 0;
    }
    if (sd_bus_message_exit_container(message) < 0) return 0;
  }
  auto& self = *static_cast<LogindPowerLockEvents*>(userdata);
  if (lockedHint) self.set(self.sessionLock_, readingOf(*lockedHint));
  return 0;
}

int LogindPowerLockEvents::onScreenSaverActiveChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<LogindPowerLockEvents*>(userdata);
  int active = 0;
  if (sd_bus_message_read(message, "b", &active) >= 0) self.set(self.screenSaver_, readingOf(active != 0));
  return 0;
}

void LogindPowerLockEvents::set(Reading& source, Reading value) {
  source = value;
  if (&source != &screenSaver_ && sleep_ != Reading::unknown && sessionLock_ != Reading::unknown && unheardLogged_) {
    // Every logind source is known again.
    unheardLogged_ = false;
    retryDelay_ = 0.5;
    retryTimer_.reset();
    logLine(logger_, std::string("OrvoHost: logind answered: the session is ") +
                         (sessionLock_ == Reading::on ? "locked" : sessionLock_ == Reading::off ? "unlocked" : "not watched") +
                         ", the machine is " + (sleep_ == Reading::on ? "going to sleep" : "awake"));
  }
  update();
}

void LogindPowerLockEvents::update() {
  const bool asleep = sleep_ == Reading::on;
  if (asleep != reportedAsleep_) {
    reportedAsleep_ = asleep;
    deliver(asleep ? PowerLockEvent::willSleep : PowerLockEvent::didWake);
  }
  auto holds = [](Reading reading) { return reading == Reading::on || reading == Reading::unknown; };
  const bool locked = holds(sessionLock_) || holds(screenSaver_) || sleep_ == Reading::unknown;
  if (reportedLocked_ == locked) return;
  const bool first = !reportedLocked_.has_value();
  reportedLocked_ = locked;
  if (first && !locked) return;  // the state at start: nothing happened
  deliver(locked ? PowerLockEvent::locked : PowerLockEvent::unlocked);
}

void LogindPowerLockEvents::deliver(PowerLockEvent event) {
  if (auto handler = handler_) handler(event);
}

}  // namespace orvo::platform::dbus
