// Steady streaming allocates nothing large per frame beyond the frame handed to the network,
// and its memory stays flat. This program counts every C++ allocation (operator new is
// replaced below), so it is a test binary of its own.

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "unit/streaming/StreamingHarness.h"

namespace {

// Counters of this test program's allocations. Counting is switched on around the frames
// under test only.
std::atomic<bool> counting{false};
std::atomic<std::size_t> allocations{0};
std::atomic<std::size_t> allocatedBytes{0};
std::atomic<long long> liveBytes{0};
constexpr std::size_t largeAllocation = 4096;
std::array<std::atomic<std::size_t>, 4096> largeSizes{};
std::atomic<std::size_t> largeCount{0};

void* allocate(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  liveBytes += static_cast<long long>(malloc_usable_size(p));
  if (counting.load(std::memory_order_relaxed)) {
    ++allocations;
    allocatedBytes += size;
    if (size >= largeAllocation) {
      const std::size_t index = largeCount++;
      if (index < largeSizes.size()) largeSizes[index] = size;
    }
  }
  return p;
}

void release(void* p) noexcept {
  if (!p) return;
  liveBytes -= static_cast<long long>(malloc_usable_size(p));
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace orvo::testing {
namespace {

// Completes every send at once (through the main queue, as the network does) and keeps
// only the sizes of the frames, in a list reserved up front.
class DiscardingConnection final : public platform::Connection {
 public:
  explicit DiscardingConnection(MainQueue& main) : main_(main) { frameSizes.reserve(100000); }
  void setStateHandler(StateHandler) override {}
  void start() override {}
  void receive(std::size_t, std::size_t, ReceiveCompletion) override {}
  void send(Bytes data, SendCompletion completion) override {
    frameSizes.push_back(data.size());
    if (completion) main_.async([completion = std::move(completion)] { completion(std::nullopt); });
  }
  void cancel() override {}
  std::string endpointDescription() const override { return "127.0.0.1:1"; }

  std::vector<std::size_t> frameSizes;

 private:
  MainQueue& main_;
};

// A logger that keeps nothing, so that the timing lines do not count as the pump's.
class NullLogger final : public Logger {
 public:
  void write(std::string_view) override {}
};

class FrameAllocation : public ::testing::Test, public StreamingHarness {
 protected:
  FrameAllocation() {
    session.setConnection(sink);
    windows.add(5, {0, 0, 1800, 240});
  }

  // One frame; every other frame follows input, so interactive (scaled to 1600 × 213)
  // and refine frames (at 1800 × 240, not scaled) alternate.
  void frame(int index) {
    capturer.calls.clear();  // the fake's record of calls, not the pump's memory
    loop.clock().set(loop.clock().now() + 0.5);
    if (index % 2 == 1) pump.noteInput(5);
    pump.handleSnapshotRequest(5);
    loop.drain();
  }

  std::shared_ptr<DiscardingConnection> sink = std::make_shared<DiscardingConnection>(loop.main());
};

TEST_F(FrameAllocation, SteadyFramesAllocateOnlyTheFrameForTheNetwork) {
  capturer.setPicture(5, 1800, 240);
  for (int i = 0; i < 10; ++i) frame(i);  // buffers are made here
  const std::size_t before = sink->frameSizes.size();

  constexpr int frames = 200;
  largeCount = 0;
  allocations = 0;
  allocatedBytes = 0;
  counting = true;
  for (int i = 10; i < 10 + frames; ++i) frame(i);
  counting = false;

  ASSERT_EQ(sink->frameSizes.size(), before + frames);
  // Every large allocation is one frame (header and JPEG copy) handed to the network, in order.
  ASSERT_EQ(largeCount.load(), static_cast<std::size_t>(frames));
  std::size_t frameBytes = 0;
  for (int i = 0; i < frames; ++i) {
    EXPECT_EQ(largeSizes[static_cast<std::size_t>(i)].load(), sink->frameSizes[before + static_cast<std::size_t>(i)]);
    frameBytes += sink->frameSizes[before + static_cast<std::size_t>(i)];
  }
  // Beyond the frames: a handful of small closures that carry the frame across the queues.
  const std::size_t smallCount = allocations.load() - frames;
  const std::size_t smallBytes = allocatedBytes.load() - frameBytes;
  EXPECT_LE(smallCount, static_cast<std::size_t>(frames) * 16) << smallCount / frames << " per frame";
  EXPECT_LE(smallBytes, static_cast<std::size_t>(frames) * 1024) << smallBytes / frames << " bytes per frame";
  RecordProperty("smallAllocationsPerFrame", static_cast<int>(smallCount / frames));
  RecordProperty("smallBytesPerFrame", static_cast<int>(smallBytes / frames));
}

TEST_F(FrameAllocation, MemoryStaysFlatOverThousandsOfFrames) {
  capturer.setPicture(5, 1800, 240);
  for (int i = 0; i < 10; ++i) frame(i);
  const long long liveBefore = liveBytes.load();
  const auto heapBefore = mallinfo2();
  for (int i = 10; i < 1010; ++i) frame(i);
  const long long liveGrowth = liveBytes.load() - liveBefore;
  // The log of the test harness keeps the 16 timing lines; nothing else may stay.
  EXPECT_LT(liveGrowth, 16 * 1024) << liveGrowth << " bytes";
#if !defined(__SANITIZE_ADDRESS__)
  // The whole heap, the encoder's and scaler's own allocations included.
  const auto heapAfter = mallinfo2();
  const long long heapGrowth = static_cast<long long>(heapAfter.uordblks + heapAfter.hblkhd) -
                               static_cast<long long>(heapBefore.uordblks + heapBefore.hblkhd);
  EXPECT_LT(heapGrowth, 256 * 1024) << heapGrowth << " bytes";
#else
  (void)heapBefore;
#endif
}

}  // namespace
}  // namespace orvo::testing
