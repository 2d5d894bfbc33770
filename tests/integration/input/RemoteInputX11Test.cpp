// Remote input end to end on a private Xvfb with openbox: requests go through the host's
// input handlers, window focus, the X11 window list and activation, and the XTEST
// injector, and real X clients (the fixture window, xterm) report what arrived.
// Every test ends like a session: afterwards no key or button is down and the keymap is
// exactly what it was before.

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include "platform/linux/x11input/XcbXkb.h"

#include <algorithm>
#include <deque>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/testing/VirtualLoop.h"
#include "fakes/FakeSession.h"
#include "fixtures/TestWindowProtocol.h"
#include "input/RemoteInput.h"
#include "input/WindowFocus.h"
#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11/X11WindowActivation.h"
#include "platform/linux/x11/X11WindowServer.h"
#include "platform/linux/x11input/X11InputInjector.h"
#include "streaming/WindowCatalogue.h"
#include "support/RecordingLogger.h"
#include "support/XvfbFixture.h"

namespace orvo::testing {
namespace {

using platform::x11::replyOf;

constexpr std::uint16_t kButton1Mask = 0x100;

class NoteRecorder final : public InputTimeRecorder {
 public:
  void noteInput(std::optional<std::uint32_t> windowId) override { notes.push_back(windowId); }
  std::vector<std::optional<std::uint32_t>> notes;
};

// A fixture window that records its input.
struct RecordingWindow {
  std::uint32_t id = 0;
  std::string record;
};

class RemoteInputOnX11 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { x = std::make_unique<XvfbFixture>(XvfbOptions{.windowManager = true}); }
  static void TearDownTestSuite() { x.reset(); }
  static inline std::unique_ptr<XvfbFixture> x;

  void SetUp() override {
    display = connection.display();
    ASSERT_NE(display, nullptr);
    ASSERT_TRUE(display->extensions().xtest);
    c = display->connection();
    // The windows of the previous test vanish shortly after their processes.
    ASSERT_TRUE(XvfbFixture::waitUntil(
        [&] { return windowServer.copyWindowInfo(platform::WindowListOption::all).empty(); }));
    keymapBefore = keymap();
  }

  // The end of the session leaves nothing behind.
  void TearDown() override {
    input.resetClickTracking();
    loop.drain();
    EXPECT_EQ(injector.remappedKeycodeCount(), 0u);
    EXPECT_EQ(keymap(), keymapBefore);
    // Synthetic events pass through the server's input queue, a moment after the request.
    EXPECT_TRUE(XvfbFixture::waitUntil([&] { return !anyKeyDown() && pointerMask() == 0; }))
        << "keys down: " << anyKeyDown() << ", pointer mask: " << pointerMask();
  }

  RecordingWindow open(const std::string& geometry) {
    static int opened = 0;  // one record file per window of the suite's display
    const std::string record = x->dir().file("record-" + std::to_string(++opened) + ".txt");
    windows.push_back(x->startTestWindow({"--title", "Input", "--geometry", geometry, "--record", record}));
    return {windows.back().window, record};
  }

  static OrvoRequest request(std::string type, std::optional<std::uint32_t> windowId, std::optional<double> normX,
                             std::optional<double> normY, std::optional<std::string> button = std::nullopt) {
    return OrvoRequest{std::move(type), windowId, normX, normY, std::move(button)};
  }

  // A click request and the activation delay that follows it.
  void click(std::uint32_t window, double normX, double normY, std::optional<std::string> button = std::nullopt) {
    input.handlePointerRequest(request("mouseClick", window, normX, normY, std::move(button)));
    loop.advance(0.2);
  }

  static std::vector<RecordedEvent> events(const RecordingWindow& window, const std::vector<std::string>& types) {
    std::vector<RecordedEvent> out;
    for (auto& event : readRecord(window.record)) {
      if (std::find(types.begin(), types.end(), event.type) != types.end()) out.push_back(std::move(event));
    }
    return out;
  }

  // Waits until the window has recorded `count` events of the types.
  static std::vector<RecordedEvent> awaitEvents(const RecordingWindow& window, const std::vector<std::string>& types,
                                                std::size_t count) {
    XvfbFixture::waitUntil([&] { return events(window, types).size() >= count; });
    return events(window, types);
  }

