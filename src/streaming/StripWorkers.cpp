#include "streaming/StripWorkers.h"

namespace orvo {

StripWorkers::StripWorkers() : helper_([this] { helperLoop(); }) {}

StripWorkers::~StripWorkers() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  helper_.join();
}

void StripWorkers::runErased(void* context, Entry entry) {
  std::uint64_t ticket = 0;
  {
    std::lock_guard lock(mutex_);
    context_ = context;
    entry_ = entry;
    ticket = ++generation_;
  }
  wake_.notify_one();
  entry(context, 0);
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return finished_ == ticket; });
}

void StripWorkers::helperLoop() {
  std::uint64_t seen = 0;
  for (;;) {
    void* context = nullptr;
    Entry entry = nullptr;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      context = context_;
      entry = entry_;
    }
    entry(context, 1);
    {
      std::lock_guard lock(mutex_);
      finished_ = seen;
    }
    done_.notify_one();
  }
}

}  // namespace orvo
