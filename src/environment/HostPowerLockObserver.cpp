#include "environment/HostPowerLockObserver.h"

namespace orvo {

using platform::PowerLockEvent;

HostPowerLockObserver::HostPowerLockObserver(MainQueue& main, platform::PowerLockEvents& events) : main_(main) {
  std::weak_ptr<State> weak = state_;
  subscription_ = events.subscribe([&main, weak](PowerLockEvent event) { schedule(main, weak, event); });
}

HostPowerLockObserver::~HostPowerLockObserver() { subscription_.cancel(); }

void HostPowerLockObserver::schedule(MainQueue& main, std::weak_ptr<State> target, PowerLockEvent event) {
  // The work holds the state weakly: once the observer is gone it does nothing.
  main.async([weak = std::move(target), event] {
    const auto state = weak.lock();
    if (!state) return;
    Callback* callback = nullptr;
    switch (event) {
      case PowerLockEvent::willSleep: callback = &state->onSleep; break;
      case PowerLockEvent::didWake: callback = &state->onWake; break;
      case PowerLockEvent::locked:
        state->isScreenLocked.set(true);
        callback = &state->onLock;
        break;
      case PowerLockEvent::unlocked:
        state->isScreenLocked.set(false);
        callback = &state->onUnlock;
        break;
    }
    // A copy: the callback may replace itself while it runs.
    if (auto run = *callback) run();
  });
}

void HostPowerLockObserver::handleWillSleep() { schedule(main_, state_, PowerLockEvent::willSleep); }
void HostPowerLockObserver::handleDidWake() { schedule(main_, state_, PowerLockEvent::didWake); }
void HostPowerLockObserver::handleLocked() { schedule(main_, state_, PowerLockEvent::locked); }
void HostPowerLockObserver::handleUnlocked() { schedule(main_, state_, PowerLockEvent::unlocked); }

}  // namespace orvo
