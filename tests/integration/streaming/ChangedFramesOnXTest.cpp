// Frames from a real X server's changes (XDamage): a still window is answered from its
// kept frame, a typed line re-encodes only its rows, and what covers or uncovers a window
// shown composited is seen. Each frame is compared with a whole capture and encode.

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11capture/X11WindowCapturer.h"
#include "streaming/FrameProducer.h"
#include "support/RecordingLogger.h"
#include "support/XvfbFixture.h"

namespace orvo::platform::x11 {
namespace {

using testing::XvfbFixture;
using Path = ProducedFrame::Path;

// The real capturer, with its calls counted.
class CountingCapturer final : public WindowCapturer {
 public:
  explicit CountingCapturer(X11WindowCapturer& real) : real_(real) {}
  std::optional<ImageView> captureWindow(std::uint32_t window, const std::optional<Rect>& bounds,
                                         CaptureMode mode) override {
    ++whole;
    return real_.captureWindow(window, bounds, mode);
  }
  PictureChanges takeChanges(std::uint32_t window, const std::optional<Rect>& bounds, CaptureMode mode) override {
    return real_.takeChanges(window, bounds, mode);
  }
  std::optional<ImageView> captureRows(std::uint32_t window, const std::optional<Rect>& bounds, CaptureMode mode,
                                       const std::vector<RowSpan>& rows) override {
    ++rowReads;
    return real_.captureRows(window, bounds, mode, rows);
  }
  int whole = 0;
  int rowReads = 0;

 private:
  X11WindowCapturer& real_;
};

class ChangedFramesOnX : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { fixture = std::make_unique<XvfbFixture>(); }
  static void TearDownTestSuite() { fixture.reset(); }

  void SetUp() override {
    // The first capture sets up the redirect; windows made from now on are redirected.
    EXPECT_FALSE(real.captureWindow(0, std::nullopt, CaptureMode::isolated));
    EXPECT_FALSE(wholeCapturer.captureWindow(0, std::nullopt, CaptureMode::isolated));
  }

  std::optional<ProducedFrame> produce(std::uint32_t window, CaptureMode mode) {
    auto outcome = producer.produce(window, std::nullopt, mode, interactiveProfile, 0.78);
    return std::move(outcome.frame);
  }
  // Frames until one is answered from the kept frame: the window has finished drawing.
  std::optional<ProducedFrame> settle(std::uint32_t window, CaptureMode mode) {
    std::optional<ProducedFrame> frame;
    XvfbFixture::waitUntil([&] {
      frame = produce(window, mode);
      return frame && frame->path == Path::cached;
    });
    return frame;
  }
  // The frame of a whole capture and encode of the window as it is now.
  Bytes wholeFrame(std::uint32_t window, CaptureMode mode) {
    const auto picture = wholeCapturer.captureWindow(window, std::nullopt, mode);
    if (!picture) return {};
    const auto frame = reference.makeFrame(window, *picture, interactiveProfile, 0.78);
    return frame ? frame->wire : Bytes{};
  }
  // Draws a filled rectangle into the window, as its program would, and waits until the
  // server has done it.
  void fill(std::uint32_t window, std::int16_t x, std::int16_t y, std::uint16_t width, std::uint16_t height,
            std::uint32_t colour) {
    const auto display = drawing.display();
    ASSERT_NE(display, nullptr);
    xcb_connection_t* c = display->connection();
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, window, XCB_GC_FOREGROUND, &colour);
    const xcb_rectangle_t rect{x, y, width, height};
    xcb_poly_fill_rectangle(c, window, gc, 1, &rect);
    xcb_free_gc(c, gc);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }

  static inline std::unique_ptr<XvfbFixture> fixture;
  testing::RecordingLogger logger;
  X11Connection connection{logger, fixture->display(), "capture"};
  X11WindowCapturer real{connection, logger};
  CountingCapturer capturer{real};
  FrameProducer producer{capturer};
  // Whole pictures for comparison, over a connection of their own.
  X11Connection wholeConnection{logger, fixture->display(), "whole"};
  X11WindowCapturer wholeCapturer{wholeConnection, logger};
  X11Connection drawing{logger, fixture->display(), "drawing"};
  FrameProducer reference{wholeCapturer};
};

TEST_F(ChangedFramesOnX, AStillWindowIsAnsweredFromTheKeptFrameWithoutACapture) {
  auto window = fixture->startTestWindow({"--pattern", "still", "--geometry", "640x400+20+20"});
  const auto settled = settle(window.window, CaptureMode::isolated);
  ASSERT_TRUE(settled);
  ASSERT_TRUE(real.tracksChanges());
  const int whole = capturer.whole, rows = capturer.rowReads;
  for (int i = 0; i < 5; ++i) {
    const auto frame = produce(window.window, CaptureMode::isolated);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->path, Path::cached);
    EXPECT_TRUE(frame->wire == settled->wire);
  }
  EXPECT_EQ(capturer.whole, whole);
  EXPECT_EQ(capturer.rowReads, rows);
  EXPECT_TRUE(settled->wire == wholeFrame(window.window, CaptureMode::isolated));
}

