#include "platform/linux/dbus/LogindPowerLockEvents.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace orvo::platform::dbus {
namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kUser = "org.freedesktop.login1.User";
constexpr const char* kScreenSaver = "org.freedesktop.ScreenSaver";

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
    sd_bus* bus = systemBus_->get();
    if (logindMissing) {
      logLine(logger_, "OrvoHost: sleep and lock events are unavailable: logind is not running on the system bus");
    } else {
      sd_bus_slot* slot = nullptr;
      if (sd_bus_match_signal(bus, &slot, kLogind, kLogindPath, kManager, "PrepareForSleep", onPrepareForSleep, this) >=
          0) {
        sleepMatch_.reset(slot);
      }
      if (!sessionPath_) {
        logLine(logger_, "OrvoHost: screen lock events from logind are unavailable: no logind session (" + why + ")");
      } else {
        const char* path = sessionPath_->c_str();
        if (sd_bus_match_signal(bus, &slot, kLogind, path, kSession, "Lock", onLockSignal, this) >= 0) {
          lockMatch_.reset(slot);
        }
        if (sd_bus_match_signal(bus, &slot, kLogind, path, kSession, "Unlock", onLockSignal, this) >= 0) {
          unlockMatch_.reset(slot);
        }
        if (sd_bus_match_signal(bus, &slot, kLogind, path, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                onPropertiesChanged, this) >= 0) {
          propertiesMatch_.reset(slot);
        }
        logLine(logger_, "OrvoHost: watching logind session " + *sessionPath_ + " for sleep, lock and unlock");
        BusError error;
        int lockedHint = 0;
        if (sd_bus_get_property_trivial(bus, kLogind, path, kSession, "LockedHint", error.get(), 'b', &lockedHint) >=
            0) {
          reportLocked(lockedHint != 0);  // a screen locked before the host started counts
        }
      }
      systemBus_->wake();
    }
  }
  if (sessionBus_) {
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal(sessionBus_->get(), &slot, kScreenSaver, nullptr, kScreenSaver, "ActiveChanged",
                            onScreenSaverActiveChanged, this) >= 0) {
      screenSaverMatch_.reset(slot);
    }
    sessionBus_->wake();
  }
}

int LogindPowerLockEvents::onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
  int start = 0;
  if (sd_bus_message_read(message, "b", &start) >= 0) static_cast<LogindPowerLockEvents*>(userdata)->reportSleep(start);
  return 0;
}

int LogindPowerLockEvents::onLockSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
  static_cast<LogindPowerLockEvents*>(userdata)->reportLocked(sd_bus_message_is_signal(message, kSession, "Lock") > 0);
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
  if (lockedHint) static_cast<LogindPowerLockEvents*>(userdata)->reportLocked(*lockedHint);
  return 0;
}

int LogindPowerLockEvents::onScreenSaverActiveChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  int active = 0;
  if (sd_bus_message_read(message, "b", &active) >= 0) {
    static_cast<LogindPowerLockEvents*>(userdata)->reportLocked(active != 0);
  }
  return 0;
}

void LogindPowerLockEvents::reportSleep(bool asleep) {
  if (asleep == asleep_) return;
  asleep_ = asleep;
  deliver(asleep ? PowerLockEvent::willSleep : PowerLockEvent::didWake);
}

void LogindPowerLockEvents::reportLocked(bool locked) {
  if (locked_ == locked) return;
  const bool first = !locked_.has_value();
  locked_ = locked;
  if (first && !locked) return;  // the state at start: nothing happened
  deliver(locked ? PowerLockEvent::locked : PowerLockEvent::unlocked);
}

void LogindPowerLockEvents::deliver(PowerLockEvent event) {
  if (auto handler = handler_) handler(event);
}

}  // namespace orvo::platform::dbus