  static std::string describe(const RecordedEvent& event) {
    std::string text = event.type;
    for (const auto& field : event.fields) text += " " + field;
    return text;
  }
  static std::vector<std::string> describeAll(const std::vector<RecordedEvent>& events) {
    std::vector<std::string> out;
    for (const auto& event : events) out.push_back(describe(event));
    return out;
  }

  std::vector<xcb_keysym_t> keymap() {
    const xcb_setup_t* setup = xcb_get_setup(c);
    auto reply = replyOf(c, xcb_get_keyboard_mapping_reply,
                         xcb_get_keyboard_mapping(c, setup->min_keycode,
                                                  static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1)));
    if (!reply) return {};
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
    return {keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply.get())};
  }

  bool anyKeyDown() {
    auto reply = replyOf(c, xcb_query_keymap_reply, xcb_query_keymap(c));
    return !reply || std::any_of(std::begin(reply->keys), std::end(reply->keys), [](std::uint8_t b) { return b != 0; });
  }

  // Buttons and modifiers held, as the pointer query reports them.
  std::uint16_t pointerMask() {
    auto reply = replyOf(c, xcb_query_pointer_reply, xcb_query_pointer(c, display->root()));
    return reply ? reply->mask : 0xFFFF;
  }

  std::pair<int, int> pointerAt() {
    auto reply = replyOf(c, xcb_query_pointer_reply, xcb_query_pointer(c, display->root()));
    return reply ? std::pair<int, int>{reply->root_x, reply->root_y} : std::pair<int, int>{-1, -1};
  }

  // The window manager's _NET_FRAME_EXTENTS of a window: left, right, top, bottom.
  std::vector<std::uint32_t> frameExtents(xcb_window_t window) {
    auto reply = replyOf(c, xcb_get_property_reply,
                         xcb_get_property(c, 0, window, display->atom(platform::x11::Atom::NET_FRAME_EXTENTS),
                                          XCB_ATOM_CARDINAL, 0, 4));
    if (!reply || xcb_get_property_value_length(reply.get()) != 16) return {};
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    return {values, values + 4};
  }

  xcb_window_t activeWindow() {
    auto reply = replyOf(c, xcb_get_property_reply,
                         xcb_get_property(c, 0, display->root(), display->atom(platform::x11::Atom::NET_ACTIVE_WINDOW),
                                          XCB_ATOM_WINDOW, 0, 1));
    if (!reply || xcb_get_property_value_length(reply.get()) != 4) return XCB_NONE;
    return *static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
  }

  // Asks the window manager to keep the window above the others; true once it does.
  bool keepAbove(xcb_window_t window) {
    const std::string name = "_NET_WM_STATE_ABOVE";
    auto above = replyOf(c, xcb_intern_atom_reply,
                         xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.data()));
    if (!above) return false;
    const xcb_atom_t state = display->atom(platform::x11::Atom::NET_WM_STATE);
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = state;
    message.data.data32[0] = 1;  // add
    message.data.data32[1] = above->atom;
    message.data.data32[3] = 2;  // source: a pager acting for the user
    xcb_send_event(c, 0, display->root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(c);
    return XvfbFixture::waitUntil([&] {
      auto reply = replyOf(c, xcb_get_property_reply, xcb_get_property(c, 0, window, state, XCB_ATOM_ATOM, 0, 32));
      if (!reply) return false;
      const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
      const int count = xcb_get_property_value_length(reply.get()) / 4;
      return std::find(atoms, atoms + count, above->atom) != atoms + count;
    });
  }

  // Makes the window the client's active window and waits until it has the focus.
  void focusForTyping(std::uint32_t window) {
    focus.setClientActiveWindow(window);
    focus.focusWindow(window, true);
    loop.drain();
    ASSERT_TRUE(XvfbFixture::waitUntil([&] { return activeWindow() == window; }));
  }

  RecordingLogger logger;
  VirtualLoop loop{1000.0};
  platform::x11::X11Connection connection{logger, x->display(), "main"};
  platform::x11::X11WindowServer windowServer{connection};
  platform::x11::X11WindowActivation activation{connection};
  std::shared_ptr<platform::x11::X11Display> display;
  xcb_connection_t* c = nullptr;
  std::vector<xcb_keysym_t> keymapBefore;

  FakeSession session;
  NoteRecorder recorder;
  std::unique_ptr<SerialQueue> focusQueue = loop.makeSerialQueue("orvo.host.focusState", QueuePriority::unspecified);
  std::unique_ptr<SerialQueue> clickQueue =
      loop.makeSerialQueue("orvo.host.clickTracking", QueuePriority::unspecified);
  WindowCatalogue catalogue{windowServer, session, loop.main(), loop.clock(), logger};
  // Admission hit-tests window frames, as the host wires it.
  platform::x11::X11WindowServer frames{connection, platform::x11::X11WindowServer::Bounds::frame};
  WindowFocus focus{session, catalogue, frames, activation, *focusQueue, loop.main(), loop.clock(), logger};
  platform::x11::X11InputInjector injector{logger, loop.main(), loop.clock(), x->display()};
  RemoteInput input{session, focus, catalogue, recorder, injector, *clickQueue, loop.main(), loop.clock(), logger};

  std::deque<TestWindowProcess> windows;
};

