// Input on a Wayland desktop through the portal: where a point of the host's display space
// lands (which stream, which point of it), and the Notify* calls each post becomes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <sstream>

#include "platform/linux/input/WheelAccumulator.h"
#include "platform/linux/wayland/portal/PortalInputInjector.h"
#include "platform/linux/wayland/portal/PortalSession.h"
#include "platform/linux/wayland/portal/PortalWindowList.h"
#include "support/RecordingLogger.h"

namespace orvo::platform::portal {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Records each call as the portal would be called.
class RecordingSink final : public PortalInputSink {
 public:
  void notifyPointerMotionAbsolute(std::uint32_t stream, double x, double y) override {
    std::ostringstream line;
    line << "motion " << stream << " " << x << " " << y;
    calls.push_back(line.str());
  }
  void notifyPointerButton(std::int32_t button, bool pressed) override {
    calls.push_back("button " + std::to_string(button) + (pressed ? " down" : " up"));
  }
  void notifyPointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) override {
    calls.push_back("axis " + std::to_string(axis) + " " + std::to_string(steps));
  }
  void notifyKeyboardKeycode(std::int32_t keycode, bool pressed) override {
    calls.push_back("code " + std::to_string(keycode) + (pressed ? " down" : " up"));
  }
  void notifyKeyboardKeysym(std::uint32_t keysym, bool pressed) override {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%#x", keysym);
    calls.push_back(std::string("key ") + hex + (pressed ? " down" : " up"));
  }
  // Calls not yet answered: every call, until the test says the desktop took them.
  std::size_t queuedInput() const override { return calls.size() - answered; }
  std::vector<std::string> calls;
  std::size_t answered = 0;
};

class PortalInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    windows.publish({{.windowId = 7, .nodeId = 41, .title = "Notes", .width = 800, .height = 600, .slot = 0},
                     {.windowId = 9, .nodeId = 57, .title = "Mail", .width = 300, .height = 200, .slot = 1},
                     {.windowId = 11, .nodeId = 60, .title = "No picture yet", .slot = 2}});
    injector.setSink(sink);
  }
  std::vector<std::string> take() { return std::exchange(sink->calls, {}); }

  PortalWindowList windows;
  testing::RecordingLogger logger;
  PortalInputInjector injector{windows, logger};
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
};

TEST_F(PortalInputTest, SharedWindowsLieSideBySideAndOnlyThoseWithAPictureAreListed) {
  const auto list = windows.copyWindowInfo(WindowListOption::onScreenOnly);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].number, 7u);
  EXPECT_EQ(list[0].bounds, (Rect{0, 0, 800, 600}));
  EXPECT_EQ(list[0].name, "Notes");
  EXPECT_EQ(list[0].layer, 0);
  EXPECT_EQ(list[1].bounds, (Rect{PortalWindowList::slotWidth, 0, 300, 200}));
  EXPECT_EQ(windows.copyWindowInfo(WindowListOption::all).size(), 2u);
}

TEST_F(PortalInputTest, APointLandsOnItsWindowsStreamInTheStreamsOwnCoordinates) {
  struct Case {
    Point at;
    std::optional<std::uint32_t> node;
    double x = 0, y = 0;
  };
  const double second = PortalWindowList::slotWidth;
  for (const Case& c : {Case{{400, 300}, 41, 400, 300},
                        Case{{second + 10.5, 20.25}, 57, 10.5, 20.25},
                        // Past an edge: clamped onto it, as a pointer on a screen's edge.
                        Case{{second + 5000, -40}, 57, 299, 0},
                        Case{{-3, 700}, std::nullopt},  // left of the first slot: nothing there
                        Case{{2 * second + 5, 5}, std::nullopt},  // a window without a picture
                        Case{{3 * second + 5, 5}, std::nullopt},
                        Case{{std::nan(""), 5}, std::nullopt}}) {
    const auto target = windows.streamAt(c.at);
    ASSERT_EQ(target.has_value(), c.node.has_value()) << c.at.x << "," << c.at.y;
    if (!target) continue;
    EXPECT_EQ(target->nodeId, *c.node);
    EXPECT_DOUBLE_EQ(target->x, c.x);
    EXPECT_DOUBLE_EQ(target->y, c.y);
  }
}

