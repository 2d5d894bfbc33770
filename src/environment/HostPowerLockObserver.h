#pragma once

#include <functional>
#include <memory>

#include "core/Published.h"
#include "core/Queues.h"
#include "platform/PowerEvents.h"

namespace orvo {

// Turns the system's sleep, wake, lock and unlock reports into the host's four callbacks,
// always on the main queue.
//
// The entry points (handleWillSleep ...) may be called on any thread: each only schedules,
// on the main queue, a call of its callback if that callback is set when the work runs.
// Work scheduled before the observer goes does nothing afterwards. Everything else, the
// callbacks and `isScreenLocked` included, belongs to the main queue. The event source and
// the main queue must outlive the observer.
class HostPowerLockObserver {
 public:
  using Callback = std::function<void()>;

  // Subscribes to the source; the callbacks start unset.
  HostPowerLockObserver(MainQueue& main, platform::PowerLockEvents& events);
  // Unsubscribes from the source.
  ~HostPowerLockObserver();
  HostPowerLockObserver(const HostPowerLockObserver&) = delete;
  HostPowerLockObserver& operator=(const HostPowerLockObserver&) = delete;

  Callback& onSleep() { return state_->onSleep; }
  Callback& onWake() { return state_->onWake; }
  Callback& onLock() { return state_->onLock; }
  Callback& onUnlock() { return state_->onUnlock; }

  // Whether the last lock event said locked (false until one arrives). Set on the main
  // queue just before the callback runs.
  const Published<bool>& isScreenLocked() const { return state_->isScreenLocked; }

  void handleWillSleep();
  void handleDidWake();
  void handleLocked();
  void handleUnlocked();

 private:
  struct State {
    Callback onSleep;
    Callback onWake;
    Callback onLock;
    Callback onUnlock;
    Published<bool> isScreenLocked{false};
  };

  static void schedule(MainQueue& main, std::weak_ptr<State> target, platform::PowerLockEvent event);

  MainQueue& main_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
  Subscription subscription_;
};

}  // namespace orvo
