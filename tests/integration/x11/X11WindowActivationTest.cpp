// Activation, raising and focus on a real display, with and without a window manager.

#include "platform/linux/x11/X11WindowActivation.h"

#include <gtest/gtest.h>

#include "X11DesktopTest.h"

namespace orvo::platform::x11 {
namespace {

template <class Mode>
class X11Activation : public X11Desktop<Mode> {
 protected:
  X11WindowActivation activation{this->connection};

  // Where focus shows: the window manager's active window, or the server's input focus.
  xcb_window_t focused() { return this->managed() ? this->activeWindow() : this->inputFocus(); }
  bool becomesFocused(xcb_window_t window) {
    return testing::XvfbFixture::waitUntil([&] { return focused() == window; });
  }
  bool becomesFrontmost(xcb_window_t window) {
    return testing::XvfbFixture::waitUntil([&] {
      const auto list = this->list(WindowListOption::onScreenOnly);
      return !list.empty() && list.front().number == window;
    });
  }
};
TYPED_TEST_SUITE(X11Activation, Desktops, DesktopName);

TYPED_TEST(X11Activation, ActivateFocusesTheApplicationsFrontmostWindow) {
  auto& target = this->open({"--title", "Target", "--geometry", "300x200+100+100"});
  auto& other = this->open({"--title", "Other", "--geometry", "300x200+150+150"});
  ASSERT_TRUE(this->becomesFrontmost(other.window));

  EXPECT_TRUE(this->activation.activate(target.process->pid()));
  EXPECT_TRUE(this->becomesFocused(target.window));
  EXPECT_TRUE(this->becomesFrontmost(target.window));

  EXPECT_TRUE(this->activation.setFocusedWindow(other.process->pid(), other.window) == 0);
  EXPECT_TRUE(this->becomesFocused(other.window));

  EXPECT_FALSE(this->activation.activate(0x7FFFFFF0));  // no such application
}

TYPED_TEST(X11Activation, RaiseBringsTheWindowToTheFront) {
  auto& back = this->open({"--title", "Back", "--geometry", "300x200+100+100"});
  auto& middle = this->open({"--title", "Middle", "--geometry", "300x200+120+120"});
  auto& front = this->open({"--title", "Front", "--geometry", "300x200+140+140"});
  ASSERT_TRUE(this->becomesFrontmost(front.window));

  EXPECT_EQ(this->activation.raise(back.window), 0);
  ASSERT_TRUE(this->becomesFrontmost(back.window));
  EXPECT_EQ(this->numbers(this->list(WindowListOption::onScreenOnly)),
            (std::vector<std::uint32_t>{back.window, front.window, middle.window}));
}

TYPED_TEST(X11Activation, ApplicationWindowsAndNameFollowTheProcess) {
  auto& app = this->open({"--class", "Editor", "--geometry", "300x200+100+100"});
  auto& nameless = this->open({"--no-class", "--geometry", "300x200+500+100"});

  std::vector<std::uint32_t> windows{42};
  EXPECT_EQ(this->activation.applicationWindows(app.process->pid(), windows), 0);
  EXPECT_EQ(windows, std::vector<std::uint32_t>{app.window});
  EXPECT_EQ(this->activation.applicationWindows(0x7FFFFFF0, windows), 0);
  EXPECT_TRUE(windows.empty());

  const auto running = this->activation.runningApplication(app.process->pid());
  ASSERT_TRUE(running.has_value());
  EXPECT_EQ(running->pid, app.process->pid());
  EXPECT_EQ(running->localizedName, "Editor");
  EXPECT_EQ(this->activation.runningApplication(nameless.process->pid())->localizedName, "orvo-test-windo");
  EXPECT_EQ(this->activation.runningApplication(0x7FFFFFF0), std::nullopt);
  EXPECT_TRUE(this->activation.isTrusted());  // Xvfb has XTEST
}

TYPED_TEST(X11Activation, MissingWindowGivesBadWindow) {
  const std::uint32_t missing = 0x7FFFF0;
  EXPECT_EQ(this->activation.raise(missing), XCB_WINDOW);
  EXPECT_EQ(this->activation.setFocusedWindow(1, missing), XCB_WINDOW);
  EXPECT_FALSE(this->display->hasFailed());
}

// Minimising takes a window manager.
using X11ActivationManaged = X11Activation<Openbox>;

TEST_F(X11ActivationManaged, ActivatingAMinimisedApplicationRestoresItsWindow) {
  auto& iconic = open({"--title", "Minimised", "--iconic"});
  ASSERT_TRUE(list(WindowListOption::onScreenOnly).empty());
  EXPECT_TRUE(activation.activate(iconic.process->pid()));
  EXPECT_TRUE(becomesFocused(iconic.window));
  EXPECT_TRUE(becomesFrontmost(iconic.window));
}

}  // namespace
}  // namespace orvo::platform::x11
