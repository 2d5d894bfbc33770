// Sleep prevention while a client streams, and the session teardown on sleep and lock.
#include "core/Log.h"
#include "environment/HostPowerLockObserver.h"
#include "host/OrvoHost.h"
#include "platform/HostInfo.h"

namespace orvo {

void OrvoHost::updateAwakeState() {
  const bool hold = preventSleepEnabled_ && currentConnection() && clientIsVisible_ && !hostIsLockedOrAsleep_;
  if (hold) {
    if (lastAwakeShouldHold_ && lastAwakeKeepDisplay_) return;
    if (awakeHeld_) services_.sleepInhibitor.end();
    services_.sleepInhibitor.begin("Orvo streaming active");
    awakeHeld_ = true;
    lastAwakeShouldHold_ = true;
    lastAwakeKeepDisplay_ = true;
    logLine(services_.logger, "Display sleep prevention enabled");
    return;
  }
  if (lastAwakeShouldHold_ && awakeHeld_) {
    services_.sleepInhibitor.end();
    awakeHeld_ = false;
  }
  lastAwakeShouldHold_ = false;
  lastAwakeKeepDisplay_ = false;
  logLine(services_.logger, "Display sleep prevention disabled");
}

void OrvoHost::installPowerLockCallbacks() {
  // Each callback holds the host weakly and does nothing once it is gone.
  auto call = [weak = weak_from_this()](void (OrvoHost::*handler)()) {
    return [weak, handler] {
      if (auto self = weak.lock()) ((*self).*handler)();
    };
  };
  powerLockObserver_->onSleep() = call(&OrvoHost::handleHostWillSleep);
  powerLockObserver_->onWake() = call(&OrvoHost::handleHostDidWake);
  powerLockObserver_->onLock() = call(&OrvoHost::handleScreenLocked);
  powerLockObserver_->onUnlock() = call(&OrvoHost::handleScreenUnlocked);
}

void OrvoHost::teardownAfterSleepOrLock(const char* line) {
  logLine(services_.logger, line);
  hostIsLockedOrAsleep_ = true;
  updateAwakeState();
  resetSessionState();  // cancels the connection
  updateAwakeState();
}

void OrvoHost::handleHostWillSleep() {
  asleep_ = true;
  teardownAfterSleepOrLock("OrvoHost: host will sleep → tearing down session");
}

void OrvoHost::handleScreenLocked() {
  screenLocked_ = true;
  teardownAfterSleepOrLock("OrvoHost: screen locked → disable streaming/input");
}

void OrvoHost::handleHostDidWake() {
  logLine(services_.logger, "OrvoHost: host did wake → reset stale session + republish if needed");
  asleep_ = false;
  resetSessionState();
  updateAwakeState();
  // A screen locked before the sleep is still locked: waking serves nothing then.
  hostIsLockedOrAsleep_ = screenLocked_;
  updateAwakeState();
  republishServiceIfNeeded();
}

void OrvoHost::handleScreenUnlocked() {
  logLine(services_.logger, "OrvoHost: screen unlocked → allow reconnect");
  screenLocked_ = false;
  hostIsLockedOrAsleep_ = asleep_;
  updateAwakeState();
}

}  // namespace orvo