TEST_F(PortalInputTest, AClickIsMotionOnTheStreamThenTheButtonsLinuxCode) {
  const double second = PortalWindowList::slotWidth;
  EXPECT_TRUE(injector.postMouse(MouseEventType::down, MouseButton::primary, {second + 12, 34}, 1));
  EXPECT_TRUE(injector.postMouse(MouseEventType::dragged, MouseButton::primary, {second + 40, 50}, 1));
  EXPECT_TRUE(injector.postMouse(MouseEventType::up, MouseButton::primary, {second + 40, 50}, 1));
  EXPECT_TRUE(injector.postMouse(MouseEventType::down, MouseButton::secondary, {5, 6}, 1));
  EXPECT_TRUE(injector.postMouse(MouseEventType::up, MouseButton::secondary, {5, 6}, 1));
  EXPECT_THAT(take(), ElementsAre("motion 57 12 34", "button 272 down", "motion 57 40 50", "motion 57 40 50",
                                  "button 272 up", "motion 41 5 6", "button 273 down", "motion 41 5 6",
                                  "button 273 up"));
}

TEST_F(PortalInputTest, APressWithNowhereToGoIsDroppedAndAReleaseStillLetsGo) {
  EXPECT_TRUE(injector.postMouse(MouseEventType::down, MouseButton::primary, {10, 10}, 1));
  take();
  // The window left the list between press and release.
  windows.publish({});
  EXPECT_FALSE(injector.postMouse(MouseEventType::up, MouseButton::primary, {10, 10}, 1));
  EXPECT_THAT(take(), ElementsAre("button 272 up"));
  EXPECT_FALSE(injector.postMouse(MouseEventType::down, MouseButton::primary, {10, 10}, 1));
  EXPECT_THAT(take(), IsEmpty());
}

TEST_F(PortalInputTest, PixelScrollingBecomesWheelStepsWithTheRemainderCarried) {
  constexpr std::int32_t step = WheelAccumulator::pixelsPerClick;
  // Content down (toward the top) is a step up: negative on the portal's axis.
  injector.postScroll(2 * step, 0);
  injector.postScroll(step / 2, -step);
  injector.postScroll(step / 2, 0);
  injector.postScroll(-step, 0);
  EXPECT_THAT(take(), ElementsAre("axis 0 -2", "axis 1 1", "axis 0 -1", "axis 0 1"));
}

TEST_F(PortalInputTest, KeysAndCharactersAreKeysymsAfterOneLoneShiftPerSession) {
  injector.postCharacter(U'a');
  injector.postCharacter(U'\u00E9');      // Latin-1 as itself
  injector.postCharacter(U'\u0436');      // the keysym layouts use: Cyrillic_zhe
  injector.postCharacter(U'\U0001F600');  // none: 0x01000000 + code point
  injector.postKey(51);                   // backspace
  injector.postCharacter(U'\x03');        // Ctrl+C
  EXPECT_FALSE(injector.postCharacter(0x85));  // a C1 control types nothing
  EXPECT_FALSE(injector.postKey(999));
  EXPECT_THAT(take(), ElementsAre("key 0xffe1 down", "key 0xffe1 up", "key 0x61 down", "key 0x61 up",
                                  "key 0xe9 down", "key 0xe9 up", "key 0x6d6 down", "key 0x6d6 up",
                                  "key 0x101f600 down", "key 0x101f600 up", "key 0xff08 down", "key 0xff08 up",
                                  "key 0xffe3 down", "key 0x63 down", "key 0x63 up", "key 0xffe3 up"));
  // A new session's keyboard is woken again.
  auto next = std::make_shared<RecordingSink>();
  injector.setSink(next);
  injector.postKey(36);
  EXPECT_THAT(next->calls, ElementsAre("key 0xffe1 down", "key 0xffe1 up", "key 0xff0d down", "key 0xff0d up"));
}

