#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace orvo {

// Two threads for one frame: the caller's and one helper kept for the life of the object.
// run() hands the same work to both and returns when both have finished it; the work
// divides itself (the frame producer's workers take strips from a shared counter), so a
// helper that is slow to start, or a core busy with something else, only means the caller
// does more of the strips.
//
// Only the work's own data is shared, and only between run()'s start and its return; the
// mutex guards the hand-over, never host state. One caller at a time (the capture queue).
class StripWorkers {
 public:
  StripWorkers();
  ~StripWorkers();
  StripWorkers(const StripWorkers&) = delete;
  StripWorkers& operator=(const StripWorkers&) = delete;

  // Runs work(0) on the calling thread and work(1) on the helper; returns when both are done.
  template <class F>
  void run(F& work) {
    runErased(&work, [](void* context, int worker) { (*static_cast<F*>(context))(worker); });
  }

  static constexpr int count = 2;

 private:
  using Entry = void (*)(void*, int);
  void runErased(void* context, Entry entry);
  void helperLoop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  void* context_ = nullptr;
  Entry entry_ = nullptr;
  std::uint64_t generation_ = 0;  // work handed out so far
  std::uint64_t finished_ = 0;    // work the helper has finished
  bool stopping_ = false;
  std::thread helper_;  // last: started once everything above is ready
};

}  // namespace orvo
