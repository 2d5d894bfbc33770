#pragma once

namespace orvo {

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC, the epoch of every
// timestamp on the wire and in stored state.
inline constexpr double kSecondsFrom1970To2001 = 978307200.0;

// A time so early that any idle or since-refine interval computed from it exceeds every
// threshold the host uses.
inline constexpr double kDistantPast = -1.0e12;

// Absolute time: seconds since 2001-01-01 00:00:00 UTC as a 64-bit float. Throttles,
// timers and every date of the host read it through this interface so that tests can
// drive time by hand. Implementations are safe to call from any thread.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual double now() const = 0;
};

// The system's wall clock.
class SystemClock final : public Clock {
 public:
  double now() const override;
};

}  // namespace orvo
