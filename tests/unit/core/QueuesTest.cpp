#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "core/AsioQueues.h"
#include "core/Published.h"
#include "core/testing/VirtualLoop.h"
#include "support/RecordingLogger.h"

namespace orvo {
namespace {

TEST(VirtualLoop, RunsNothingUntilDrainedAndKeepsQueueOrder) {
  testing::VirtualLoop loop;
  auto queue = loop.makeSerialQueue("orvo.test", QueuePriority::unspecified);
  std::vector<int> order;
  queue->async([&] { order.push_back(1); });
  loop.main().async([&] {
    order.push_back(0);
    queue->async([&] { order.push_back(2); });
  });
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(loop.drain(), 3u);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST(VirtualLoop, SyncRunsEarlierTasksFirstAndReturnsValue) {
  testing::VirtualLoop loop;
  auto queue = loop.makeSerialQueue("orvo.test", QueuePriority::unspecified);
  int value = 0;
  queue->async([&] { value = 41; });
  EXPECT_EQ(queue->sync([&] { return value + 1; }), 42);
}

TEST(VirtualLoop, TimersFireAtTheirDueTimes) {
  testing::VirtualLoop loop(1000.0);
  std::vector<double> ticks;
  auto timer = loop.main().scheduleRepeating(2.0, [&] { ticks.push_back(loop.clock().now()); });
  loop.main().asyncAfter(0.75, [&] { ticks.push_back(-loop.clock().now()); });
  loop.advance(5.0);
  EXPECT_EQ(ticks, (std::vector<double>{-1000.75, 1002.0, 1004.0}));
  timer->invalidate();
  loop.advance(10.0);
  EXPECT_EQ(ticks.size(), 3u);
  EXPECT_EQ(loop.clock().now(), 1015.0);
}

TEST(AsioQueues, SerialQueueKeepsOrderAndSyncWaits) {
  testing::RecordingLogger logger;
  AsioQueueFactory factory(logger, 3);
  auto queue = factory.makeSerialQueue("orvo.test", QueuePriority::userInitiated);
  std::vector<int> seen;  // touched only on the queue
  for (int i = 0; i < 1000; ++i) queue->async([&seen, i] { seen.push_back(i); });
  const auto size = queue->sync([&] { return seen.size(); });
  EXPECT_EQ(size, 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[static_cast<std::size_t>(i)], i);
  // A sync from inside the queue runs at once instead of deadlocking.
  EXPECT_EQ(queue->sync([&] { return queue->sync([] { return 7; }); }), 7);
}

TEST(AsioQueues, SyncOnAnIdleQueueRunsOnTheCallerAndNoTasksEverOverlap) {
  testing::RecordingLogger logger;
  AsioQueueFactory factory(logger, 3);
  auto queue = factory.makeSerialQueue("orvo.test", QueuePriority::unspecified);
  EXPECT_EQ(queue->sync([] { return std::this_thread::get_id(); }), std::this_thread::get_id());

  // Two threads only wait on the queue, mostly finding it idle; two others queue tasks
  // and wait every third one. Each wait sees every task its thread queued before, and no
  // two tasks ever run at once.
  constexpr int threads = 4, rounds = 3000;
  bool inside = false;  // touched only by the queue's tasks: a race if two overlap
  int overlaps = 0;
  std::array<int, threads> done{};
  std::array<int, threads> mismatches{};
  // Each task stays a moment inside, so that an overlap would be seen.
  const auto occupy = [&] {
    if (inside) ++overlaps;
    inside = true;
    std::this_thread::yield();
    inside = false;
  };
  std::vector<std::thread> callers;
  for (int t = 0; t < threads; ++t) {
    callers.emplace_back([&, t] {
      auto& mine = done[static_cast<std::size_t>(t)];
      for (int i = 1; i <= rounds; ++i) {
        if (t % 2 == 0) {
          queue->sync([&] {
            occupy();
            ++mine;
          });
          continue;
        }
        queue->async([&] {
          occupy();
          ++mine;
        });
        if (i % 3 == 0 && queue->sync([&] { return mine; }) != i) ++mismatches[static_cast<std::size_t>(t)];
      }
    });
  }
  for (auto& caller : callers) caller.join();
  queue->sync([] {});
  EXPECT_EQ(overlaps, 0);
  for (int t = 0; t < threads; ++t) {
    EXPECT_EQ(done[static_cast<std::size_t>(t)], rounds);
    EXPECT_EQ(mismatches[static_cast<std::size_t>(t)], 0);
  }
}

TEST(AsioQueues, ThrowingTaskIsLoggedAndTheQueueGoesOn) {
  testing::RecordingLogger logger;
  AsioQueueFactory factory(logger, 1);
  auto queue = factory.makeSerialQueue("orvo.test", QueuePriority::unspecified);
  queue->async([] { throw std::runtime_error("boom"); });
  EXPECT_EQ(queue->sync([] { return 1; }), 1);
  EXPECT_EQ(logger.countPrefix("OrvoHost: task on orvo.test threw: boom"), 1u);
}

TEST(AsioQueues, MainQueueRunsTasksTimersAndStopsRepeatingTimer) {
  testing::RecordingLogger logger;
  asio::io_context context;
  AsioMainQueue main(context, logger);
  std::atomic<int> ticks = 0;
  bool after = false;
  TimerHandle timer = main.scheduleRepeating(0.01, [&] {
    if (++ticks == 3) timer->invalidate();
  });
  main.asyncAfter(0.05, [&] {
    after = true;
    EXPECT_TRUE(main.isCurrent());
  });
  context.run();
  EXPECT_EQ(ticks, 3);
  EXPECT_TRUE(after);
  EXPECT_FALSE(main.isCurrent());
}

TEST(Published, DeliversCurrentValueThenChangesUntilCancelled) {
  Published<int> value(1);
  std::vector<int> seen;
  auto subscription = value.subscribe([&](int v) { seen.push_back(v); });
  value.set(2);
  value.mutate([](int& v) { v += 10; });
  subscription.cancel();
  value.set(3);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 12}));
}

TEST(Published, SubscriptionOutlivingThePublisherIsHarmless) {
  Subscription subscription;
  {
    Published<int> value(1);
    subscription = value.subscribe([](int) {});
  }
  subscription.cancel();
}

}  // namespace
}  // namespace orvo
