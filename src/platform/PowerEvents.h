#pragma once

#include <functional>

#include "core/Published.h"

namespace orvo::platform {

// The machine going to sleep and waking, and the screen being locked and unlocked.
enum class PowerLockEvent { willSleep, didWake, locked, unlocked };

// Reports sleep and lock as the system announces them. A report of the state the last
// report already gave (the screen locked twice through two channels) is not repeated.
class PowerLockEvents {
 public:
  using Handler = std::function<void(PowerLockEvent)>;
  virtual ~PowerLockEvents() = default;
  // Delivers every later event to `handler` until the returned subscription goes. The
  // handler may be called on any thread; it must only hand the event on.
  [[nodiscard]] virtual Subscription subscribe(Handler handler) = 0;
};

}  // namespace orvo::platform
