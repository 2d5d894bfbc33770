#include "input/WindowFocus.h"

#include <gtest/gtest.h>

#include "core/testing/VirtualLoop.h"
#include "fakes/FakePlatform.h"
#include "fakes/FakeSession.h"
#include "fakes/FakeWindowServer.h"
#include "streaming/WindowCatalogue.h"
#include "support/RecordingLogger.h"

namespace orvo::testing {
namespace {

class WindowFocusTest : public ::testing::Test {
 protected:
  WindowFocusTest() {
    // Front to back: a menu popup (layer 20) over window 2, which overlaps window 1.
    windows.add(30, {90, 90, 50, 50}, "Menu", "", 300, /*layer=*/20);
    windows.add(2, {100, 100, 200, 200}, "Other", "", 200);
    windows.add(1, {0, 0, 400, 400}, "App", "", 100);
    windows.add(3, {0, 0, 10, 10}, "App", "", 100, 0, /*onScreen=*/false);
    activation.applications = {{100, "App"}, {200, std::nullopt}};
    activation.windowsByPid[100] = {3, 1};
  }

  std::vector<std::string> callNames() const {
    std::vector<std::string> names;
    for (const auto& call : activation.calls) names.push_back(call.what);
    return names;
  }

  VirtualLoop loop{1000.0};
  RecordingLogger logger;
  FakeWindowServer windows;
  FakeSession session;
  FakeWindowActivation activation;
  std::unique_ptr<SerialQueue> focusQueue = loop.makeSerialQueue("orvo.host.focusState", QueuePriority::unspecified);
  WindowCatalogue catalogue{windows, session, loop.main(), loop.clock(), logger};
  WindowFocus focus{session, catalogue, windows, activation, *focusQueue, loop.main(), loop.clock(), logger};
};

TEST_F(WindowFocusTest, TopWindowIsTheFrontNormalWindowAtThePoint) {
  EXPECT_EQ(focus.topWindowAt({150, 150}), 2u);  // the popup above does not count
  EXPECT_EQ(focus.topWindowAt({50, 50}), 1u);
  EXPECT_EQ(focus.topWindowAt({5, 5}), 1u);  // the hidden window 3 is not on screen
  EXPECT_EQ(focus.topWindowAt({1000, 1000}), std::nullopt);
}

TEST_F(WindowFocusTest, AdmissionRefusesCoveredPointsAndTellsTheClient) {
  EXPECT_TRUE(focus.isInputAllowed(1, {50, 50}));
  EXPECT_TRUE(focus.isInputAllowed(1, {1000, 1000}));  // over no window at all
  EXPECT_TRUE(focus.isInputAllowed(2, {120, 120}));    // a menu lies over the point: it does not count
  EXPECT_FALSE(focus.isInputAllowed(1, {150, 150}));
  EXPECT_TRUE(logger.has("OrvoHost: Input rejected: top window (2) != target (1)"));
  ASSERT_EQ(session.rejections.size(), 1u);
  EXPECT_EQ(session.rejections[0].windowId, 1u);
  EXPECT_EQ(session.rejections[0].reason, "Input rejected: top window (2) != target (1)");
  EXPECT_EQ(session.rejections[0].timestamp, 1000.0);
}

TEST_F(WindowFocusTest, FocusIsThrottledPerWindowUnlessForced) {
  focus.focusWindow(1, false);
  loop.advance(0.1);
  focus.focusWindow(1, false);  // dropped
  loop.advance(0.1);
  focus.focusWindow(1, false);  // 0.2 s after the first: acts
  focus.focusWindow(2, false);  // another window: acts
  focus.focusWindow(2, true);   // forced: acts
  loop.drain();
  int activations = 0;
  for (const auto& call : activation.calls) activations += call.what == "activate";
  EXPECT_EQ(activations, 4);
}

TEST_F(WindowFocusTest, FocusChoosesTheMatchingWindowElseTheFirst) {
  focus.focusWindow(1, true);
  loop.drain();
  ASSERT_GE(activation.calls.size(), 3u);
  EXPECT_EQ(callNames(), (std::vector<std::string>{"activate", "windows", "focus", "raise"}));
  EXPECT_EQ(activation.calls[2].b, 1);
  EXPECT_EQ(activation.calls[3].a, 1);

  activation.calls.clear();
  activation.windowsByPid[100] = {7, 8};
  focus.focusWindow(1, true);
  loop.drain();
  EXPECT_EQ(activation.calls[2].b, 7);
}

TEST_F(WindowFocusTest, NothingMovesWithoutPermission) {
  session.permitted = false;
  focus.focusWindow(1, true);
  focus.bringWindowToFront(1);
  loop.drain();
  EXPECT_TRUE(activation.calls.empty());
  EXPECT_TRUE(logger.lines().empty());
}

TEST_F(WindowFocusTest, BringToFrontRaisesTheFirstWindowAndLogsFailures) {
  focus.bringWindowToFront(1);
  EXPECT_TRUE(logger.has("OrvoHost: bringWindowToFront – AX trusted = true"));
  EXPECT_TRUE(logger.has("OrvoHost: bringWindowToFront – raised *first* AX window for pid 100"));
  EXPECT_EQ(activation.calls.back().a, 3);  // the first listed, not the target

  activation.raiseResult = 3;
  focus.bringWindowToFront(1);
  EXPECT_TRUE(logger.has("OrvoHost: bringWindowToFront – AXRaise failed (result 3) for pid 100"));

  focus.bringWindowToFront(2);  // its application lists no windows
  EXPECT_TRUE(logger.has("OrvoHost: bringWindowToFront – could not fetch AX windows (result 0) for pid 200"));

  focus.bringWindowToFront(99);
  EXPECT_TRUE(logger.has("OrvoHost: bringWindowToFront – no PID for window 99"));
}

TEST_F(WindowFocusTest, ActivationLogsTheApplicationOrTheMissingOwner) {
  focus.activateOwningApp(1);
  EXPECT_TRUE(logger.has("OrvoHost: activating app App (pid 100) for window 1"));
  focus.activateOwningApp(2);
  EXPECT_TRUE(logger.has("OrvoHost: activating app Unknown (pid 200) for window 2"));
  focus.activateOwningApp(99);
  EXPECT_TRUE(logger.has("OrvoHost: could not resolve owner PID for window 99"));
}

TEST_F(WindowFocusTest, ClientActiveWindowIsWrittenOnTheFocusQueue) {
  EXPECT_EQ(focus.clientActiveWindow(), std::nullopt);
  focus.setClientActiveWindow(5);
  EXPECT_EQ(focus.clientActiveWindow(), 5u);
}

}  // namespace
}  // namespace orvo::testing
