#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "core/Clock.h"
#include "core/Queues.h"

namespace orvo::testing {

// A clock that moves only when the test moves it.
class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(double start) : now_(start) {}
  double now() const override { return now_; }
  void set(double time) { now_ = time; }

 private:
  double now_;
};

// The host's main queue and serial queues on one test thread: nothing runs until the test
// drains the queues, and timers fire only when the test advances the virtual clock. Lets a
// 10 s liveness timeout or a 600 s code expiry be checked in microseconds.
class VirtualLoop final : public QueueFactory {
 public:
  explicit VirtualLoop(double startTime = 786000000.0);
  ~VirtualLoop() override;
  VirtualLoop(const VirtualLoop&) = delete;
  VirtualLoop& operator=(const VirtualLoop&) = delete;

  VirtualClock& clock() { return clock_; }
  MainQueue& main();
  std::unique_ptr<SerialQueue> makeSerialQueue(std::string label, QueuePriority priority) override;

  // Runs queued tasks of every queue, main queue first in each round, until all are empty.
  // Returns the number of tasks run.
  std::size_t drain();
  // Moves time forward, firing each timer at its due time and draining after each.
  void advance(double seconds);
  void advanceTo(double time);
  // Number of timers still scheduled (one-shot and repeating).
  std::size_t scheduledTimers() const;

  struct Shared;

 private:
  VirtualClock clock_;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<MainQueue> main_;
};

}  // namespace orvo::testing
