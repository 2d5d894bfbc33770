#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "platform/linux/avahi/AsioAvahiPoll.h"

namespace orvo::platform::avahi {
namespace {

using namespace std::chrono_literals;

// What Avahi would have seen through one watch or timeout callback.
struct Calls {
  std::vector<int> fds;
  std::vector<int> events;
  std::vector<int> eventsInside;  // watch_get_events during the callback
  std::function<void(AvahiWatch*)> onWatch;
  std::function<void(AvahiTimeout*)> onTimeout;
  std::vector<timeval> firedAt;
};

void watchCallback(AvahiWatch* watch, int fd, AvahiWatchEvent events, void* userdata) {
  auto& calls = *static_cast<Calls*>(userdata);
  calls.fds.push_back(fd);
  calls.events.push_back(events);
  if (calls.onWatch) calls.onWatch(watch);
}

void timeoutCallback(AvahiTimeout* timeout, void* userdata) {
  auto& calls = *static_cast<Calls*>(userdata);
  timeval now{};
  gettimeofday(&now, nullptr);
  calls.firedAt.push_back(now);
  if (calls.onTimeout) calls.onTimeout(timeout);
}

timeval wallIn(std::chrono::milliseconds delay) {
  timeval now{};
  gettimeofday(&now, nullptr);
  auto micros = now.tv_usec + std::chrono::duration_cast<std::chrono::microseconds>(delay).count();
  return timeval{now.tv_sec + micros / 1000000, static_cast<suseconds_t>(micros % 1000000)};
}

std::int64_t micros(const timeval& tv) { return std::int64_t(tv.tv_sec) * 1000000 + tv.tv_usec; }

class AsioAvahiPollTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends_), 0); }
  void TearDown() override {
    poll_.reset();
    ::close(ends_[0]);
    ::close(ends_[1]);
  }

  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 2s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      io_.restart();
      io_.run_for(5ms);
    }
    return true;
  }
  void runFor(std::chrono::milliseconds duration) {
    runUntil([] { return false; }, duration);
  }
  void send(std::string_view bytes) { ASSERT_EQ(::write(ends_[1], bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  bool open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

  asio::io_context io_;
  std::unique_ptr<AsioAvahiPoll> poll_ = std::make_unique<AsioAvahiPoll>(io_);
  const AvahiPoll* api_ = poll_->get();
  int ends_[2] = {-1, -1};
};

// Like poll(2): bytes left unread are reported again, until they are read,
// always with Avahi's own descriptor, and never from inside the call that made the watch.
TEST_F(AsioAvahiPollTest, ReportsReadinessUntilDrained) {
  send("abc");
  Calls calls;
  calls.onWatch = [&](AvahiWatch* watch) {
    calls.eventsInside.push_back(api_->watch_get_events(watch));
    char byte;
    ASSERT_EQ(::read(ends_[0], &byte, 1), 1);  // one byte per callback
  };
  AvahiWatch* watch = api_->watch_new(api_, ends_[0], AVAHI_WATCH_IN, &watchCallback, &calls);
  ASSERT_NE(watch, nullptr);
  EXPECT_TRUE(calls.events.empty());

  ASSERT_TRUE(runUntil([&] { return calls.events.size() == 3; }));
  runFor(30ms);
  EXPECT_EQ(calls.events, std::vector<int>(3, AVAHI_WATCH_IN));
  EXPECT_EQ(calls.eventsInside, calls.events);
  EXPECT_EQ(calls.fds, std::vector<int>(3, ends_[0]));
  EXPECT_EQ(api_->watch_get_events(watch), 0);

  // Readiness that comes later is seen too.
  send("d");
  ASSERT_TRUE(runUntil([&] { return calls.events.size() == 4; }));
  api_->watch_free(watch);
}

// libdbus watches one socket twice, for reading and for writing.
TEST_F(AsioAvahiPollTest, TwoWatchesOnOneDescriptor) {
  Calls reading, writing;
  writing.onWatch = [&](AvahiWatch* watch) { api_->watch_update(watch, AvahiWatchEvent(0)); };
  AvahiWatch* reader = api_->watch_new(api_, ends_[0], AVAHI_WATCH_IN, &watchCallback, &reading);
  AvahiWatch* writer = api_->watch_new(api_, ends_[0], AVAHI_WATCH_OUT, &watchCallback, &writing);
  ASSERT_NE(reader, nullptr);
  ASSERT_NE(writer, nullptr);
  ASSERT_TRUE(runUntil([&] { return writing.events.size() == 1; }));
  EXPECT_EQ(writing.events.front(), AVAHI_WATCH_OUT);
  EXPECT_TRUE(reading.events.empty());
  send("x");
  ASSERT_TRUE(runUntil([&] { return !reading.events.empty(); }));
  EXPECT_EQ(reading.events.front(), AVAHI_WATCH_IN);
  EXPECT_EQ(writing.events.size(), 1u);
  api_->watch_free(reader);
  api_->watch_free(writer);
  EXPECT_TRUE(open(ends_[0]));
}

TEST_F(AsioAvahiPollTest, UpdatedAndFreedWatchesStopReporting) {
  send("pending");
  Calls calls;
  AvahiWatch* watch = api_->watch_new(api_, ends_[0], AVAHI_WATCH_IN, &watchCallback, &calls);
  api_->watch_update(watch, AvahiWatchEvent(0));
  runFor(30ms);
  EXPECT_TRUE(calls.events.empty());

  // Freed from inside its own callback, with the bytes still unread.
  calls.onWatch = [&](AvahiWatch* self) { api_->watch_free(self); };
  api_->watch_update(watch, AVAHI_WATCH_IN);
  ASSERT_TRUE(runUntil([&] { return !calls.events.empty(); }));
  runFor(30ms);
  EXPECT_EQ(calls.events.size(), 1u);
  EXPECT_EQ(poll_->watchCount(), 0u);
  EXPECT_TRUE(open(ends_[0])) << "the watch must not close Avahi's descriptor";
}

TEST_F(AsioAvahiPollTest, TimeoutFiresOnceAndNotBeforeItsTime) {
  Calls calls;
  timeval when = wallIn(40ms);
  api_->timeout_new(api_, &when, &timeoutCallback, &calls);
  ASSERT_TRUE(runUntil([&] { return !calls.firedAt.empty(); }));
  runFor(60ms);
  ASSERT_EQ(calls.firedAt.size(), 1u);
  EXPECT_GE(micros(calls.firedAt.front()), micros(when) - 1000);  // steady and wall clocks round apart

  // A deadline already past fires on the next turn of the loop, not inside the call.
  Calls late;
  timeval past = wallIn(-1000ms);
  api_->timeout_new(api_, &past, &timeoutCallback, &late);
  EXPECT_TRUE(late.firedAt.empty());
  ASSERT_TRUE(runUntil([&] { return !late.firedAt.empty(); }));
}

TEST_F(AsioAvahiPollTest, UpdatedTimeoutsRearmOrStop) {
  Calls disabled;
  timeval soon = wallIn(10ms);
  AvahiTimeout* timeout = api_->timeout_new(api_, &soon, &timeoutCallback, &disabled);
  api_->timeout_update(timeout, nullptr);
  runFor(40ms);
  EXPECT_TRUE(disabled.firedAt.empty());
  soon = wallIn(10ms);
  api_->timeout_update(timeout, &soon);
  ASSERT_TRUE(runUntil([&] { return disabled.firedAt.size() == 1; }));

  // Re-armed from inside its callback, as Avahi's D-Bus glue does.
  Calls rearmed;
  rearmed.onTimeout = [&](AvahiTimeout* self) {
    if (rearmed.firedAt.size() < 3) {
      timeval next = wallIn(5ms);
      api_->timeout_update(self, &next);
    }
  };
  timeval now = wallIn(0ms);
  api_->timeout_new(api_, &now, &timeoutCallback, &rearmed);
  ASSERT_TRUE(runUntil([&] { return rearmed.firedAt.size() == 3; }));
  runFor(30ms);
  EXPECT_EQ(rearmed.firedAt.size(), 3u);
}

TEST_F(AsioAvahiPollTest, FreedTimeoutsNeverFire) {
  Calls freedEarly, freedInside;
  timeval soon = wallIn(5ms);
  AvahiTimeout* early = api_->timeout_new(api_, &soon, &timeoutCallback, &freedEarly);
  api_->timeout_free(early);
  freedInside.onTimeout = [&](AvahiTimeout* self) { api_->timeout_free(self); };
  api_->timeout_new(api_, &soon, &timeoutCallback, &freedInside);
  ASSERT_TRUE(runUntil([&] { return !freedInside.firedAt.empty(); }));
  runFor(30ms);
  EXPECT_TRUE(freedEarly.firedAt.empty());
  EXPECT_EQ(freedInside.firedAt.size(), 1u);
  EXPECT_EQ(poll_->timeoutCount(), 0u);
}

// Handlers still queued when the poll goes must not touch it (ASan checks the rest).
TEST_F(AsioAvahiPollTest, QueuedWorkIsDroppedWhenThePollGoes) {
  send("x");
  Calls watchCalls, timeoutCalls;
  api_->watch_new(api_, ends_[0], AVAHI_WATCH_IN, &watchCallback, &watchCalls);
  timeval now = wallIn(0ms);
  api_->timeout_new(api_, &now, &timeoutCallback, &timeoutCalls);
  poll_.reset();
  runFor(30ms);
  EXPECT_TRUE(watchCalls.events.empty());
  EXPECT_TRUE(timeoutCalls.firedAt.empty());
  EXPECT_TRUE(open(ends_[0]));
}

}  // namespace
}  // namespace orvo::platform::avahi