using Lines = std::vector<std::string>;
const std::vector<std::string> kButtons = {"ButtonPress", "ButtonRelease"};

class RemotePointerOnX11 : public RemoteInputOnX11 {};

TEST_F(RemotePointerOnX11, ClickArrivesAsPressAndReleaseAtTheWindowCentre) {
  const auto window = open("400x300+100+100");
  click(window.id, 0.5, 0.5);
  EXPECT_EQ(describeAll(awaitEvents(window, kButtons, 2)), (Lines{"ButtonPress 1 200 150", "ButtonRelease 1 200 150"}));
  EXPECT_TRUE(logger.has("OrvoHost: performed left click on window " + std::to_string(window.id) +
                         " at (300.0, 250.0)"));

  click(window.id, 0.25, 0.5, "right");
  const auto all = awaitEvents(window, kButtons, 4);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(describe(all[2]), "ButtonPress 3 100 150");
  EXPECT_EQ(describe(all[3]), "ButtonRelease 3 100 150");

  // A point off the screen (over no window, so admitted) goes to the nearest pixel of the
  // screen's edge; the window does not see it.
  click(window.id, 10, 0.5);
  EXPECT_FALSE(logger.has("OrvoHost: failed to create mouse events"));
  EXPECT_TRUE(XvfbFixture::waitUntil([&] { return pointerAt() == std::pair{1919, 250}; }));
  EXPECT_EQ(events(window, kButtons).size(), 4u);
}

TEST_F(RemotePointerOnX11, ADragEndingPastTheScreenEdgeLeavesNoButtonDown) {
  const auto window = open("400x300+1500+100");
  input.handlePointerRequest(request("mouseDown", window.id, 0.5, 0.5));
  input.handlePointerRequest(request("mouseDrag", window.id, 1.2, 0.5));
  ASSERT_TRUE(XvfbFixture::waitUntil([&] { return (pointerMask() & kButton1Mask) != 0; }));
  input.handlePointerRequest(request("mouseUp", window.id, 1.5, 0.5));  // x = 2100, past 1920
  EXPECT_TRUE(XvfbFixture::waitUntil([&] { return (pointerMask() & kButton1Mask) == 0; }));
  EXPECT_EQ(pointerAt(), (std::pair{1919, 250}));
  // The window had the button grab, so it saw the release at the edge.
  EXPECT_EQ(describeAll(awaitEvents(window, kButtons, 2)), (Lines{"ButtonPress 1 200 150", "ButtonRelease 1 419 150"}));
  EXPECT_TRUE(session.rejections.empty());
}

// Toolkits count clicks by time and distance themselves; a double or triple click the
// host counted goes to the spot of the first click, though the taps were a few points apart.
TEST_F(RemotePointerOnX11, QuickClicksNearbyAreSeenAsADoubleAndTripleClickOnOneSpot) {
  const auto window = open("400x300+100+100");
  click(window.id, 0.5, 0.5);
  click(window.id, 0.5 + 6.0 / 400, 0.5 + 4.0 / 300);  // 7.2 points away
  click(window.id, 0.5 - 5.0 / 400, 0.5);
  ASSERT_EQ(awaitEvents(window, {"ButtonPress"}, 3).size(), 3u);
  const auto presses = events(window, {"ButtonPress"});
  for (const auto& press : presses) EXPECT_EQ(describe(press), "ButtonPress 1 200 150");
  EXPECT_EQ(describeAll(awaitEvents(window, {"ButtonRelease"}, 3)),
            (Lines{"ButtonRelease 1 200 150", "ButtonRelease 1 200 150", "ButtonRelease 1 200 150"}));

  // A click far away starts afresh where it is.
  click(window.id, 0.25, 0.5);
  EXPECT_EQ(describe(awaitEvents(window, {"ButtonPress"}, 4).back()), "ButtonPress 1 100 150");
}

