#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/testing/VirtualLoop.h"
#include "environment/HostAwakeController.h"
#include "environment/HostPowerLockObserver.h"
#include "fakes/FakePlatform.h"

namespace orvo {
namespace {

using platform::PowerLockEvent;

class HostPowerLockObserverTest : public ::testing::Test {
 protected:
  HostPowerLockObserverTest() { install(*observer); }
  void install(HostPowerLockObserver& target) {
    target.onSleep() = [this] { calls.push_back("sleep"); };
    target.onWake() = [this] { calls.push_back("wake"); };
    target.onLock() = [this] { calls.push_back("lock"); };
    target.onUnlock() = [this] { calls.push_back("unlock"); };
  }

  testing::VirtualLoop loop;
  testing::FakePowerLockEvents events;
  std::unique_ptr<HostPowerLockObserver> observer = std::make_unique<HostPowerLockObserver>(loop.main(), events);
  std::vector<std::string> calls;
};

TEST_F(HostPowerLockObserverTest, EventsRunTheirCallbacksLaterOnTheMainQueueInOrder) {
  events.fire(PowerLockEvent::locked);
  events.fire(PowerLockEvent::willSleep);
  observer->handleDidWake();  // the entry points behave the same
  observer->handleUnlocked();
  EXPECT_TRUE(calls.empty());  // nothing runs inside the report
  EXPECT_FALSE(*observer->isScreenLocked());
  std::vector<bool> locked;
  auto subscription = observer->isScreenLocked().subscribe([&](bool value) { locked.push_back(value); });
  loop.drain();
  EXPECT_EQ(calls, (std::vector<std::string>{"lock", "sleep", "wake", "unlock"}));
  EXPECT_EQ(locked, (std::vector<bool>{false, true, false}));
}

TEST_F(HostPowerLockObserverTest, TheCallbackSetWhenTheWorkRunsIsTheOneCalled) {
  events.fire(PowerLockEvent::locked);
  events.fire(PowerLockEvent::willSleep);
  observer->onLock() = [this] { calls.push_back("new lock"); };
  observer->onSleep() = nullptr;
  loop.drain();
  EXPECT_EQ(calls, std::vector<std::string>{"new lock"});
  EXPECT_TRUE(*observer->isScreenLocked());  // recorded even without a callback to call
}

TEST_F(HostPowerLockObserverTest, NothingRunsOnceTheObserverIsGoneAndItUnsubscribes) {
  events.fire(PowerLockEvent::locked);
  observer->handleWillSleep();
  observer.reset();
  EXPECT_FALSE(events.handler);
  loop.drain();
  EXPECT_TRUE(calls.empty());
}

TEST_F(HostPowerLockObserverTest, ReportsFromAnotherThreadOnlyHopToTheMainQueue) {
  std::thread([&] { events.fire(PowerLockEvent::locked); }).join();
  EXPECT_TRUE(calls.empty());
  loop.drain();
  EXPECT_EQ(calls, std::vector<std::string>{"lock"});
}

// The activity is every part held together: taken once, released once, also on destruction.
TEST(HostAwakeController, HoldsAndReleasesEveryPartOnce) {
  testing::FakeSleepInhibitor logind;
  testing::FakeSleepInhibitor display;
  {
    HostAwakeController awake({&logind, &display});
    awake.end();  // nothing held: nothing to release
    awake.begin("Orvo streaming active");
    awake.begin("Orvo streaming active");
    EXPECT_TRUE(awake.isHeld());
    EXPECT_EQ(logind.begins + display.begins, 2);
    EXPECT_EQ(display.reason, "Orvo streaming active");
    awake.end();
    awake.end();
    EXPECT_EQ(logind.ends + display.ends, 2);
    awake.begin("again");
  }
  EXPECT_FALSE(logind.held);
  EXPECT_FALSE(display.held);
  EXPECT_EQ(logind.ends, 2);
}

}  // namespace
}  // namespace orvo
