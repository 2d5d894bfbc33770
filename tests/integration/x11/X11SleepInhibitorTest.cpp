// Holding the inhibitor keeps the display's screen saver from starting; releasing lets it.

#include <gtest/gtest.h>
#include <xcb/screensaver.h>

#include <thread>

#include "platform/linux/x11/X11SleepInhibitor.h"
#include "support/RecordingLogger.h"
#include "support/XvfbFixture.h"

namespace orvo::platform::x11 {
namespace {

using testing::XvfbFixture;

// Each test owns its display: screen-saver settings and suspension are display-wide.
class X11SleepInhibitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    display = observer.display();
    ASSERT_NE(display, nullptr);
    c = display->connection();
    // A one-second screen saver, its idle time counted from now.
    xcb_set_screen_saver(c, 1, 0, XCB_BLANKING_PREFERRED, XCB_EXPOSURES_ALLOWED);
    xcb_force_screen_saver(c, XCB_SCREEN_SAVER_RESET);
    replyOf(c, xcb_get_input_focus_reply, xcb_get_input_focus(c));
  }

  bool saverOn() {
    auto info = replyOf(c, xcb_screensaver_query_info_reply, xcb_screensaver_query_info(c, display->root()));
    return info && info->state == XCB_SCREENSAVER_STATE_ON;
  }

  XvfbFixture x;
  testing::RecordingLogger logger;
  X11Connection connection{logger, x.display(), "main"};
  X11Connection observer{logger, x.display(), "observer"};
  std::shared_ptr<X11Display> display;
  xcb_connection_t* c = nullptr;
};

TEST_F(X11SleepInhibitorTest, ScreenSaverStaysOffWhileHeldAndStartsOnceReleased) {
  X11SleepInhibitor inhibitor(connection, logger);
  EXPECT_FALSE(inhibitor.isHeld());
  inhibitor.begin("streaming");
  inhibitor.begin("streaming");  // held once, however often begun
  EXPECT_TRUE(inhibitor.isHeld());

  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  EXPECT_FALSE(saverOn());

  inhibitor.end();
  EXPECT_FALSE(inhibitor.isHeld());
  EXPECT_TRUE(XvfbFixture::waitUntil([&] { return saverOn(); }, std::chrono::seconds(10)));
  EXPECT_EQ(logger.countPrefix("OrvoHost: cannot"), 0u);
}

TEST_F(X11SleepInhibitorTest, ReleasedWhenDestroyedAndDroppedWithALostDisplay) {
  {
    X11SleepInhibitor inhibitor(connection, logger);
    inhibitor.begin("streaming");
    ASSERT_TRUE(inhibitor.isHeld());
  }
  EXPECT_TRUE(XvfbFixture::waitUntil([&] { return saverOn(); }, std::chrono::seconds(10)));

  X11SleepInhibitor inhibitor(connection, logger);
  inhibitor.begin("streaming");
  ASSERT_TRUE(inhibitor.isHeld());
  x.killServer();
  XvfbFixture::waitUntil([&] {
    replyOf(c, xcb_get_input_focus_reply, xcb_get_input_focus(c));
    return display->hasFailed();
  });
  inhibitor.begin("streaming");  // notices the loss, finds no display
  EXPECT_FALSE(inhibitor.isHeld());
  inhibitor.end();
  EXPECT_FALSE(inhibitor.isHeld());
}

}  // namespace
}  // namespace orvo::platform::x11