TEST_F(RemotePointerOnX11, DownDragUpArrivesAsADrag) {
  const auto window = open("400x300+100+100");
  const auto seen = [&] {
    Lines lines;
    for (const auto& event : events(window, {"ButtonPress", "ButtonRelease", "MotionNotify"})) {
      if (event.type != "MotionNotify") {
        lines.push_back(describe(event));
      } else if (std::stoi(event.fields.at(2)) & kButton1Mask) {  // motion with button 1 held
        lines.push_back("drag " + event.fields.at(0) + " " + event.fields.at(1));
      }
    }
    return lines;
  };
  // The server merges motions it has not handled yet into one, so each drag is awaited
  // before the next is posted: the window is to see every step.
  const auto seenLast = [&](const std::string& line) {
    return XvfbFixture::waitUntil([&] {
      const auto lines = seen();
      return !lines.empty() && lines.back() == line;
    });
  };
  input.handlePointerRequest(request("mouseDown", window.id, 0.25, 0.5));
  ASSERT_TRUE(seenLast("ButtonPress 1 100 150")) << ::testing::PrintToString(seen());
  input.handlePointerRequest(request("mouseDrag", window.id, 0.5, 0.5));
  ASSERT_TRUE(seenLast("drag 200 150")) << ::testing::PrintToString(seen());
  input.handlePointerRequest(request("mouseDrag", window.id, 0.75, 0.5));
  ASSERT_TRUE(seenLast("drag 300 150")) << ::testing::PrintToString(seen());
  input.handlePointerRequest(request("mouseUp", window.id, 0.75, 0.5));
  awaitEvents(window, {"ButtonRelease"}, 1);
  EXPECT_EQ(seen(), (Lines{"ButtonPress 1 100 150", "drag 200 150", "drag 300 150", "ButtonRelease 1 300 150"}));
}

TEST_F(RemotePointerOnX11, ScrollArrivesAsWheelClicksWithTheRemainderCarried) {
  const auto window = open("400x300+100+100");
  click(window.id, 0.5, 0.5);  // puts the pointer over the window
  awaitEvents(window, kButtons, 2);
  // Client deltas are halved, then every 50 pixels make a click.
  const std::pair<std::optional<double>, double> scrolls[] = {
      {std::nullopt, 60},  // 30 px: no click yet
      {std::nullopt, 60},  // 30 more: one click up, 10 px carried
      {std::nullopt, -200},  // -100 px after the carried 10: one click down, -40 carried
      {200, 0},            // 100 px right-signed: two clicks left
      {-100, 0},           // -50 px: one click right
  };
  for (const auto& [normX, normY] : scrolls) {
    input.handlePointerRequest(request("mouseScroll", window.id, normX, normY));
  }
  const auto wheel = awaitEvents(window, {"ButtonPress"}, 6);
  Lines buttons;
  for (std::size_t i = 1; i < wheel.size(); ++i) buttons.push_back(wheel[i].fields.at(0));
  EXPECT_EQ(buttons, (Lines{"4", "5", "6", "6", "7"}));
}

TEST_F(RemotePointerOnX11, ACoveredPointIsRefusedAndNothingIsPosted) {
  const auto target = open("400x300+100+100");
  const auto cover = open("200x200+200+150");  // over the target's centre (300, 250)
  // Kept above, so activating and raising the target for a click cannot uncover the point.
  ASSERT_TRUE(keepAbove(cover.id));
  ASSERT_TRUE(XvfbFixture::waitUntil([&] {
    const auto list = windowServer.copyWindowInfo(platform::WindowListOption::onScreenOnly);
    return !list.empty() && list.front().number == cover.id;
  }));
  click(target.id, 0.5, 0.5);
  input.handlePointerRequest(request("mouseDown", target.id, 0.5, 0.5));
  const std::string reason =
      "Input rejected: top window (" + std::to_string(cover.id) + ") != target (" + std::to_string(target.id) + ")";
  EXPECT_TRUE(logger.has("OrvoHost: " + reason));
  ASSERT_EQ(session.rejections.size(), 2u);
  for (const auto& rejection : session.rejections) {
    EXPECT_EQ(rejection.windowId, target.id);
    EXPECT_EQ(rejection.reason, reason);
  }

  // A click on the cover itself goes through; it is the only one the cover ever sees.
  click(cover.id, 0.5, 0.5);
  EXPECT_EQ(describeAll(awaitEvents(cover, kButtons, 2)), (Lines{"ButtonPress 1 100 100", "ButtonRelease 1 100 100"}));
  EXPECT_TRUE(events(target, kButtons).empty());
}

