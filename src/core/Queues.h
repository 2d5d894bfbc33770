#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace orvo {

using Task = std::function<void()>;

// A scheduled repeating timer. Destroying the handle or calling invalidate() stops it; a
// tick already running finishes. Handles are used on the queue that created them.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void invalidate() = 0;
};
using TimerHandle = std::unique_ptr<Timer>;

// The host's main queue: one thread runs every listener and connection callback, message
// dispatch, the timers and every write of a published property.
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  // Runs the task on the main queue after everything already queued. Callable from any thread.
  virtual void async(Task task) = 0;
  // Runs the task once, `seconds` from now. Callable from any thread; cannot be cancelled,
  // so tasks hold what they need weakly.
  virtual void asyncAfter(double seconds, Task task) = 0;
  // Runs the task every `period` seconds, first after one period, until the handle goes.
  // Called on the main queue.
  virtual TimerHandle scheduleRepeating(double period, Task task) = 0;
  // True when the calling thread is the one running the main queue.
  virtual bool isCurrent() const = 0;
};

// A serial queue: tasks run one at a time in submission order, on some pool thread.
// A queue owns the fields that only its tasks touch; no mutex guards host state.
class SerialQueue {
 public:
  virtual ~SerialQueue() = default;
  virtual const std::string& label() const = 0;
  virtual void async(Task task) = 0;
  // Runs the task after everything queued before it and waits for it. Only the one
  // direction the host allows may wait (capture -> focus state / stream state, and the
  // main queue onto either of those), so no cycle of waits can form. Called from a task
  // of this very queue, it runs the task at once.
  virtual void syncRun(const std::function<void()>& task) = 0;

  template <class F>
  auto sync(F&& fn) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
      syncRun(std::function<void()>(std::forward<F>(fn)));
    } else {
      std::optional<R> result;
      syncRun([&] { result.emplace(fn()); });
      return std::move(*result);
    }
  }
};

enum class QueuePriority { unspecified, userInitiated };

// Creates the host's serial queues. The real factory shares one small thread pool.
class QueueFactory {
 public:
  virtual ~QueueFactory() = default;
  virtual std::unique_ptr<SerialQueue> makeSerialQueue(std::string label, QueuePriority priority) = 0;
};

}  // namespace orvo
