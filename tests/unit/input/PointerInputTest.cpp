#include <cmath>
#include <limits>

#include "unit/input/InputHarness.h"

namespace orvo::testing {
namespace {

using platform::MouseButton;
using platform::MouseEventType;

constexpr const char* kPermissionReason =
    "Remote control is disabled on this Mac (enable ‘Allow Orvo to control this Mac’ and grant Accessibility).";

class PointerInputTest : public InputHarness {
 protected:
  PointerInput& pointer() { return input.pointer(); }

  // A click request and the 0.15 s until it is performed.
  void click(std::uint32_t windowId, double normX, double normY, std::optional<std::string> button = std::nullopt) {
    input.handlePointerRequest(request("mouseClick", windowId, normX, normY, std::move(button)));
    loop.advance(0.2);
  }

  std::vector<std::int64_t> clickCounts() const {
    std::vector<std::int64_t> counts;
    for (const auto& post : injector.posts) {
      if (post.kind == "mouse" && post.type == MouseEventType::down) counts.push_back(post.clickCount);
    }
    return counts;
  }
};

TEST_F(PointerInputTest, ClickActivatesTheApplicationThenClicksAfterTheDelay) {
  input.handlePointerRequest(request("mouseClick", 7, 0.5, 0.5));
  EXPECT_TRUE(logger.has(
      "OrvoHost: received mouseClick request: OrvoRequest(type: \"mouseClick\", windowId: 7, normX: 0.5, normY: 0.5, "
      "button: nil)"));
  EXPECT_EQ(recorder.notes, (std::vector<std::optional<std::uint32_t>>{7u}));
  loop.drain();
  EXPECT_EQ(activatedPids(), (std::vector<std::int64_t>{100}));
  EXPECT_TRUE(logger.has("OrvoHost: activating app App (pid 100) for window 7"));
  EXPECT_TRUE(injector.posts.empty());

  loop.advance(0.1);
  EXPECT_TRUE(injector.posts.empty());
  loop.advance(0.1);
  ASSERT_EQ(injector.posts.size(), 2u);
  EXPECT_EQ(injector.posts[0].type, MouseEventType::down);
  EXPECT_EQ(injector.posts[1].type, MouseEventType::up);
  for (const auto& post : injector.posts) {
    EXPECT_EQ(post.button, MouseButton::primary);
    EXPECT_EQ(post.at, (Point{500, 350}));
    EXPECT_EQ(post.clickCount, 1);
  }
  EXPECT_TRUE(logger.has("OrvoHost: bringWindowToFront – raised *first* AX window for pid 100"));
  EXPECT_TRUE(logger.has("OrvoHost: performed left click on window 7 at (500.0, 350.0)"));
}

TEST_F(PointerInputTest, ClickPointMapsNormalizedCoordinatesWithoutClamping) {
  windows.add(9, {900, 50, -800, 600});  // a rectangle given with negative width
  struct Case {
    std::uint32_t window;
    double normX, normY;
    Point expected;
  };
  const Case cases[] = {
      {7, 0.5, 0.5, {500, 350}}, {7, 0, 0, {100, 50}}, {7, 1.25, 0.5, {1100, 350}}, {9, 0.5, 0.5, {500, 350}}};
  for (const auto& c : cases) {
    EXPECT_EQ(pointer().clickPoint(c.window, c.normX, c.normY), c.expected) << c.window << " " << c.normX;
  }
  EXPECT_EQ(pointer().clickPoint(99, 0.5, 0.5), std::nullopt);
  EXPECT_TRUE(logger.has("OrvoHost: no bounds for window 99"));

  click(99, 0.5, 0.5);
  EXPECT_TRUE(logger.has("OrvoHost: no clickPoint for window 99"));
  EXPECT_TRUE(logger.has("OrvoHost: could not resolve owner PID for window 99"));
  EXPECT_TRUE(injector.posts.empty());
}

TEST(MultiClickInterval, IsTheSystemIntervalOfAtLeastHalfASecondPlusSlack) {
  EXPECT_DOUBLE_EQ(multiClickInterval(0.25), 0.65);
  EXPECT_DOUBLE_EQ(multiClickInterval(0.5), 0.65);
  EXPECT_DOUBLE_EQ(multiClickInterval(0.8), 0.95);
  EXPECT_DOUBLE_EQ(multiClickInterval(systemDoubleClickInterval), 0.65);
}

TEST_F(PointerInputTest, ClickCountFollowsTimeDistanceWindowAndButton) {
  struct Click {
    std::uint32_t window;
    std::string button;
    double time;
    Point point;
    std::int64_t expected;
  };
  struct Sequence {
    const char* name;
    std::vector<Click> clicks;
  };
  const Point p{500, 350};
  const std::vector<Sequence> sequences = {
      {"quick clicks count up to three and stay there",
       {{7, "left", 10.0, p, 1}, {7, "left", 10.3, {505, 350}, 2}, {7, "left", 10.6, {505, 350}, 3},
        {7, "left", 10.9, {505, 350}, 3}}},
      {"18.0 away still continues", {{7, "left", 10.0, p, 1}, {7, "left", 10.1, {518, 350}, 2}}},
      {"18.01 away starts over", {{7, "left", 10.0, p, 1}, {7, "left", 10.1, {518.01, 350}, 1}}},
      {"0.65 s apart continues", {{7, "left", 0.25, p, 1}, {7, "left", 0.9, p, 2}}},
      {"0.66 s apart starts over", {{7, "left", 0.25, p, 1}, {7, "left", 0.91, p, 1}}},
      {"same time value", {{7, "left", 5.0, p, 1}, {7, "left", 5.0, p, 1}}},
      {"time going back", {{7, "left", 5.0, p, 1}, {7, "left", 4.9, p, 1}}},
      {"another button string", {{7, "left", 5.0, p, 1}, {7, "Right", 5.1, p, 1}, {7, "Right", 5.2, p, 2}}},
      {"another window", {{7, "left", 5.0, p, 1}, {8, "left", 5.1, p, 1}}},
  };
  const double interval = multiClickInterval(systemDoubleClickInterval);
  for (const auto& sequence : sequences) {
    input.resetClickTracking();
    loop.drain();
    for (const auto& c : sequence.clicks) {
      const auto count = clickQueue->sync(
          [&] { return pointer().nextClickCount(c.window, c.button, c.time, c.point, interval, multiClickRadius); });
      EXPECT_EQ(count, c.expected) << sequence.name << " at " << c.time;
    }
  }
}

TEST_F(PointerInputTest, ANewSessionStartsANewClickSequence) {
  click(7, 0.5, 0.5);
  click(7, 0.5, 0.5);  // 0.2 s later: a double click
  input.resetClickTracking();
  EXPECT_EQ(injector.releases, 1);  // the session's input is let go as well
  click(7, 0.5, 0.5);
  EXPECT_EQ(clickCounts(), (std::vector<std::int64_t>{1, 2, 1}));
}

TEST_F(PointerInputTest, ButtonStringsSelectTheButtonExactly) {
  struct Case {
    std::optional<std::string> button;
    MouseButton expected;
  };
  const Case cases[] = {{"right", MouseButton::secondary},
                        {"Right", MouseButton::primary},
                        {"middle", MouseButton::primary},
                        {std::nullopt, MouseButton::primary}};
  for (const auto& c : cases) {
    injector.posts.clear();
    input.handlePointerRequest(request("mouseDown", 7, 0.5, 0.5, c.button));
    ASSERT_EQ(injector.posts.size(), 1u);
    EXPECT_EQ(injector.posts[0].button, c.expected) << c.button.value_or("(absent)");
  }
  click(7, 0.5, 0.5, "right");
  EXPECT_TRUE(logger.has("OrvoHost: performed right click on window 7 at (500.0, 350.0)"));
  EXPECT_EQ(injector.posts.back().button, MouseButton::secondary);
}

TEST_F(PointerInputTest, DownDragAndUpArePostedAtOnceWithoutActivation) {
  input.handlePointerRequest(request("mouseDown", 7, 0.25, 0.25));
  input.handlePointerRequest(request("mouseDrag", 7, 0.3, 0.25));
  input.handlePointerRequest(request("mouseUp", 7, 0.35, 0.25));
  ASSERT_EQ(injector.posts.size(), 3u);
  EXPECT_EQ(injector.posts[0].type, MouseEventType::down);
  EXPECT_EQ(injector.posts[1].type, MouseEventType::dragged);
  EXPECT_EQ(injector.posts[2].type, MouseEventType::up);
  EXPECT_EQ(injector.posts[0].at, (Point{300, 200}));
  EXPECT_EQ(injector.posts[2].at, (Point{380, 200}));
  loop.advance(1);
  EXPECT_TRUE(activation.calls.empty());
  EXPECT_EQ(recorder.notes.size(), 3u);
}

TEST_F(PointerInputTest, CoveredPointsAreRefusedAndNothingIsPosted) {
  click(7, 0.75, 0.75);  // (700, 500) lies under window 8
  input.handlePointerRequest(request("mouseDown", 7, 0.75, 0.75));
  EXPECT_TRUE(injector.posts.empty());
  EXPECT_TRUE(logger.has("OrvoHost: Input rejected: top window (8) != target (7)"));
  ASSERT_EQ(session.rejections.size(), 2u);
  EXPECT_EQ(session.rejections[0].reason, "Input rejected: top window (8) != target (7)");
  // The refused click left click tracking alone: the next click starts at 1.
  click(7, 0.5, 0.5);
  EXPECT_EQ(clickCounts(), (std::vector<std::int64_t>{1}));
}

TEST_F(PointerInputTest, WithoutPermissionOnlyRequestsNamingAWindowAreAnswered) {
  session.permitted = false;
  input.handlePointerRequest(request("mouseScroll", std::nullopt, std::nullopt, 10));
  EXPECT_TRUE(session.rejections.empty());
  click(7, 0.5, 0.5);
  input.handlePointerRequest(request("mouseDown", 7, 0.5, 0.5));
  ASSERT_EQ(session.rejections.size(), 2u);
  EXPECT_EQ(session.rejections[0].windowId, 7u);
  EXPECT_EQ(session.rejections[0].reason, kPermissionReason);
  EXPECT_EQ(session.rejections[0].timestamp, 1000.0);
  EXPECT_TRUE(injector.posts.empty());
  EXPECT_TRUE(recorder.notes.empty());
  EXPECT_TRUE(activation.calls.empty());
  EXPECT_TRUE(logger.lines().empty());
}

TEST_F(PointerInputTest, IncompleteRequestsAreLoggedAfterTheInputIsNoted) {
  struct Case {
    OrvoRequest request;
    const char* line;
  };
  const Case cases[] = {
      {request("mouseClick", std::nullopt, 0.5, 0.5), "OrvoHost: mouseClick missing windowId or coords"},
      {request("mouseClick", 7, std::nullopt, 0.5), "OrvoHost: mouseClick missing windowId or coords"},
      {request("mouseDown", 7, 0.5, std::nullopt), "OrvoHost: mouseDown missing windowId or coords"},
      {request("mouseDrag", std::nullopt, 0.5, 0.5), "OrvoHost: mouseDrag missing windowId or coords"},
      {request("mouseUp", 7, std::nullopt, std::nullopt), "OrvoHost: mouseUp missing windowId or coords"},
      {request("mouseScroll", 7, 3, std::nullopt), "OrvoHost: mouseScroll missing deltaY"},
  };
  for (const auto& c : cases) {
    logger.clear();
    recorder.notes.clear();
    input.handlePointerRequest(c.request);
    loop.advance(0.2);
    EXPECT_TRUE(logger.has(c.line)) << c.line;
    EXPECT_EQ(recorder.notes, (std::vector<std::optional<std::uint32_t>>{c.request.windowId}));
  }
  EXPECT_TRUE(injector.posts.empty());
  EXPECT_TRUE(activation.calls.empty());
}

TEST_F(PointerInputTest, FailedEventsAreLogged) {
  injector.failMouse = true;
  click(7, 0.5, 0.5);
  input.handlePointerRequest(request("mouseDown", 7, 0.5, 0.5));
  input.handlePointerRequest(request("mouseDrag", 7, 0.5, 0.5));
  input.handlePointerRequest(request("mouseUp", 7, 0.5, 0.5));
  EXPECT_TRUE(logger.has("OrvoHost: failed to create mouse events"));
  EXPECT_TRUE(logger.has("OrvoHost: failed to create mouseDown event"));
  EXPECT_TRUE(logger.has("OrvoHost: failed to create mouseDragged event"));
  EXPECT_TRUE(logger.has("OrvoHost: failed to create mouseUp event"));
  EXPECT_FALSE(logger.has("OrvoHost: performed left click on window 7 at (500.0, 350.0)"));
}

TEST_F(PointerInputTest, ScrollDeltasAreHalvedAndTruncated) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::optional<double> normX;
    double normY;
    std::optional<std::pair<std::int32_t, std::int32_t>> posted;  // (deltaY, deltaX)
  };
  const Case cases[] = {
      {std::nullopt, 10, std::pair{5, 0}},
      {std::nullopt, 1, std::nullopt},
      {std::nullopt, -3, std::pair{-1, 0}},
      {7, 0, std::pair{0, 3}},
      {-1.9, 1.9, std::nullopt},
      {std::nullopt, 4294967295.0, std::pair{2147483647, 0}},  // the half still fits
      {std::nullopt, -4294967296.0, std::pair{-2147483648, 0}},
  };
  for (const auto& c : cases) {
    injector.posts.clear();
    input.handlePointerRequest(request("mouseScroll", std::nullopt, c.normX, c.normY));
    if (c.posted) {
      ASSERT_EQ(injector.posts.size(), 1u) << c.normY;
      EXPECT_EQ(injector.posts[0].deltaY, c.posted->first) << c.normY;
      EXPECT_EQ(injector.posts[0].deltaX, c.posted->second) << c.normY;
    } else {
      EXPECT_TRUE(injector.posts.empty()) << c.normY;
    }
  }
  EXPECT_FALSE(logger.has("OrvoHost: mouseScroll delta out of range; dropped"));

