// The fixture program orvo-test-window shows what its options say, paints its pattern and
// records the input it gets; capture and input tests rely on all three.

#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xtest.h>

#include <optional>
#include <string>

#include "fixtures/TestWindowProtocol.h"
#include "platform/linux/x11/X11Connection.h"
#include "support/RecordingLogger.h"
#include "support/XvfbFixture.h"

namespace orvo::platform::x11 {
namespace {

using testing::XvfbFixture;

class TestWindowProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { x = std::make_unique<XvfbFixture>(); }
  static void TearDownTestSuite() { x.reset(); }
  static inline std::unique_ptr<XvfbFixture> x;

  void SetUp() override {
    display = connection.display();
    ASSERT_NE(display, nullptr);
    c = display->connection();
  }

  std::optional<std::string> property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type) {
    auto reply = replyOf(c, xcb_get_property_reply, xcb_get_property(c, 0, window, name, type, 0, 1024));
    if (!reply || reply->type == XCB_ATOM_NONE) return std::nullopt;
    const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply.get()));
    return std::string(bytes, bytes + xcb_get_property_value_length(reply.get()));
  }

  std::uint32_t pixelAt(xcb_window_t window, int px, int py) {
    auto image = replyOf(c, xcb_get_image_reply,
                         xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, static_cast<std::int16_t>(px),
                                       static_cast<std::int16_t>(py), 1, 1, ~0u));
    if (!image || xcb_get_image_data_length(image.get()) < 4) return 0xDEADBEEF;
    const std::uint8_t* p = xcb_get_image_data(image.get());
    return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];  // B, G, R, X in memory
  }

  testing::RecordingLogger logger;
  X11Connection connection{logger, x->display()};
  std::shared_ptr<X11Display> display;
  xcb_connection_t* c = nullptr;
};

TEST_F(TestWindowProgram, ShowsTheAskedPropertiesAndGeometry) {
  auto window = x->startTestWindow(
      {"--title", "Grüße ✓", "--class", "Demo", "--geometry", "200x100+10+20", "--type", "dock"});
  EXPECT_EQ(property(window.window, display->atom(Atom::NET_WM_NAME), display->atom(Atom::UTF8_STRING)), "Grüße ✓");
  EXPECT_EQ(property(window.window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING), "Gr\xFC\xDF" "e ?");
  EXPECT_EQ(property(window.window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING), std::string("Demo\0Demo\0", 10));
  const auto type = property(window.window, display->atom(Atom::NET_WM_WINDOW_TYPE), XCB_ATOM_ATOM);
  ASSERT_EQ(type.value_or("").size(), 4u);
  EXPECT_EQ(*reinterpret_cast<const xcb_atom_t*>(type->data()), display->atom(Atom::NET_WM_WINDOW_TYPE_DOCK));
  const auto pid = property(window.window, display->atom(Atom::NET_WM_PID), XCB_ATOM_CARDINAL);
  ASSERT_EQ(pid.value_or("").size(), 4u);
  EXPECT_EQ(*reinterpret_cast<const std::uint32_t*>(pid->data()), static_cast<std::uint32_t>(window.process->pid()));

  auto geometry = replyOf(c, xcb_get_geometry_reply, xcb_get_geometry(c, window.window));
  ASSERT_NE(geometry, nullptr);
  EXPECT_EQ(geometry->x, 10);
  EXPECT_EQ(geometry->y, 20);
  EXPECT_EQ(geometry->width, 200);
  EXPECT_EQ(geometry->height, 100);

  auto bare = x->startTestWindow({"--no-pid", "--override-redirect", "--iconic"});
  EXPECT_EQ(property(bare.window, display->atom(Atom::NET_WM_PID), XCB_ATOM_CARDINAL), std::nullopt);
  auto attributes = replyOf(c, xcb_get_window_attributes_reply, xcb_get_window_attributes(c, bare.window));
  ASSERT_NE(attributes, nullptr);
  EXPECT_TRUE(attributes->override_redirect);
  EXPECT_EQ(attributes->map_state, XCB_MAP_STATE_UNMAPPED);  // iconic without a window manager
}

TEST_F(TestWindowProgram, PaintsThePatternBandsOfItsKey) {
  auto window = x->startTestWindow({"--pattern", "alpha", "--geometry", "160x50+300+300"});
  for (int band = 0; band < testing::kPatternBands; ++band) {
    const int column = band * 160 / testing::kPatternBands + 160 / testing::kPatternBands / 2;
    ASSERT_EQ(testing::patternBandAt(column, 160), band);
    EXPECT_EQ(pixelAt(window.window, column, 25), testing::patternColor("alpha", band)) << "band " << band;
  }
  // Another key paints another picture.
  int differing = 0;
  for (int band = 0; band < testing::kPatternBands; ++band) {
    differing += testing::patternColor("alpha", band) != testing::patternColor("beta", band);
  }
  EXPECT_GE(differing, testing::kPatternBands / 2);
}

