#include "core/AsioQueues.h"

#include <asio/bind_executor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <chrono>
#include <exception>
#include <future>

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

class AsioSerialQueue final : public SerialQueue {
 public:
  AsioSerialQueue(asio::thread_pool& pool, std::string label, Logger& logger)
      : strand_(asio::make_strand(pool)), label_(std::make_shared<const std::string>(std::move(label))),
        logger_(logger) {}

  const std::string& label() const override { return *label_; }

  // Queued tasks hold the label, not the queue, so a queue may go before its last task runs.
  void async(Task task) override {
    asio::post(strand_, [label = label_, &logger = logger_, task = std::move(task)] {
      runGuarded(task, logger, *label);
    });
  }

  void syncRun(const std::function<void()>& task) override {
    if (strand_.running_in_this_thread()) {
      task();
      return;
    }
    std::promise<void> done;
    asio::post(strand_, [&] {
      runGuarded(task, logger_, *label_);
      done.set_value();
    });
    done.get_future().wait();
  }

 private:
  asio::strand<asio::thread_pool::executor_type> strand_;
  std::shared_ptr<const std::string> label_;
  Logger& logger_;
};

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