// Admission tests window frames: the title bar of a window in front covers the target.
TEST_F(RemotePointerOnX11, AClickOnTheTitleBarOfACoveringWindowIsRefused) {
  const auto target = open("400x300+100+100");
  const auto cover = open("200x100+200+300");
  ASSERT_TRUE(keepAbove(cover.id));
  std::uint32_t titleHeight = 0;
  ASSERT_TRUE(XvfbFixture::waitUntil([&] {
    const auto extents = frameExtents(cover.id);
    titleHeight = extents.size() == 4 ? extents[2] : 0;
    return titleHeight > 0;
  }));
  // The middle of the cover's title bar, which lies over the target's client area.
  const double y = 300.0 - titleHeight / 2.0;
  ASSERT_GT(y, 100.0);
  click(target.id, 0.5, (y - 100.0) / 300.0);
  const std::string reason =
      "Input rejected: top window (" + std::to_string(cover.id) + ") != target (" + std::to_string(target.id) + ")";
  ASSERT_EQ(session.rejections.size(), 1u);
  EXPECT_EQ(session.rejections[0].reason, reason);
  EXPECT_TRUE(logger.has("OrvoHost: " + reason));
  EXPECT_EQ(pointerMask() & kButton1Mask, 0);

  click(target.id, 0.5, 0.25);  // above the cover's frame: delivered, and the only click
  EXPECT_EQ(describeAll(awaitEvents(target, kButtons, 2)), (Lines{"ButtonPress 1 200 75", "ButtonRelease 1 200 75"}));
}

TEST_F(RemotePointerOnX11, PermissionWithdrawnRefusesTheClick) {
  const auto window = open("400x300+100+100");
  session.permitted = false;
  click(window.id, 0.5, 0.5);
  ASSERT_EQ(session.rejections.size(), 1u);
  EXPECT_EQ(session.rejections[0].reason,
            "Remote control is disabled on this Mac (enable ‘Allow Orvo to control this Mac’ and grant "
            "Accessibility).");
  session.permitted = true;
  click(window.id, 0.5, 0.5);  // the barrier: only this click arrives
  EXPECT_EQ(awaitEvents(window, kButtons, 2).size(), 2u);
  EXPECT_EQ(events(window, {"ButtonPress"}).size(), 1u);
}

TEST_F(RemotePointerOnX11, TheEndOfASessionReleasesAHeldButton) {
  const auto window = open("400x300+100+100");
  input.handlePointerRequest(request("mouseDown", window.id, 0.5, 0.5));
  ASSERT_TRUE(XvfbFixture::waitUntil([&] { return (pointerMask() & kButton1Mask) != 0; }));
  input.resetClickTracking();
  EXPECT_TRUE(XvfbFixture::waitUntil([&] { return (pointerMask() & kButton1Mask) == 0; }));
  EXPECT_EQ(describeAll(awaitEvents(window, kButtons, 2)), (Lines{"ButtonPress 1 200 150", "ButtonRelease 1 200 150"}));
}

class RemoteKeyboardOnX11 : public RemoteInputOnX11 {
 protected:
  static constexpr std::uint8_t kLockModifier = XCB_MOD_MASK_LOCK;

  // An xterm that writes what is typed into a file (through `cat`, with the terminal set
  // to `sttyMode`; unless raw, a line reaches the file once Return is typed), focused for
  // typing.
  struct Xterm {
    std::unique_ptr<TestProcess> process;
    std::string file;
  };
  Xterm startXterm(const std::string& sttyMode) {
    static int started = 0;
    Xterm xterm;
    xterm.file = x->dir().file("typed-" + std::to_string(++started) + ".txt");
    xterm.process = std::make_unique<TestProcess>(TestProcess::Options{
        .argv = {"xterm", "-geometry", "80x10+100+100", "-e", "sh", "-c",
                 "stty " + sttyMode + "; exec cat > " + xterm.file},
        .env = {{"DISPLAY", x->display()}, {"LC_ALL", "C.UTF-8"}},
        .stderrPath = x->dir().file("xterm.err")});
    std::optional<std::uint32_t> window;
    const bool ready = XvfbFixture::waitUntil(
        [&] {
          for (const auto& info : windowServer.copyWindowInfo(platform::WindowListOption::onScreenOnly)) {
            if (info.ownerPID == xterm.process->pid()) window = info.number;
          }
          return window.has_value() && std::ifstream(xterm.file).good();
        },
        std::chrono::seconds(10));
    EXPECT_TRUE(ready) << xterm.process->stderrText();
    if (ready) focusForTyping(*window);
    return xterm;
  }