TEST_F(TestWindowProgram, RecordsPointerAndKeyInputWithServerTimes) {
  const std::string record = x->dir().file("input.record");
  auto window = x->startTestWindow({"--record", record, "--geometry", "100x80+500+400"});

  // The keycode that types 'a' in the server's keymap.
  const xcb_setup_t* setup = xcb_get_setup(c);
  auto map = replyOf(c, xcb_get_keyboard_mapping_reply,
                     xcb_get_keyboard_mapping(c, setup->min_keycode, setup->max_keycode - setup->min_keycode + 1));
  ASSERT_NE(map, nullptr);
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
  xcb_keycode_t keycodeA = 0;
  for (int i = 0; i < xcb_get_keyboard_mapping_keysyms_length(map.get()); ++i) {
    if (syms[i] == 'a') {
      keycodeA = static_cast<xcb_keycode_t>(setup->min_keycode + i / map->keysyms_per_keycode);
      break;
    }
  }
  ASSERT_NE(keycodeA, 0);

  const xcb_window_t root = display->root();
  xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, 515, 425, 0);
  xcb_test_fake_input(c, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, root, 0, 0, 0);
  xcb_test_fake_input(c, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, root, 0, 0, 0);
  xcb_test_fake_input(c, XCB_KEY_PRESS, keycodeA, XCB_CURRENT_TIME, root, 0, 0, 0);
  xcb_test_fake_input(c, XCB_KEY_RELEASE, keycodeA, XCB_CURRENT_TIME, root, 0, 0, 0);
  xcb_flush(c);

  std::vector<testing::RecordedEvent> events;
  XvfbFixture::waitUntil([&] {
    events = testing::readRecord(record);
    return events.size() >= 5;
  });
  ASSERT_EQ(events.size(), 5u);
  using Fields = std::vector<std::string>;
  EXPECT_EQ(events[0].type, "MotionNotify");
  EXPECT_EQ(events[0].fields, (Fields{"15", "25", "0"}));
  EXPECT_EQ(events[1].type, "ButtonPress");
  EXPECT_EQ(events[1].fields, (Fields{"1", "15", "25"}));
  EXPECT_EQ(events[2].type, "ButtonRelease");
  EXPECT_EQ(events[2].fields, (Fields{"1", "15", "25"}));
  EXPECT_EQ(events[3].type, "KeyPress");
  EXPECT_EQ(events[3].fields, (Fields{std::to_string(keycodeA), "0x61", "a"}));
  EXPECT_EQ(events[4].type, "KeyRelease");
  EXPECT_EQ(events[4].fields, (Fields{std::to_string(keycodeA)}));
  for (std::size_t i = 1; i < events.size(); ++i) EXPECT_GE(events[i].time, events[i - 1].time);
  EXPECT_NE(events[0].time, 0u);
}

class TestWindowProgramManaged : public TestWindowProgram {
 protected:
  static void SetUpTestSuite() { x = std::make_unique<XvfbFixture>(testing::XvfbOptions{.windowManager = true}); }
};

TEST_F(TestWindowProgramManaged, KeepsItsClientAreaInAFrameAndStartsIconicWhenAsked) {
  ASSERT_TRUE(x->hasWindowManager());
  auto window = x->startTestWindow({"--geometry", "200x100+50+60"});
  auto tree = replyOf(c, xcb_query_tree_reply, xcb_query_tree(c, window.window));
  ASSERT_NE(tree, nullptr);
  EXPECT_NE(tree->parent, display->root());  // reparented into a frame
  auto at = replyOf(c, xcb_translate_coordinates_reply, xcb_translate_coordinates(c, window.window, display->root(), 0, 0));
  ASSERT_NE(at, nullptr);
  EXPECT_EQ(at->dst_x, 50);
  EXPECT_EQ(at->dst_y, 60);

  auto iconic = x->startTestWindow({"--iconic"});
  const auto state = property(iconic.window, display->atom(Atom::WM_STATE), display->atom(Atom::WM_STATE));
  ASSERT_GE(state.value_or("").size(), 4u);
  EXPECT_EQ(*reinterpret_cast<const std::uint32_t*>(state->data()), 3u);  // IconicState
  auto attributes = replyOf(c, xcb_get_window_attributes_reply, xcb_get_window_attributes(c, iconic.window));
  ASSERT_NE(attributes, nullptr);
  EXPECT_EQ(attributes->map_state, XCB_MAP_STATE_UNMAPPED);
}

TEST(TestWindowRecord, ParsesEveryLineShapeIncludingBlankKeyText) {
  struct Case {
    std::string line;
    std::string type;
    std::vector<std::string> fields;
    std::uint32_t time;
  };
  const Case cases[] = {
      {"ButtonPress 4 10 20 99", "ButtonPress", {"4", "10", "20"}, 99},
      {"MotionNotify 1 2 256 7", "MotionNotify", {"1", "2", "256"}, 7},
      {"KeyPress 65 0x20   123", "KeyPress", {"65", "0x20", " "}, 123},
      {"KeyPress 50 0xffe1  124", "KeyPress", {"50", "0xffe1", ""}, 124},
      {"KeyPress 38 0x1000e9 é 125", "KeyPress", {"38", "0x1000e9", "é"}, 125},
      {"KeyRelease 38 126", "KeyRelease", {"38"}, 126},
  };
  for (const auto& c : cases) {
    const auto event = testing::parseRecordLine(c.line);
    EXPECT_EQ(event.type, c.type) << c.line;
    EXPECT_EQ(event.fields, c.fields) << c.line;
    EXPECT_EQ(event.time, c.time) << c.line;
  }
}

}  // namespace
}  // namespace orvo::platform::x11
