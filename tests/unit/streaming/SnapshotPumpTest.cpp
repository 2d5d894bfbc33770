#include "streaming/SnapshotPump.h"

#include <gtest/gtest.h>

#include <map>

#include "unit/streaming/StreamingHarness.h"

namespace orvo::testing {
namespace {

using Ids = std::vector<std::uint32_t>;

class SnapshotPumpTest : public ::testing::Test, public StreamingHarness {
 protected:
  SnapshotPumpTest() {
    for (std::uint32_t id : {1u, 2u, 3u, 4u}) {
      windows.add(id, {0, 0, 64, 48}, "App", "", 100);
      capturer.setPicture(id, 64, 48, static_cast<std::uint8_t>(id));
    }
  }

  int kicks() const {
    int count = 0;
    for (const auto& call : activation.calls) count += call.what == "activate";
    return count;
  }
  CaptureMode resolve(std::uint32_t windowId) {
    const CaptureMode mode = pump.resolveEffectiveCaptureMode(windowId);
    loop.drain();
    return mode;
  }
  void makeActive(std::uint32_t windowId) {
    focus.setClientActiveWindow(windowId);
    loop.drain();
  }
};

TEST_F(SnapshotPumpTest, RequestsDuringAFrameCollapseIntoOneFollowUp) {
  request(1);
  EXPECT_EQ(frameWindows(), Ids{1});
  request(1);
  request(1);
  request(1);
  EXPECT_EQ(frameWindows(), Ids{1});
  EXPECT_EQ(pump.pumpState(1), (SnapshotPumpState{true, true, 99.0}));

  EXPECT_TRUE(completeOldest());
  EXPECT_EQ(frameWindows(), (Ids{1, 1}));
  EXPECT_TRUE(completeOldest());
  EXPECT_FALSE(completeOldest());
  EXPECT_EQ(frameWindows(), (Ids{1, 1}));
  EXPECT_EQ(pump.globalHostSnapshotsInFlight(), 0);
  EXPECT_EQ(pump.pumpState(1), (SnapshotPumpState{false, false, 99.0}));
}

TEST_F(SnapshotPumpTest, AtMostTwoInFlightAndTheNewestRequestWinsAFreeSlot) {
  request(1);
  request(2);
  EXPECT_EQ(pump.globalHostSnapshotsInFlight(), 2);
  loop.clock().set(100.0);
  request(3);
  loop.clock().set(100.1);
  request(4);
  EXPECT_EQ(frameWindows(), (Ids{1, 2}));

  completeOldest();
  EXPECT_EQ(frameWindows(), (Ids{1, 2, 4}));
  EXPECT_EQ(pump.pumpState(3), (SnapshotPumpState{false, true, 100.0}));
  completeOldest();
  EXPECT_EQ(frameWindows(), (Ids{1, 2, 4, 3}));
  EXPECT_EQ(pump.globalHostSnapshotsInFlight(), 2);
}

// A client showing four windows asks for each window's next frame as soon as its frame
// arrives: the two newest requests must not take every slot for ever.
TEST_F(SnapshotPumpTest, WithMoreWindowsAskingThanSlotsEveryWindowKeepsGettingFrames) {
  double now = 100.0;
  for (std::uint32_t id : {1u, 2u, 3u, 4u}) {
    loop.clock().set(now += 0.01);
    request(id);
  }
  EXPECT_EQ(frameWindows(), (Ids{1, 2}));
  for (int round = 0; round < 12; ++round) {
    const auto oldest = frameWindows()[static_cast<std::size_t>(round)];
    ASSERT_TRUE(completeOldest());
    loop.clock().set(now += 0.01);
    request(oldest);
  }
  std::map<std::uint32_t, int> counts;
  for (const auto id : frameWindows()) ++counts[id];
  EXPECT_EQ(counts.size(), 4u) << ::testing::PrintToString(frameWindows());
  for (const auto& [id, count] : counts) EXPECT_GE(count, 3) << "window " << id;
  // Only ever two in flight, one per window.
  EXPECT_EQ(pump.globalHostSnapshotsInFlight(), 2);
}

TEST_F(SnapshotPumpTest, ResetForgetsFramesInFlightAndLateCompletionsStayHarmless) {
  request(1);
  request(2);
  pump.resetStreamState();
  EXPECT_EQ(pump.globalHostSnapshotsInFlight(), 2);  // the reset runs on the capture queue
  loop.drain();
  EXPECT_EQ(pump.globalHostSnapshotsInFlight(), 0);
  EXPECT_EQ(pump.pumpStateCount(), 0u);

  completeOldest();
  completeOldest();
  EXPECT_EQ(pump.globalHostSnapshotsInFlight(), 0);
  EXPECT_EQ(pump.pumpState(1), (SnapshotPumpState{false, false, 0}));
  EXPECT_EQ(pump.pumpState(2), (SnapshotPumpState{false, false, 0}));
  EXPECT_EQ(frameWindows(), (Ids{1, 2}));
}

TEST_F(SnapshotPumpTest, RequestsWaitForAConnection) {
  session.setConnection(nullptr);
  request(1);
  EXPECT_TRUE(capturer.calls.empty());
  EXPECT_EQ(pump.pumpState(1), (SnapshotPumpState{false, true, 99.0}));

  auto next = std::make_shared<RecordingConnection>();
  session.setConnection(next);
  loop.clock().set(99.5);
  request(2);
  // Both waiting requests are served, the newer first, on the new connection.
  EXPECT_EQ(framesOf(*next).size(), 2u);
  EXPECT_EQ(framesOf(*next)[0].windowId, 2u);
  EXPECT_TRUE(frames().empty());
}

TEST_F(SnapshotPumpTest, AdmissionRefusesAReplacedConnectionAndAFullHost) {
  auto stale = std::make_shared<RecordingConnection>();
  loop.clock().set(150.0);
  EXPECT_FALSE(pump.admitSnapshot(1, stale));
  EXPECT_EQ(pump.pumpState(1), (SnapshotPumpState{false, false, 0}));
  EXPECT_EQ(pump.globalHostSnapshotsInFlight(), 0);

  EXPECT_TRUE(pump.admitSnapshot(1, connection));
  EXPECT_FALSE(pump.admitSnapshot(1, connection));  // already in flight: waits again
  EXPECT_EQ(pump.pumpState(1), (SnapshotPumpState{false, true, 0}));
  EXPECT_TRUE(pump.admitSnapshot(2, connection));
  EXPECT_FALSE(pump.admitSnapshot(3, connection));  // two in flight
  EXPECT_EQ(pump.pumpState(3), (SnapshotPumpState{false, true, 150.0}));
  EXPECT_EQ(pump.globalHostSnapshotsInFlight(), 2);
}

TEST_F(SnapshotPumpTest, AFrameKeepsTheConnectionThePumpTook) {
  pump.requestSnapshot(1);  // as on the capture queue: the send is queued, not yet run
  auto replacement = std::make_shared<RecordingConnection>();
  session.setConnection(replacement);
  loop.drain();
  EXPECT_EQ(frameWindows(), Ids{1});
  EXPECT_TRUE(replacement->chunks().empty());
}

TEST_F(SnapshotPumpTest, AClosedWindowIsLoggedAndTheNextPendingWindowIsServedAtOnce) {
  request(1);
  request(2);
  capturer.close(3);
  loop.clock().set(100.0);
  request(4);
  loop.clock().set(100.1);
  request(3);
  connection->clearChunks();

  completeOldest();
  EXPECT_TRUE(logger.has("OrvoHost: failed snapshot 3"));
  EXPECT_EQ(frameWindows(), Ids{4});  // nothing of 3 on the wire; 4 went at once
  EXPECT_EQ(pump.pumpState(3), (SnapshotPumpState{false, false, 100.1}));
  EXPECT_EQ(pump.globalHostSnapshotsInFlight(), 2);
}

TEST_F(SnapshotPumpTest, ARequestWithoutWindowIsOnlyLogged) {
  pump.handleSnapshotRequest(std::nullopt);
  loop.drain();
  EXPECT_EQ(logger.lines(), std::vector<std::string>{"OrvoHost: requestWindowSnapshot without windowId"});
  EXPECT_TRUE(capturer.calls.empty());
}

TEST_F(SnapshotPumpTest, OnlyTheActiveWindowIsCapturedComposited) {
  EXPECT_EQ(resolve(1), CaptureMode::isolated);  // no active window yet
  makeActive(1);
  EXPECT_EQ(resolve(1), CaptureMode::composited);  // composited unless told otherwise
  EXPECT_EQ(resolve(2), CaptureMode::isolated);
  pump.setCaptureMode(1, CaptureMode::isolated);
  loop.drain();
  EXPECT_EQ(resolve(1), CaptureMode::isolated);

  // The mode reaches the capturer.
  request(1);
  pump.setCaptureMode(1, CaptureMode::composited);
  loop.drain();
  completeOldest();
  request(1);
  ASSERT_EQ(capturer.calls.size(), 2u);
  EXPECT_EQ(capturer.calls[0].mode, CaptureMode::isolated);
  EXPECT_EQ(capturer.calls[1].mode, CaptureMode::composited);
  EXPECT_EQ(capturer.calls[1].bounds, (Rect{0, 0, 64, 48}));
}

TEST_F(SnapshotPumpTest, ACapturerThatFindsWindowsByItselfIsSparedTheBoundsLookup) {
  for (const bool used : {true, false}) {
    SCOPED_TRACE(used);
    capturer.boundsUsed = used;
    capturer.calls.clear();
    const int copies = windows.listCopies;
    request(2);
    completeOldest();
    ASSERT_EQ(capturer.calls.size(), 1u);
    EXPECT_EQ(capturer.calls[0].bounds, used ? std::optional(Rect{0, 0, 64, 48}) : std::nullopt);
    EXPECT_EQ(windows.listCopies - copies, used ? 1 : 0);
  }
}

TEST_F(SnapshotPumpTest, TurningCompositedKicksTheFocusAtMostEveryQuarterSecond) {
  struct Case {
    double secondsBetween;
    int kicksExpected;
  };
  for (const Case c : {Case{0.2, 1}, Case{0.3, 2}}) {
    SCOPED_TRACE(c.secondsBetween);
    const std::uint32_t a = c.secondsBetween < 0.25 ? 1 : 2;
    activation.calls.clear();
    pump.setCaptureMode(a, CaptureMode::composited);
    makeActive(3);
    EXPECT_EQ(resolve(a), CaptureMode::isolated);
    EXPECT_EQ(kicks(), 0);

    makeActive(a);
    EXPECT_EQ(resolve(a), CaptureMode::composited);
    EXPECT_EQ(kicks(), 1);
    EXPECT_EQ(resolve(a), CaptureMode::composited);  // unchanged: no kick
    EXPECT_EQ(kicks(), 1);

    makeActive(3);
    EXPECT_EQ(resolve(a), CaptureMode::isolated);
    loop.advance(c.secondsBetween);
    makeActive(a);
    EXPECT_EQ(resolve(a), CaptureMode::composited);
    EXPECT_EQ(kicks(), c.kicksExpected);
  }
}

TEST_F(SnapshotPumpTest, NoKickWithoutRemoteControl) {
  session.permitted = false;
  makeActive(1);
  EXPECT_EQ(resolve(1), CaptureMode::composited);
  EXPECT_EQ(kicks(), 0);
}

TEST_F(SnapshotPumpTest, ProfileFollowsInputAndRefineTimes) {
  const auto profileAt = [this](std::uint32_t windowId, double time) {
    return pump.chooseStreamProfile(windowId, time).name;
  };
  // Nothing since start: the first frame is a refine frame.
  EXPECT_EQ(profileAt(1, 99.0), "ref");

  pump.noteInput(1);  // pointer input at 99.0
  loop.drain();
  EXPECT_EQ(profileAt(1, 99.1), "int");
  EXPECT_EQ(profileAt(2, 99.1), "int");  // input anywhere keeps every window interactive
  EXPECT_EQ(profileAt(1, 100.0), "ref");

  pump.noteRefineSent(1, 100.0);
  loop.drain();
  EXPECT_EQ(profileAt(1, 100.2), "int");
  EXPECT_EQ(profileAt(1, 100.5), "ref");
  EXPECT_EQ(profileAt(2, 100.2), "ref");  // refine spacing is per window

  loop.advanceTo(101.0);
  pump.noteInput(std::nullopt);  // keyboard input
  loop.drain();
  EXPECT_EQ(profileAt(3, 101.1), "int");
  EXPECT_EQ(profileAt(3, 101.3), "ref");
}

TEST_F(SnapshotPumpTest, PointerInputMakesItsWindowActiveAndKeyboardInputDoesNot) {
  pump.noteInput(2);
  loop.drain();
  EXPECT_EQ(focus.clientActiveWindow(), 2u);
  pump.noteInput(std::nullopt);
  loop.drain();
  EXPECT_EQ(focus.clientActiveWindow(), 2u);
}

TEST_F(SnapshotPumpTest, ClientNamingEverNewWindowsCannotGrowThePump) {
  session.setConnection(nullptr);  // every request stays pending
  const std::uint32_t last = 1000 + static_cast<std::uint32_t>(maxTrackedWindows);
  for (std::uint32_t id = 1000; id <= last; ++id) pump.requestSnapshot(id);
  EXPECT_EQ(pump.pumpStateCount(), maxTrackedWindows);
  EXPECT_FALSE(pump.pumpState(last).has_value());  // full of waiting windows: dropped

  // Served (and failed, as none of them exists), the entries are idle and make room.
  session.setConnection(connection);
  pump.requestSnapshot(1);
  loop.drain();
  EXPECT_EQ(logger.countPrefix("OrvoHost: failed snapshot"), maxTrackedWindows);
  pump.requestSnapshot(last);
  EXPECT_EQ(pump.pumpState(last), (SnapshotPumpState{false, false, 99.0}));
  EXPECT_LE(pump.pumpStateCount(), 2u);
}

}  // namespace
}  // namespace orvo::testing