TEST_F(PortalInputTest, ANewSessionOrTheEndOfOneLetsGoOfWhatIsHeld) {
  injector.postMouse(MouseEventType::down, MouseButton::primary, {10, 10}, 1);
  take();
  injector.releaseAll();
  EXPECT_THAT(take(), ElementsAre("button 272 up"));
  injector.releaseAll();
  EXPECT_THAT(take(), IsEmpty());
  injector.postMouse(MouseEventType::down, MouseButton::secondary, {10, 10}, 1);
  take();
  injector.setSink(nullptr);
  EXPECT_THAT(take(), ElementsAre("button 273 up"));
  // Without a session nothing can be posted.
  EXPECT_FALSE(injector.postMouse(MouseEventType::down, MouseButton::primary, {10, 10}, 1));
  EXPECT_FALSE(injector.postScroll(100, 0));
  EXPECT_FALSE(injector.postCharacter(U'a'));
  EXPECT_FALSE(injector.postKey(36));
}

TEST_F(PortalInputTest, ACharacterTheLayoutLacksIsTypedThroughTheUnicodeEntryAndLoggedOnce) {
  // A layout with Latin letters only: é and ж are not on it.
  PortalInputInjector withKeymap(windows, logger, [](Keysym keysym) -> std::optional<bool> {
    return keysym < 0x80 || keysym == XKB_KEY_Shift_L || keysym == XKB_KEY_Control_L;
  });
  withKeymap.setSink(sink);
  withKeymap.postCharacter(U'a');
  withKeymap.postCharacter(U'\u0436');
  withKeymap.postCharacter(U'\u00E9');
  withKeymap.postCharacter(U'\u0436');
  const auto calls = take();
  // Ctrl+Shift+U, 4 3 6, space: as key codes, whatever the layout puts on those keys.
  const std::vector<std::string> zhe = {"code 29 down", "code 42 down", "code 22 down", "code 22 up", "code 42 up",
                                        "code 29 up",   "code 5 down",  "code 5 up",    "code 4 down", "code 4 up",
                                        "code 7 down",  "code 7 up",    "code 57 down", "code 57 up"};
  std::vector<std::string> expected = {"key 0xffe1 down", "key 0xffe1 up", "key 0x61 down", "key 0x61 up"};
  expected.insert(expected.end(), zhe.begin(), zhe.end());
  // E 9: key codes 18 and 10.
  for (const char* code : {"29", "42"}) expected.push_back(std::string("code ") + code + " down");
  expected.insert(expected.end(), {"code 22 down", "code 22 up", "code 42 up", "code 29 up", "code 18 down",
                                   "code 18 up", "code 10 down", "code 10 up", "code 57 down", "code 57 up"});
  expected.insert(expected.end(), zhe.begin(), zhe.end());
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(logger.countPrefix("OrvoHost: U+0436 has no key on the desktop's keyboard layout"), 1u);
  EXPECT_EQ(logger.countPrefix("OrvoHost: U+00E9 has no key"), 1u);
}

TEST(PortalPaths, RequestAndSessionPathsFollowTheCallersUniqueName) {
  EXPECT_EQ(requestPath(":1.42", "orvo7"), "/org/freedesktop/portal/desktop/request/1_42/orvo7");
  EXPECT_EQ(sessionPath(":1.3", "orvo8"), "/org/freedesktop/portal/desktop/session/1_3/orvo8");
}

// A long paste waits in the host, in order, while the session's queue of calls to the
// desktop is long, instead of overflowing that queue (where input would be dropped).
TEST_F(PortalInputTest, CharactersWaitWhileTheDesktopsQueueIsLong) {
  const std::u32string text(3000, U'a');  // two calls each, after the Shift that wakes the keyboard
  const std::size_t first = injector.postCharacters(text);
  EXPECT_EQ(first, (PortalInputInjector::maxBacklog - 2) / 2);
  EXPECT_EQ(sink->calls.size(), PortalInputInjector::maxBacklog);
  EXPECT_EQ(injector.postCharacters(std::u32string_view(text).substr(first)), 0u);
  sink->answered = sink->calls.size();  // the desktop caught up
  EXPECT_EQ(injector.postCharacters(std::u32string_view(text).substr(first)), text.size() - first);
  EXPECT_EQ(sink->calls.size(), 2 + 2 * text.size());
}

}  // namespace
}  // namespace orvo::platform::portal
