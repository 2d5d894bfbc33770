#include "core/testing/VirtualLoop.h"

#include <algorithm>

namespace orvo::testing {

class VirtualSerialQueue;

struct VirtualLoop::Shared {
  struct TimerEntry {
    double period = 0;  // 0 for one-shot
    Task task;
    std::shared_ptr<bool> valid;
  };
  VirtualClock* clock = nullptr;
  std::deque<Task> mainTasks;
  std::multimap<double, TimerEntry> timers;
  std::vector<VirtualSerialQueue*> queues;
};

class VirtualSerialQueue final : public SerialQueue {
 public:
  VirtualSerialQueue(std::string label, std::shared_ptr<VirtualLoop::Shared> shared)
      : label_(std::move(label)), shared_(std::move(shared)) {
    shared_->queues.push_back(this);
  }
  ~VirtualSerialQueue() override { std::erase(shared_->queues, this); }

  const std::string& label() const override { return label_; }
  void async(Task task) override { tasks_.push_back(std::move(task)); }

  // Like a real serial queue: what was queued before runs first. Inside one of this
  // queue's own tasks the work runs at once.
  void syncRun(const std::function<void()>& task) override {
    if (!running_) runAll();
    task();
  }

  bool runOne() {
    if (tasks_.empty()) return false;
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    const bool wasRunning = running_;
    running_ = true;
    task();
    running_ = wasRunning;
    return true;
  }

  std::size_t runAll() {
    std::size_t count = 0;
    while (runOne()) ++count;
    return count;
  }

 private:
  std::string label_;
  std::shared_ptr<VirtualLoop::Shared> shared_;
  std::deque<Task> tasks_;
  bool running_ = false;
};

namespace {

class VirtualTimer final : public Timer {
 public:
  explicit VirtualTimer(std::shared_ptr<bool> valid) : valid_(std::move(valid)) {}
  ~VirtualTimer() override { invalidate(); }
  void invalidate() override { *valid_ = false; }

 private:
  std::shared_ptr<bool> valid_;
};

class VirtualMainQueue final : public MainQueue {
 public:
  explicit VirtualMainQueue(std::shared_ptr<VirtualLoop::Shared> shared) : shared_(std::move(shared)) {}

  void async(Task task) override { shared_->mainTasks.push_back(std::move(task)); }

  void asyncAfter(double seconds, Task task) override {
    shared_->timers.emplace(shared_->clock->now() + std::max(seconds, 0.0),
                            VirtualLoop::Shared::TimerEntry{0, std::move(task), std::make_shared<bool>(true)});
  }

  TimerHandle scheduleRepeating(double period, Task task) override {
    auto valid = std::make_shared<bool>(true);
    shared_->timers.emplace(shared_->clock->now() + period,
                            VirtualLoop::Shared::TimerEntry{period, std::move(task), valid});
    return std::make_unique<VirtualTimer>(valid);
  }

  bool isCurrent() const override { return true; }

 private:
  std::shared_ptr<VirtualLoop::Shared> shared_;
};

}  // namespace

VirtualLoop::VirtualLoop(double startTime) : clock_(startTime), shared_(std::make_shared<Shared>()) {
  shared_->clock = &clock_;
  main_ = std::make_unique<VirtualMainQueue>(shared_);
}

VirtualLoop::~VirtualLoop() = default;

MainQueue& VirtualLoop::main() { return *main_; }

std::unique_ptr<SerialQueue> VirtualLoop::makeSerialQueue(std::string label, QueuePriority) {
  return std::make_unique<VirtualSerialQueue>(std::move(label), shared_);
}

std::size_t VirtualLoop::drain() {
  std::size_t count = 0;
  for (bool progress = true; progress;) {
    progress = false;
    while (!shared_->mainTasks.empty()) {
      Task task = std::move(shared_->mainTasks.front());
      shared_->mainTasks.pop_front();
      task();
      ++count;
      progress = true;
    }
    // Copy: a task may create or destroy queues.
    const auto queues = shared_->queues;
    for (auto* queue : queues) {
      if (std::find(shared_->queues.begin(), shared_->queues.end(), queue) == shared_->queues.end()) continue;
      const auto ran = queue->runAll();
      count += ran;
      progress = progress || ran > 0;
    }
  }
  return count;
}

void VirtualLoop::advance(double seconds) { advanceTo(clock_.now() + seconds); }

void VirtualLoop::advanceTo(double time) {
  drain();
  while (!shared_->timers.empty()) {
    auto first = shared_->timers.begin();
    if (first->first > time) break;
    const double due = first->first;
    auto entry = std::move(first->second);
    shared_->timers.erase(first);
    if (!*entry.valid) continue;
    clock_.set(std::max(clock_.now(), due));
    entry.task();
    if (entry.period > 0 && *entry.valid) {
      shared_->timers.emplace(due + entry.period, std::move(entry));
    }
    drain();
  }
  clock_.set(std::max(clock_.now(), time));
  drain();
}

std::size_t VirtualLoop::scheduledTimers() const {
  return static_cast<std::size_t>(std::count_if(shared_->timers.begin(), shared_->timers.end(),
                                                [](const auto& item) { return *item.second.valid; }));
}

}  // namespace orvo::testing