  // Where keys go now, and what the host logged: printed when typed text went missing.
  std::string focusReport() {
    std::string report;
    if (auto now = replyOf(c, xcb_get_input_focus_reply, xcb_get_input_focus(c))) {
      report += "input focus " + std::to_string(now->focus);
    }
    report += ", active window " + std::to_string(activeWindow()) + "\nlog:\n";
    for (const auto& line : logger.lines()) report += line + "\n";
    return report;
  }

  // What the xterm has written, once it holds at least `size` bytes (or after the wait).
  static std::string typedInto(const Xterm& xterm, std::size_t size) {
    std::string content;
    XvfbFixture::waitUntil([&] {
      std::ifstream in(xterm.file);
      std::stringstream text;
      text << in.rdbuf();
      content = text.str();
      return content.size() >= size;
    });
    return content;
  }

  // Locks exactly these modifiers and this group, as a user would with Caps Lock or a
  // layout switch; true once the server reports it.
  bool lockModifiersAndGroup(std::uint8_t modifiers, std::uint8_t group) {
    auto use = replyOf(c, xcb_xkb_use_extension_reply, xcb_xkb_use_extension(c, 1, 0));
    if (!use || !use->supported) return false;
    xcb_xkb_latch_lock_state(c, XCB_XKB_ID_USE_CORE_KBD, 0xFF, modifiers, 1, group, 0, 0, 0);
    return XvfbFixture::waitUntil([&] {
      auto state = replyOf(c, xcb_xkb_get_state_reply, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD));
      return state && state->lockedMods == modifiers && state->lockedGroup == group;
    });
  }

  // Key presses other than the modifiers held for a level, as (keysym, text).
  static std::vector<std::pair<std::string, std::string>> typed(const RecordingWindow& window) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& event : events(window, {"KeyPress"})) {
      const std::string& keysym = event.fields.at(1);
      if (keysym == "0xffe1" || keysym == "0xffe2" || keysym == "0xfe03") continue;
      out.emplace_back(keysym, event.fields.at(2));
    }
    return out;
  }
};

TEST_F(RemoteKeyboardOnX11, TextAndCommandsArriveAsTheirKeysAndTheKeymapIsRestored) {
  const auto window = open("400x300+100+100");
  focusForTyping(window.id);
  input.handleKeyboardText("aZ \xC3\xA9\xE2\x82\xAC\xE4\xB8\xAD\xF0\x9F\x98\x80\r\n");  // aZ é€中😀 CR LF
  for (const auto command : {KeyboardCommand::backspace, KeyboardCommand::enter, KeyboardCommand::escape,
                             KeyboardCommand::leftArrow, KeyboardCommand::rightArrow, KeyboardCommand::upArrow,
                             KeyboardCommand::downArrow}) {
    input.handleKeyboardCommand(command);
  }
  // é, €, 中 and 😀 are not on this keymap: each borrowed a spare keycode.
  EXPECT_EQ(injector.remappedKeycodeCount(), 4u);
  EXPECT_TRUE(XvfbFixture::waitUntil([&] { return keymap() != keymapBefore; }));

  XvfbFixture::waitUntil([&] { return typed(window).size() >= 16; });
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"0x61", "a"},        {"0x5a", "Z"},          {"0x20", " "},         {"0xe9", "\xC3\xA9"},
      {"0x10020ac", "\xE2\x82\xAC"}, {"0x1004e2d", "\xE4\xB8\xAD"}, {"0x101f600", "\xF0\x9F\x98\x80"},
      {"0xff0d", ""},       {"0xff0d", ""},  // carriage return and line feed
      {"0xff08", ""},       {"0xff0d", ""},  {"0xff1b", ""}, {"0xff51", ""},
      {"0xff53", ""},       {"0xff52", ""},  {"0xff54", ""}};
  EXPECT_EQ(typed(window), expected);
  EXPECT_TRUE(XvfbFixture::waitUntil(
      [&] { return events(window, {"KeyPress"}).size() == events(window, {"KeyRelease"}).size(); }));

  // The borrowed keycodes go back on their own once their hold has passed.
  loop.advance(platform::x11::CharacterInjector::remapHoldSeconds + 0.1);
  EXPECT_EQ(injector.remappedKeycodeCount(), 0u);
  EXPECT_TRUE(XvfbFixture::waitUntil([&] { return keymap() == keymapBefore; }));

  // Typed again and then the session ends at once: restored all the same.
  input.handleKeyboardText("\xC3\xA9");
  EXPECT_EQ(injector.remappedKeycodeCount(), 1u);
  XvfbFixture::waitUntil([&] { return typed(window).size() >= 17; });
  EXPECT_EQ(typed(window).back(), (std::pair<std::string, std::string>{"0xe9", "\xC3\xA9"}));
}

