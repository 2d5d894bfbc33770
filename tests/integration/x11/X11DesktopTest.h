#pragma once

// A test fixture run twice: on a bare Xvfb and on Xvfb with openbox. One display per suite;
// each test starts from an empty desktop and owns the windows it opens.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11/X11WindowServer.h"
#include "support/RecordingLogger.h"
#include "support/XvfbFixture.h"

namespace orvo::platform::x11 {

struct Bare {
  static constexpr bool windowManager = false;
};
struct Openbox {
  static constexpr bool windowManager = true;
};
struct DesktopName {
  template <class Mode>
  static std::string GetName(int) {
    return Mode::windowManager ? "Openbox" : "Bare";
  }
};
using Desktops = ::testing::Types<Bare, Openbox>;

template <class Mode>
class X11Desktop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    x = std::make_unique<testing::XvfbFixture>(testing::XvfbOptions{.windowManager = Mode::windowManager});
  }
  static void TearDownTestSuite() { x.reset(); }
  static inline std::unique_ptr<testing::XvfbFixture> x;

  void SetUp() override {
    display = connection.display();
    ASSERT_NE(display, nullptr);
    c = display->connection();
    // Windows of the previous test vanish shortly after their processes.
    ASSERT_TRUE(testing::XvfbFixture::waitUntil([&] { return server.copyWindowInfo(WindowListOption::all).empty(); }));
  }

  bool managed() const { return Mode::windowManager; }

  testing::TestWindowProcess& open(std::vector<std::string> args) {
    opened_.push_back(x->startTestWindow(std::move(args)));
    return opened_.back();
  }

  std::vector<WindowInfo> list(WindowListOption option) { return server.copyWindowInfo(option); }

  static std::optional<WindowInfo> find(const std::vector<WindowInfo>& list, std::uint32_t window) {
    const auto found = std::find_if(list.begin(), list.end(), [&](const WindowInfo& w) { return w.number == window; });
    if (found == list.end()) return std::nullopt;
    return *found;
  }

  static std::vector<std::uint32_t> numbers(const std::vector<WindowInfo>& list) {
    std::vector<std::uint32_t> out;
    for (const auto& w : list) out.push_back(w.number);
    return out;
  }

  // The window the window manager reports active.
  xcb_window_t activeWindow() {
    auto reply = replyOf(c, xcb_get_property_reply,
                         xcb_get_property(c, 0, display->root(), display->atom(Atom::NET_ACTIVE_WINDOW),
                                          XCB_ATOM_WINDOW, 0, 1));
    if (!reply || xcb_get_property_value_length(reply.get()) != 4) return XCB_NONE;
    return *static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
  }

  xcb_window_t inputFocus() {
    auto reply = replyOf(c, xcb_get_input_focus_reply, xcb_get_input_focus(c));
    return reply ? reply->focus : XCB_NONE;
  }

  testing::RecordingLogger logger;
  X11Connection connection{logger, x->display()};
  X11WindowServer server{connection};
  std::shared_ptr<X11Display> display;
  xcb_connection_t* c = nullptr;
  std::deque<testing::TestWindowProcess> opened_;  // a deque keeps references to its items valid
};

}  // namespace orvo::platform::x11