TEST_F(ChangedFramesOnX, ATypedLineReencodesOnlyTheRowsItTouches) {
  auto window = fixture->startTestWindow({"--pattern", "typing", "--geometry", "640x400+700+20"});
  // The text goes into a child window, as a terminal's text area is one.
  const auto display = drawing.display();
  ASSERT_NE(display, nullptr);
  xcb_connection_t* c = display->connection();
  const xcb_window_t text = xcb_generate_id(c);
  const std::uint32_t white = 0xFFFFFF;
  xcb_create_window(c, XCB_COPY_FROM_PARENT, text, window.window, 0, 50, 640, 350, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL, &white);
  xcb_map_window(c, text);
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  ASSERT_TRUE(settle(window.window, CaptureMode::isolated));
  const int whole = capturer.whole;
  // A line of text at rows 100…113 of the window: rows of MCUs 6 and 7 (16 pixel rows each).
  for (int column = 0; column < 4; ++column) {
    fill(text, static_cast<std::int16_t>(20 + column * 12), 50, 8, 14, 0x102030u * (column + 1));
    const auto frame = produce(window.window, CaptureMode::isolated);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->path, Path::partial);
    EXPECT_EQ(frame->encodedMcuRows, 2);
    EXPECT_EQ(frame->mcuRows, 25);
    EXPECT_TRUE(frame->wire == wholeFrame(window.window, CaptureMode::isolated));
  }
  EXPECT_EQ(capturer.whole, whole);
}

TEST_F(ChangedFramesOnX, AWindowChangingEverywhereIsReadWithItsChangesAndStaysExact) {
  auto window = fixture->startTestWindow({"--pattern", "scrolling", "--geometry", "480x300+20+460"});
  ASSERT_TRUE(settle(window.window, CaptureMode::isolated));
  struct Step {
    const char* what;
    std::int16_t y;
    std::uint16_t height;
    bool readWithChanges;  // whole, in the round trip of the changes
    int encodedMcuRows;    // 0: not checked
  };
  // The window is 300 rows: 19 rows of MCUs.
  const Step steps[] = {
      {"first change everywhere", 0, 300, false, 19},
      {"second change everywhere", 0, 300, true, 19},
      {"third change everywhere", 0, 300, true, 19},
      {"a line after changes everywhere", 34, 10, true, 1},
      {"a line after a line", 82, 10, false, 1},
      {"everywhere after a line", 0, 300, false, 19},
  };
  std::uint32_t colour = 0x203040;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    colour += 0x0A1429;
    fill(window.window, 0, step.y, 480, step.height, colour);
    const auto before = real.picturesReadWithChanges();
    const auto frame = produce(window.window, CaptureMode::isolated);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->path, Path::partial);
    EXPECT_EQ(frame->encodedMcuRows, step.encodedMcuRows);
    EXPECT_EQ(real.picturesReadWithChanges() - before, step.readWithChanges ? 1u : 0u);
    EXPECT_TRUE(frame->wire == wholeFrame(window.window, CaptureMode::isolated));
  }
  const auto still = produce(window.window, CaptureMode::isolated);
  ASSERT_TRUE(still);
  EXPECT_EQ(still->path, Path::cached);

  // Resized while changing everywhere: the read along the old route is refused, and the
  // frame is the window at its new size.
  for (int i = 0; i < 2; ++i) {
    fill(window.window, 0, 0, 480, 300, colour += 0x0A1429);
    ASSERT_TRUE(produce(window.window, CaptureMode::isolated));
  }
  const auto display = drawing.display();
  ASSERT_NE(display, nullptr);
  xcb_connection_t* c = display->connection();
  // Contents kept on the resize: with the default gravity the server would forget them and
  // the window's program would repaint at a moment of its own, racing the fill below.
  const std::uint32_t gravity = XCB_GRAVITY_NORTH_WEST;
  xcb_change_window_attributes(c, window.window, XCB_CW_BIT_GRAVITY, &gravity);
  const std::uint32_t size[] = {400, 240};
  xcb_configure_window(c, window.window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
  fill(window.window, 0, 0, 400, 240, colour += 0x0A1429);
  const auto resized = produce(window.window, CaptureMode::isolated);
  ASSERT_TRUE(resized);
  EXPECT_EQ(resized->width, 400);
  EXPECT_EQ(resized->height, 240);
  EXPECT_TRUE(resized->wire == wholeFrame(window.window, CaptureMode::isolated));
}

TEST_F(ChangedFramesOnX, AWindowCoveredAndUncoveredInCompositedModeIsCapturedAgain) {
  auto under = fixture->startTestWindow({"--pattern", "under", "--geometry", "400x200+40+500"});
  const auto still = settle(under.window, CaptureMode::composited);
  ASSERT_TRUE(still);
  {
    auto cover = fixture->startTestWindow({"--pattern", "cover", "--geometry", "200x120+40+500"});
    const auto covered = produce(under.window, CaptureMode::composited);
    ASSERT_TRUE(covered);
    EXPECT_NE(covered->path, Path::cached);
    EXPECT_FALSE(covered->wire == still->wire);
    EXPECT_TRUE(covered->wire == wholeFrame(under.window, CaptureMode::composited));
    cover.process->stop();
  }
  // Once the cover has gone, the window as it was.
  std::optional<ProducedFrame> uncovered;
  EXPECT_TRUE(XvfbFixture::waitUntil([&] {
    uncovered = produce(under.window, CaptureMode::composited);
    return uncovered && uncovered->wire == still->wire;
  }));
  EXPECT_TRUE(wholeFrame(under.window, CaptureMode::composited) == still->wire);
}

TEST_F(ChangedFramesOnX, WithoutChangeTrackingEveryFrameIsCapturedWhole) {
  auto window = fixture->startTestWindow({"--pattern", "untracked", "--geometry", "320x200+20+700"});
  X11WindowCapturer untracked(connection, logger, true, /*allowChangeTracking=*/false);
  FrameProducer whole(untracked);
  for (int i = 0; i < 3; ++i) {
    const auto outcome = whole.produce(window.window, std::nullopt, CaptureMode::isolated, interactiveProfile, 0.78);
    ASSERT_TRUE(outcome.frame);
    EXPECT_EQ(outcome.frame->path, Path::full);
  }
  EXPECT_FALSE(untracked.tracksChanges());
}

}  // namespace
}  // namespace orvo::platform::x11