TEST_F(RemoteKeyboardOnX11, AnXtermTypesTheTextExactly) {
  Xterm xterm = startXterm("-echo");
  // Latin-1 and third-level characters, a CJK character and an emoji, a backspace.
  input.handleKeyboardText("h\xC3\xA9llo w\xC3\xB6rld \xC2\xA6\xE2\x82\xAC\xE4\xB8\xAD\xF0\x9F\x98\x80\r");
  input.handleKeyboardText("abc\x7f");
  input.handleKeyboardText("d\n");
  const std::string expected = "h\xC3\xA9llo w\xC3\xB6rld \xC2\xA6\xE2\x82\xAC\xE4\xB8\xAD\xF0\x9F\x98\x80\nabd\n";
  EXPECT_EQ(typedInto(xterm, expected.size()), expected) << focusReport();
}

// Capital letters the keymap has no key for come out capital; so do small ones.
TEST_F(RemoteKeyboardOnX11, CapitalsWithoutAKeyArriveAsCapitals) {
  Xterm xterm = startXterm("-echo");
  const std::string text = "\xC3\x89\xC3\x9C\xC3\x91\xC3\x87 \xC3\xA9\xC3\xBC\xC3\xB1\xC3\xA7";  // ÉÜÑÇ éüñç
  input.handleKeyboardText(text + "\r");
  EXPECT_EQ(typedInto(xterm, text.size() + 1), text + "\n") << focusReport();
}

// Caps Lock locked at the host: the text arrives as the client sent it, letters on keys and
// letters on spare keycodes alike.
TEST_F(RemoteKeyboardOnX11, CapsLockAtTheHostDoesNotChangeTheText) {
  Xterm xterm = startXterm("-echo");
  ASSERT_TRUE(lockModifiersAndGroup(kLockModifier, 0));
  const std::string text = "aB1! \xC3\xA9\xC3\x89 xY";  // aB1! éÉ xY
  input.handleKeyboardText(text + "\r");
  const std::string typed = typedInto(xterm, text.size() + 1);
  EXPECT_TRUE(lockModifiersAndGroup(0, 0));
  EXPECT_EQ(typed, text + "\n") << focusReport();
}

// U+0003 reaches a terminal as Ctrl-C; C1 controls are dropped with a log line.
TEST_F(RemoteKeyboardOnX11, ControlCharactersArriveAsControlKeys) {
  Xterm xterm = startXterm("raw -echo");
  input.handleKeyboardText("a\x03\xC2\x85" "b\x01\x1A\x1F\tc");
  const std::string expected = "a\x03" "b\x01\x1A\x1F\tc";
  EXPECT_EQ(typedInto(xterm, expected.size()), expected);
  EXPECT_TRUE(logger.has("OrvoHost: dropped 1 control characters (U+0080-U+009F)"));
}

// A window that never set _NET_WM_PID (Java, Xt) is focused through the window manager
// like any other, and the text reaches it.
TEST_F(RemoteKeyboardOnX11, AWindowWithoutAProcessIdReceivesTypedText) {
  windows.push_back(x->startTestWindow(
      {"--title", "No pid", "--geometry", "300x200+100+100", "--no-pid", "--record", x->dir().file("no-pid.txt")}));
  const RecordingWindow target{windows.back().window, x->dir().file("no-pid.txt")};
  const auto other = open("300x200+600+100");  // mapped last: it has the focus now
  focusForTyping(other.id);
  focusForTyping(target.id);
  input.handleKeyboardText("hi");
  XvfbFixture::waitUntil([&] { return typed(target).size() >= 2; });
  EXPECT_EQ(typed(target), (std::vector<std::pair<std::string, std::string>>{{"0x68", "h"}, {"0x69", "i"}}));
  EXPECT_TRUE(typed(other).empty());
}

