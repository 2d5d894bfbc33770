// Input admission and focusing with the real window list and activation, on Xvfb with openbox.
#include <gtest/gtest.h>

#include "core/testing/VirtualLoop.h"
#include "fakes/FakeSession.h"
#include "input/WindowFocus.h"
#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11/X11WindowActivation.h"
#include "platform/linux/x11/X11WindowServer.h"
#include "streaming/WindowCatalogue.h"
#include "support/RecordingLogger.h"
#include "support/XvfbFixture.h"

namespace orvo::testing {
namespace {

using namespace platform::x11;

class WindowFocusOnX11 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { x = std::make_unique<XvfbFixture>(XvfbOptions{.windowManager = true}); }
  static void TearDownTestSuite() { x.reset(); }
  static inline std::unique_ptr<XvfbFixture> x;

  std::uint32_t activeWindow() {
    auto display = connection.display();
    auto* c = display->connection();
    auto reply = replyOf(c, xcb_get_property_reply,
                         xcb_get_property(c, 0, display->root(), display->atom(Atom::NET_ACTIVE_WINDOW),
                                          XCB_ATOM_WINDOW, 0, 1));
    if (!reply || xcb_get_property_value_length(reply.get()) != 4) return 0;
    return *static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
  }

  RecordingLogger logger;
  X11Connection connection{logger, x->display()};
  X11WindowServer server{connection};
  X11WindowActivation activation{connection};
  VirtualLoop loop;
  FakeSession session;
  std::unique_ptr<SerialQueue> focusQueue = loop.makeSerialQueue("orvo.host.focusState", QueuePriority::unspecified);
  WindowCatalogue catalogue{server, session, loop.main(), loop.clock(), logger};
  WindowFocus focus{session, catalogue, server, activation, *focusQueue, loop.main(), loop.clock(), logger};
};

TEST_F(WindowFocusOnX11, AdmissionSeesTheFrontWindowIgnoresPopupsAndFocusRaisesTheTarget) {
  auto back = x->startTestWindow({"--title", "Back", "--geometry", "400x300+100+100"});
  auto front = x->startTestWindow({"--title", "Front", "--geometry", "400x300+250+200"});
  auto popup = x->startTestWindow({"--title", "Popup", "--override-redirect", "--geometry", "120x60+300+250"});
  const Point overlapUnderPopup{320, 270};
  ASSERT_TRUE(XvfbFixture::waitUntil([&] { return focus.topWindowAt(overlapUnderPopup) == front.window; }));
  EXPECT_EQ(focus.topWindowAt({150, 150}), back.window);
  EXPECT_EQ(focus.topWindowAt({1500, 900}), std::nullopt);

  EXPECT_FALSE(focus.isInputAllowed(back.window, overlapUnderPopup));
  ASSERT_EQ(session.rejections.size(), 1u);
  EXPECT_EQ(session.rejections[0].reason, "Input rejected: top window (" + std::to_string(front.window) +
                                               ") != target (" + std::to_string(back.window) + ")");

  focus.focusWindow(back.window, /*force=*/true);
  loop.drain();
  EXPECT_TRUE(XvfbFixture::waitUntil([&] { return activeWindow() == back.window; })) << activeWindow();
  EXPECT_TRUE(XvfbFixture::waitUntil([&] { return focus.topWindowAt(overlapUnderPopup) == back.window; }));
  EXPECT_TRUE(focus.isInputAllowed(back.window, overlapUnderPopup));
}

}  // namespace
}  // namespace orvo::testing