  injector.posts.clear();
  const Case dropped[] = {{std::nullopt, std::nan(""), std::nullopt},
                          {std::nullopt, 1e10, std::nullopt},
                          {std::nullopt, -4294967298.0, std::nullopt},
                          {inf, 10, std::nullopt}};
  for (const auto& c : dropped) {
    logger.clear();
    input.handlePointerRequest(request("mouseScroll", std::nullopt, c.normX, c.normY));
    EXPECT_TRUE(logger.has("OrvoHost: mouseScroll delta out of range; dropped")) << c.normY;
  }
  EXPECT_TRUE(injector.posts.empty());
}

TEST_F(PointerInputTest, ScrollFocusesItsTargetOrTheActiveWindowAfterPosting) {
  input.handlePointerRequest(request("mouseScroll", std::nullopt, std::nullopt, 10));
  loop.drain();
  EXPECT_EQ(injector.posts.size(), 1u);  // no window known: nothing focused, still posted
  EXPECT_TRUE(activatedPids().empty());

  input.handlePointerRequest(request("mouseScroll", 8, std::nullopt, 10));
  EXPECT_TRUE(activatedPids().empty());  // the focusing runs later, after the post
  EXPECT_EQ(injector.posts.size(), 2u);
  loop.drain();
  EXPECT_EQ(activatedPids(), (std::vector<std::int64_t>{200}));

  focus.setClientActiveWindow(7);
  loop.advance(1);
  input.handlePointerRequest(request("mouseScroll", std::nullopt, std::nullopt, -10));
  loop.drain();
  EXPECT_EQ(activatedPids(), (std::vector<std::int64_t>{200, 100}));
}

}  // namespace
}  // namespace orvo::testing
