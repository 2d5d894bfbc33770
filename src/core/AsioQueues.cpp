#include "core/AsioQueues.h"

#include <asio/bind_executor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <exception>
#include <future>
#include <mutex>

#include "core/Log.h"

namespace orvo {
namespace {

std::chrono::steady_clock::duration toDuration(double seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds < 0 ? 0 : seconds));
}

// A task that throws is a bug, but it must not end the process: log it and go on.
void runGuarded(const Task& task, Logger& logger, std::string_view where) {
  try {
    task();
  } catch (const std::exception& error) {
    logLine(logger, "OrvoHost: task on", where, "threw:", error.what());
  }
}

class AsioRepeatingTimer final : public Timer {
 public:
  struct State {
    State(asio::io_context& context, double seconds, Task work, Logger& log)
        : timer(context), period(toDuration(seconds)), task(std::move(work)), logger(log) {}
    asio::steady_timer timer;
    std::chrono::steady_clock::duration period;
    Task task;
    Logger& logger;
    bool valid = true;
  };

  AsioRepeatingTimer(asio::io_context& context, double period, Task task, Logger& logger)
      : state_(std::make_shared<State>(context, period, std::move(task), logger)) {
    state_->timer.expires_after(state_->period);
    arm(state_);
  }
  ~AsioRepeatingTimer() override { invalidate(); }

  void invalidate() override {
    if (!state_->valid) return;
    state_->valid = false;
    // The timer belongs to the main queue; cancelling there keeps Asio single-threaded.
    asio::post(state_->timer.get_executor(), [state = state_] { state->timer.cancel(); });
  }

 private:
  static void arm(const std::shared_ptr<State>& state) {
    state->timer.async_wait([state](const std::error_code& error) {
      if (error || !state->valid) return;
      runGuarded(state->task, state->logger, "main queue timer");
      if (!state->valid) return;
      state->timer.expires_at(state->timer.expiry() + state->period);
      arm(state);
    });
  }

  std::shared_ptr<State> state_;
};

// A serial queue over the shared pool. Its tasks wait in its own list, and one pool job at
// a time runs them, so they never overlap. A sync call on an idle queue runs its task on
// the calling thread, as no other task of the queue can run meanwhile: the capture queue's
// reads of the focus and stream state then cost no hand-over to a pool thread and back.
class AsioSerialQueue final : public SerialQueue {
 public:
  AsioSerialQueue(asio::thread_pool& pool, std::string label, Logger& logger)
      : core_(std::make_shared<Core>(pool, std::move(label), logger)) {}

  const std::string& label() const override { return core_->label; }

  // Queued tasks hold the queue's core, not the queue, so a queue may go before its last
  // task runs.
  void async(Task task) override {
    {
      const std::lock_guard lock(core_->mutex);
      core_->tasks.push_back(std::move(task));
      if (core_->busy) return;
      core_->busy = true;
    }
    schedule(core_);
  }

  void syncRun(const std::function<void()>& task) override {
    if (current == core_.get()) {
      task();
      return;
    }
    bool idle = false;
    {
      const std::lock_guard lock(core_->mutex);
      if (!core_->busy) core_->busy = idle = true;
    }
    if (idle) {
      {
        const CurrentScope scope(core_.get());
        runGuarded(task, core_->logger, core_->label);
      }
      finishRun(core_);
      return;
    }
    std::promise<void> done;
    async([&] {
      runGuarded(task, core_->logger, core_->label);
      done.set_value();
    });
    done.get_future().wait();
  }

 private:
  struct Core {
    Core(asio::thread_pool& p, std::string name, Logger& log) : pool(p), label(std::move(name)), logger(log) {}
    asio::thread_pool& pool;
    const std::string label;
    Logger& logger;
    std::mutex mutex;
    std::deque<Task> tasks;  // guarded by `mutex`
    bool busy = false;       // a run is scheduled or going on; guarded by `mutex`
  };
  // The queue whose task runs on this thread now.
  static thread_local const Core* current;
  class CurrentScope {
   public:
    explicit CurrentScope(const Core* core) : outer_(current) { current = core; }
    ~CurrentScope() { current = outer_; }
    CurrentScope(const CurrentScope&) = delete;
    CurrentScope& operator=(const CurrentScope&) = delete;

   private:
    const Core* outer_;
  };

  static void schedule(const std::shared_ptr<Core>& core) {
    asio::post(core->pool, [core] { run(core); });
  }

  // Runs a batch of the waiting tasks, then leaves the thread to the other queues.
  static void run(const std::shared_ptr<Core>& core) {
    constexpr int batch = 64;
    {
      const CurrentScope scope(core.get());
      for (int i = 0; i < batch; ++i) {
        Task task;
        {
          const std::lock_guard lock(core->mutex);
          if (core->tasks.empty()) break;
          task = std::move(core->tasks.front());
          core->tasks.pop_front();
        }
        runGuarded(task, core->logger, core->label);
      }
    }
    finishRun(core);
  }

  // Ends a run: the queue turns idle, or the tasks that came meanwhile get the next one.
  static void finishRun(const std::shared_ptr<Core>& core) {
    {
      const std::lock_guard lock(core->mutex);
      if (core->tasks.empty()) {
        core->busy = false;
        return;
      }
    }
    schedule(core);
  }

  std::shared_ptr<Core> core_;
};

thread_local const AsioSerialQueue::Core* AsioSerialQueue::current = nullptr;

}  // namespace

AsioMainQueue::AsioMainQueue(asio::io_context& context, Logger& logger)
    : context_(context), logger_(logger) {}

void AsioMainQueue::async(Task task) {
  asio::post(context_, [&logger = logger_, task = std::move(task)] { runGuarded(task, logger, "main queue"); });
}

void AsioMainQueue::asyncAfter(double seconds, Task task) {
  auto timer = std::make_shared<asio::steady_timer>(context_, toDuration(seconds));
  timer->async_wait([&logger = logger_, timer, task = std::move(task)](const std::error_code& error) {
    if (!error) runGuarded(task, logger, "main queue");
  });
}

TimerHandle AsioMainQueue::scheduleRepeating(double period, Task task) {
  return std::make_unique<AsioRepeatingTimer>(context_, period, std::move(task), logger_);
}

bool AsioMainQueue::isCurrent() const { return context_.get_executor().running_in_this_thread(); }

AsioQueueFactory::AsioQueueFactory(Logger& logger, unsigned threads) : pool_(threads), logger_(logger) {}

AsioQueueFactory::~AsioQueueFactory() { join(); }

std::unique_ptr<SerialQueue> AsioQueueFactory::makeSerialQueue(std::string label, QueuePriority) {
  // All pool threads have the same priority on Linux; the labels keep the queues apart.
  return std::make_unique<AsioSerialQueue>(pool_, std::move(label), logger_);
}

void AsioQueueFactory::join() { pool_.join(); }

}  // namespace orvo
