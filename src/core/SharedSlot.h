#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace orvo {

// A shared_ptr that one queue replaces while other threads read it: load() hands out a
// copy that keeps the object alive whatever the slot holds afterwards. Any thread.
//
// Not std::atomic<std::shared_ptr>: libstdc++ 12 releases that type's internal lock with
// relaxed order after a load, so the load's read of the pointer is not ordered before a
// later store's write of it (a data race; on a weakly ordered CPU a load could pair one
// object's pointer with the next one's count). The mutex guards only the hand-over of the
// pointer, never the object, and the object a store or exchange replaces is released
// outside it.
template <class T>
class SharedSlot {
 public:
  std::shared_ptr<T> load() const {
    const std::lock_guard lock(mutex_);
    return value_;
  }

  void store(std::shared_ptr<T> value) { exchange(std::move(value)); }

  // Puts `value` in and returns what was there.
  std::shared_ptr<T> exchange(std::shared_ptr<T> value) {
    {
      const std::lock_guard lock(mutex_);
      value_.swap(value);
    }
    return value;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<T> value_;
};

}  // namespace orvo