// The keymap of a user with two layouts, switched to the second: Latin text still arrives
// as Latin (through spare keycodes), the second layout's own letters through their keys.
class RemoteKeyboardLayoutsOnX11 : public RemoteKeyboardOnX11 {
 protected:
  static void SetUpTestSuite() {
    RemoteKeyboardOnX11::SetUpTestSuite();
    TestProcess setxkbmap({.argv = {"setxkbmap", "-display", x->display(), "-layout", "us,ru"}});
    ASSERT_TRUE(XvfbFixture::waitUntil([&] { return !setxkbmap.running(); }));
    ASSERT_EQ(setxkbmap.status(), 0);
  }
};

TEST_F(RemoteKeyboardLayoutsOnX11, LatinTextArrivesWithTheSecondGroupActive) {
  Xterm xterm = startXterm("-echo");
  ASSERT_TRUE(lockModifiersAndGroup(0, 1));
  const std::string text = "Hello, \xD1\x84\xD0\xA4 world 42";  // Hello, фФ world 42
  input.handleKeyboardText(text + "\r");
  const std::string typed = typedInto(xterm, text.size() + 1);
  EXPECT_TRUE(lockModifiersAndGroup(0, 0));
  EXPECT_EQ(typed, text + "\n") << focusReport();
}
}  // namespace
}  // namespace orvo::testing

namespace orvo::testing {
namespace {

// What an injector held and remapped belongs to its server: when that server is gone,
// posts fail without harm, and a new server on the same display starts from nothing.
TEST(RemoteInputDisplayLoss, ALostServerTakesTheStateWithItAndANewOneStartsClean) {
  RecordingLogger logger;
  VirtualLoop loop{1000.0};
  DisplayNumberReservation reserved;  // the number stays ours between the two servers
  auto first = std::make_unique<XvfbFixture>(XvfbOptions{.displayNumber = reserved.number()});
  platform::x11::X11InputInjector injector(logger, loop.main(), loop.clock(), first->display());
  auto window = first->startTestWindow({"--geometry", "200x100+0+0"});
  ASSERT_TRUE(injector.postMouse(platform::MouseEventType::down, platform::MouseButton::primary, {50, 50}, 1));
  ASSERT_TRUE(injector.postCharacter(U'\u00E9'));
  EXPECT_EQ(injector.remappedKeycodeCount(), 1u);

  first->killServer();
  EXPECT_FALSE(injector.postCharacter(U'a'));
  EXPECT_FALSE(injector.postKey(36));
  EXPECT_FALSE(injector.postScroll(100, 0));
  EXPECT_FALSE(injector.postMouse(platform::MouseEventType::up, platform::MouseButton::primary, {50, 50}, 1));
  injector.releaseAll();

  XvfbFixture second(XvfbOptions{.displayNumber = reserved.number()});
  platform::x11::X11Connection connection(logger, second.display(), "check");
  auto display = connection.display();
  ASSERT_NE(display, nullptr);
  xcb_connection_t* c = display->connection();
  const xcb_setup_t* setup = xcb_get_setup(c);
  const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  auto keymap = [&] {
    auto reply = replyOf(c, xcb_get_keyboard_mapping_reply, xcb_get_keyboard_mapping(c, setup->min_keycode, count));
    const xcb_keysym_t* keysyms = reply ? xcb_get_keyboard_mapping_keysyms(reply.get()) : nullptr;
    return reply ? std::vector<xcb_keysym_t>(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply.get()))
                 : std::vector<xcb_keysym_t>{};
  };
  const auto before = keymap();

  ASSERT_TRUE(injector.postCharacter(U'\u00E9'));
  EXPECT_EQ(injector.remappedKeycodeCount(), 1u);  // the old server's keycode is forgotten...
  EXPECT_TRUE(XvfbFixture::waitUntil([&] { return keymap() != before; }));  // ...and this one remapped anew
  injector.releaseAll();
  EXPECT_EQ(injector.remappedKeycodeCount(), 0u);
  EXPECT_EQ(keymap(), before);
  auto pointer = replyOf(c, xcb_query_pointer_reply, xcb_query_pointer(c, display->root()));
  ASSERT_NE(pointer, nullptr);
  EXPECT_EQ(pointer->mask, 0);
}

}  // namespace
}  // namespace orvo::testing
