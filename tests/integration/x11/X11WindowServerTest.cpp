// The window list on a real display, with and without a window manager: what each entry
// carries, the front-to-back order, layers, minimised windows, and a display that goes away.

#include <gtest/gtest.h>

#include <cstring>

#include "X11DesktopTest.h"
#include "platform/linux/x11/X11WindowActivation.h"
#include "platform/linux/x11/X11WindowQuery.h"
#include "platform/linux/x11/X11WindowServer.h"

namespace orvo::platform::x11 {
namespace {

template <class Mode>
using X11WindowList = X11Desktop<Mode>;
TYPED_TEST_SUITE(X11WindowList, Desktops, DesktopName);

TYPED_TEST(X11WindowList, ListsTitlesOwnersAndClientBoundsFrontToBack) {
  auto& utf8 = this->open({"--title", "Grüße ✓ 日本", "--class", "Alpha", "--geometry", "300x200+100+120"});
  auto& latin1 = this->open({"--legacy-title", "Café crème", "--no-class", "--geometry", "250x150+700+300"});
  auto& untitled = this->open({"--class", "Gamma", "--geometry", "640x480+900+500"});
  auto& broken = this->open({"--title", "bad \xFF byte", "--class", "Delta", "--geometry", "120x90+30+800"});
  if (this->managed()) {
    // Whether openbox raises a new window depends on timing (its focus-stealing
    // prevention): bring each to the front in turn, as the user would, so the stacking
    // is the opening order.
    X11WindowActivation activation(this->connection);
    for (const auto* window : {&utf8, &latin1, &untitled, &broken}) {
      ASSERT_EQ(activation.setFocusedWindow(0, window->window), 0);
      ASSERT_TRUE(testing::XvfbFixture::waitUntil([&] {
        const auto list = this->list(WindowListOption::onScreenOnly);
        return this->activeWindow() == window->window && !list.empty() && list.front().number == window->window;
      }));
    }
  }

  for (const auto option : {WindowListOption::onScreenOnly, WindowListOption::all}) {
    const auto list = this->list(option);
    // The newest window is in front.
    EXPECT_EQ(this->numbers(list),
              (std::vector<std::uint32_t>{broken.window, untitled.window, latin1.window, utf8.window}));

    struct Expected {
      const testing::TestWindowProcess& window;
      std::optional<std::string> name;
      std::string owner;
      Rect bounds;
    };
    const Expected expected[] = {
        {utf8, "Grüße ✓ 日本", "Alpha", {100, 120, 300, 200}},
        {latin1, "Café crème", "orvo-test-windo", {700, 300, 250, 150}},  // no WM_CLASS: the process name
        {untitled, std::nullopt, "Gamma", {900, 500, 640, 480}},
        {broken, "bad \xEF\xBF\xBD byte", "Delta", {30, 800, 120, 90}},
    };
    for (const auto& e : expected) {
      const auto info = this->find(list, e.window.window);
      ASSERT_TRUE(info.has_value()) << e.owner;
      EXPECT_EQ(info->layer, 0) << e.owner;
      EXPECT_EQ(info->name, e.name) << e.owner;
      EXPECT_EQ(info->ownerName, e.owner);
      EXPECT_EQ(info->ownerPID, e.window.process->pid()) << e.owner;
      EXPECT_EQ(info->bounds, e.bounds) << e.owner;
    }
  }
}

// A client-side decorated window is listed without its shadow margins; the frame view
// used for hit-testing adds the window manager's decorations (title bar, borders). A
// window without _NET_WM_PID is named as an application of its own.
TYPED_TEST(X11WindowList, ShadowMarginsAreLeftOutAndFramesHoldTheDecorations) {
  auto& csd = this->open({"--geometry", "340x260+100+100", "--no-pid"});
  xcb_connection_t* const xc = this->c;
  const std::uint32_t shadow[] = {20, 20, 10, 30};  // left, right, top, bottom
  xcb_change_property(xc, XCB_PROP_MODE_REPLACE, csd.window, this->display->atom(Atom::GTK_FRAME_EXTENTS),
                      XCB_ATOM_CARDINAL, 32, 4, shadow);
  xcb_flush(xc);
  const Rect inner{120, 110, 300, 220};
  ASSERT_TRUE(testing::XvfbFixture::waitUntil([&] {
    const auto info = this->find(this->list(WindowListOption::onScreenOnly), csd.window);
    return info && info->bounds == inner;
  }));
  const auto info = this->find(this->list(WindowListOption::all), csd.window);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->ownerPID, -static_cast<std::int32_t>(csd.window));

