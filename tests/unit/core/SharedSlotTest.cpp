#include "core/SharedSlot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace orvo {
namespace {

// An object whose two halves must always agree; a load that paired one object's pointer
// with another's lifetime would read a freed or half-built one (and TSan sees the race).
struct Pair {
  explicit Pair(int v) : a(v), b(v) {}
  ~Pair() { a = -1; b = -2; }
  int a;
  int b;
};

TEST(SharedSlotTest, ReadersKeepWhatTheyLoadedWhileAnotherThreadReplacesIt) {
  SharedSlot<Pair> slot;
  slot.store(std::make_shared<Pair>(0));
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const auto held = slot.load();
        if (!held || held->a != held->b || held->a < 0) ++mismatches;
      }
    });
  }
  for (int v = 1; v <= 20000; ++v) slot.store(std::make_shared<Pair>(v));
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(mismatches.load(), 0);

  const auto last = slot.exchange(nullptr);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->a, 20000);
  EXPECT_EQ(slot.load(), nullptr);
}

}  // namespace
}  // namespace orvo