  // The decorations the window manager reports, if any.
  std::uint32_t extents[4] = {0, 0, 0, 0};
  if (TypeParam::windowManager) {
    ASSERT_TRUE(testing::XvfbFixture::waitUntil([&] {
      auto reply = replyOf(xc, xcb_get_property_reply,
                           xcb_get_property(xc, 0, csd.window, this->display->atom(Atom::NET_FRAME_EXTENTS),
                                            XCB_ATOM_CARDINAL, 0, 4));
      if (!reply || xcb_get_property_value_length(reply.get()) != 16) return false;
      std::memcpy(extents, xcb_get_property_value(reply.get()), sizeof extents);
      return extents[2] > 0;  // a title bar
    }));
  }
  X11WindowServer frames(this->connection, X11WindowServer::Bounds::frame);
  const auto framed = this->find(frames.copyWindowInfo(WindowListOption::onScreenOnly), csd.window);
  ASSERT_TRUE(framed.has_value());
  EXPECT_EQ(framed->bounds, (Rect{inner.x - extents[0], inner.y - extents[2], inner.width + extents[0] + extents[1],
                                  inner.height + extents[2] + extents[3]}));
}

TYPED_TEST(X11WindowList, NonNormalTypesGetOtherLayersAndDesktopWindowsNeverAppear) {
  struct Case {
    std::vector<std::string> args;
    std::int64_t layer;
  };
  const Case cases[] = {
      {{"--type", "normal"}, layer::normal},
      {{"--type", "dialog"}, layer::normal},
      {{"--type", "utility"}, layer::floating},
      {{"--type", "dock"}, layer::dock},
      {{"--type", "notification"}, layer::notification},
      {{"--type", "menu"}, layer::menu},
      {{"--type", "popup_menu"}, layer::menu},
      {{"--type", "splash"}, layer::overlay},
      {{"--type", "tooltip"}, layer::tooltip},
      {{"--override-redirect"}, layer::overlay},
      {{"--override-redirect", "--type", "dropdown_menu"}, layer::menu},
  };
  std::vector<std::uint32_t> opened;
  for (const auto& testCase : cases) {
    auto args = testCase.args;
    args.insert(args.end(), {"--geometry", "200x100+" + std::to_string(40 + 60 * opened.size()) + "+200"});
    opened.push_back(this->open(args).window);
  }
  const auto desktop = this->open({"--type", "desktop", "--geometry", "1920x1080+0+0"}).window;

  for (const auto option : {WindowListOption::onScreenOnly, WindowListOption::all}) {
    const auto list = this->list(option);
    EXPECT_EQ(this->find(list, desktop), std::nullopt);
    for (std::size_t i = 0; i < opened.size(); ++i) {
      const auto info = this->find(list, opened[i]);
      ASSERT_TRUE(info.has_value()) << ::testing::PrintToString(cases[i].args);
      EXPECT_EQ(info->layer, cases[i].layer) << ::testing::PrintToString(cases[i].args);
    }
    EXPECT_EQ(list.size(), opened.size());
  }
}

TYPED_TEST(X11WindowList, MinimisedWindowIsOffScreenButInTheAllList) {
  auto& shown = this->open({"--title", "Shown", "--geometry", "200x100+10+10"});
  auto& iconic = this->open({"--title", "Minimised", "--class", "Mini", "--iconic", "--geometry", "220x110+300+400"});

  EXPECT_EQ(this->numbers(this->list(WindowListOption::onScreenOnly)), std::vector<std::uint32_t>{shown.window});
  const auto all = this->list(WindowListOption::all);
  const auto info = this->find(all, iconic.window);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->ownerPID, iconic.process->pid());
  EXPECT_EQ(info->ownerName, "Mini");
  EXPECT_EQ(info->name, "Minimised");
  ASSERT_TRUE(info->bounds.has_value());
  EXPECT_EQ(info->bounds->width, 220);
  EXPECT_EQ(info->bounds->height, 110);
  EXPECT_EQ(all.size(), 2u);
}

TYPED_TEST(X11WindowList, EmptyDesktopGivesEmptyLists) {
  // The window manager's own windows (its check window is mapped) are no client windows.
  EXPECT_TRUE(this->list(WindowListOption::onScreenOnly).empty());
  EXPECT_TRUE(this->list(WindowListOption::all).empty());
  EXPECT_EQ(findWindowManager(*this->display).has_value(), this->managed());
}

// Each test here owns its server, since it kills it.
TEST(X11DisplayLoss, LostDisplayGivesEmptyAnswersThenANewServerIsListed) {
  testing::RecordingLogger logger;
  testing::DisplayNumberReservation reserved;  // the number stays ours between the two servers
  auto first = std::make_unique<testing::XvfbFixture>(
      testing::XvfbOptions{.windowManager = true, .displayNumber = reserved.number()});
  X11Connection connection(logger, first->display());
  X11WindowServer server(connection);
  X11WindowActivation activation(connection);
  auto before = first->startTestWindow({"--title", "Before"});
  ASSERT_EQ(server.copyWindowInfo(WindowListOption::all).size(), 1u);
  const std::int32_t pid = before.process->pid();

  first->killServer();
  for (const auto option : {WindowListOption::onScreenOnly, WindowListOption::all}) {
    EXPECT_TRUE(server.copyWindowInfo(option).empty());
  }
  std::vector<std::uint32_t> windows{1, 2};
  EXPECT_EQ(activation.applicationWindows(pid, windows), X11WindowActivation::kNoDisplay);
  EXPECT_TRUE(windows.empty());
  EXPECT_FALSE(activation.activate(pid));
  EXPECT_EQ(activation.raise(before.window), X11WindowActivation::kNoDisplay);
  EXPECT_FALSE(activation.isTrusted());
  EXPECT_EQ(logger.countPrefix("OrvoHost: X11 display " + first->display() + " (main) lost"), 1u);

  testing::XvfbFixture second(testing::XvfbOptions{.displayNumber = reserved.number()});
  auto after = second.startTestWindow({"--title", "After"});
  const auto list = server.copyWindowInfo(WindowListOption::onScreenOnly);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].number, after.window);
  EXPECT_EQ(list[0].name, "After");
}

}  // namespace
}  // namespace orvo::platform::x11
