// Window pictures from a real X server: isolated pictures show a window's own pixels
// under whatever covers it, composited ones show the screen as it is.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "fixtures/TestWindowProtocol.h"
#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11capture/X11WindowCapturer.h"
#include "support/RecordingLogger.h"
#include "support/XvfbFixture.h"

namespace orvo::platform::x11 {
namespace {

using testing::patternColor;
using testing::XvfbFixture;

// 0xRRGGBB of the pixel at (x, y) of a B, G, R, X picture.
std::uint32_t colorAt(const ImageView& image, int x, int y) {
  const std::uint8_t* p = image.pixels + static_cast<std::size_t>(y) * image.stride + static_cast<std::size_t>(x) * 4;
  return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

// Where each band of a pattern shows in a picture: the band's middle column, middle row,
// starting `atX` pixels into the picture.
struct Expectation {
  std::string pattern;
  int patternWidth;
  int atX;
};

class CaptureSuite : public ::testing::Test {
 protected:
  virtual XvfbFixture& x() = 0;

  void SetUp() override {
    connection = std::make_unique<X11Connection>(logger, x().display(), "capture");
    capturer = std::make_unique<X11WindowCapturer>(*connection, logger);
    // The first capture sets up the redirect; windows made from now on are redirected
    // from the start.
    EXPECT_FALSE(capturer->captureWindow(0, std::nullopt, CaptureMode::isolated));
  }

  // Whether the picture shows each band of the pattern where expected.
  static bool shows(const ImageView& image, const Expectation& e) {
    for (int band = 0; band < testing::kPatternBands; ++band) {
      const int column = e.atX + (2 * band + 1) * e.patternWidth / (2 * testing::kPatternBands);
      if (column < 0 || column >= image.width) continue;
      if (colorAt(image, column, image.height / 2) != patternColor(e.pattern, band)) return false;
    }
    return true;
  }

  // Captures until the picture passes the check (the windows may still be painting).
  std::optional<ImageView> captureUntil(std::uint32_t window, CaptureMode mode,
                                        const std::function<bool(const ImageView&)>& check,
                                        X11WindowCapturer* with = nullptr) {
    X11WindowCapturer& c = with ? *with : *capturer;
    std::optional<ImageView> image;
    XvfbFixture::waitUntil(
        [&] {
          image = c.captureWindow(window, std::nullopt, mode);
          return image && check(*image);
        },
        std::chrono::seconds(10));
    return image;
  }
  std::optional<ImageView> captureShowing(std::uint32_t window, CaptureMode mode, const Expectation& expected,
                                          X11WindowCapturer* with = nullptr) {
    return captureUntil(window, mode, [&](const ImageView& image) { return shows(image, expected); }, with);
  }

  void coveredWindowTest() {
    auto under = x().startTestWindow({"--pattern", "under", "--geometry", "400x200+40+60"});
    auto cover = x().startTestWindow({"--pattern", "cover", "--geometry", "200x200+40+60"});

    auto isolated = captureShowing(under.window, CaptureMode::isolated, {"under", 400, 0});
    ASSERT_TRUE(isolated);
    EXPECT_EQ(isolated->width, 400);
    EXPECT_EQ(isolated->height, 200);
    EXPECT_TRUE(shows(*isolated, {"under", 400, 0})) << "the covered half shows the window's own bands";
    // Exactly the client area: no frame or title bar at the edges.
    EXPECT_EQ(colorAt(*isolated, 0, 0), patternColor("under", 0));
    EXPECT_EQ(colorAt(*isolated, 399, 199), patternColor("under", 7));

    // The screen settles in the window manager's time (frames placed, both windows
    // painted): wait for the whole picture, the cover on the left and the window's own
    // right half.
    auto composited = captureUntil(under.window, CaptureMode::composited, [](const ImageView& image) {
      if (image.width != 400 || image.height != 200 || !shows(image, {"cover", 200, 0})) return false;
      for (int band = 4; band < 8; ++band) {
        if (colorAt(image, band * 50 + 25, 100) != patternColor("under", band)) return false;
      }
      return true;
    });
    ASSERT_TRUE(composited);
    EXPECT_EQ(composited->width, 400);
    EXPECT_EQ(composited->height, 200);
    EXPECT_TRUE(shows(*composited, {"cover", 200, 0})) << "the left half shows the window in front";
    EXPECT_EQ(colorAt(*composited, 0, 0), patternColor("cover", 0));
    EXPECT_EQ(colorAt(*composited, 399, 199), patternColor("under", 7));
    for (int band = 4; band < 8; ++band) {
      EXPECT_EQ(colorAt(*composited, band * 50 + 25, 100), patternColor("under", band));
    }

    auto front = captureShowing(cover.window, CaptureMode::isolated, {"cover", 200, 0});
    ASSERT_TRUE(front);
    EXPECT_EQ(front->width, 200);
  }

  void missingWindowsTest() {
    for (const auto mode : {CaptureMode::isolated, CaptureMode::composited}) {
      EXPECT_FALSE(capturer->captureWindow(0x3FFFF1, std::nullopt, mode));
    }
    auto iconic = x().startTestWindow({"--pattern", "hidden", "--iconic", "--geometry", "100x80+0+0"});
    EXPECT_FALSE(capturer->captureWindow(iconic.window, std::nullopt, CaptureMode::isolated));
    EXPECT_FALSE(capturer->captureWindow(iconic.window, std::nullopt, CaptureMode::composited));

    auto closing = x().startTestWindow({"--pattern", "closing", "--geometry", "120x80+500+60"});
    ASSERT_TRUE(captureShowing(closing.window, CaptureMode::isolated, {"closing", 120, 0}));
    closing.process->stop();
    EXPECT_TRUE(XvfbFixture::waitUntil(
        [&] { return !capturer->captureWindow(closing.window, std::nullopt, CaptureMode::isolated); }));

    // None of that harmed the connection.
    auto alive = x().startTestWindow({"--pattern", "alive", "--geometry", "160x80+500+200"});
    EXPECT_TRUE(captureShowing(alive.window, CaptureMode::isolated, {"alive", 160, 0}));
    EXPECT_TRUE(connection->isConnected());
  }

  void plainRequestsTest() {
    auto window = x().startTestWindow({"--pattern", "plain", "--geometry", "240x120+600+300"});
    X11WindowCapturer plain(*connection, logger, /*allowSharedMemory=*/false);
    for (const auto mode : {CaptureMode::isolated, CaptureMode::composited}) {
      auto image = captureShowing(window.window, mode, {"plain", 240, 0}, &plain);
      ASSERT_TRUE(image);
      EXPECT_EQ(image->width, 240);
      EXPECT_TRUE(shows(*image, {"plain", 240, 0}));
    }
    EXPECT_FALSE(plain.usesSharedMemory());
    EXPECT_TRUE(capturer->usesSharedMemory());
  }

  // `immediately`: without a window manager the resize is done when the server has read
  // the request, so the very next picture must have the new size; a window manager
  // resizes the frame in its own time.
  void resizeTest(bool immediately) {
    auto window = x().startTestWindow({"--pattern", "grow", "--geometry", "100x50+700+500"});
    ASSERT_TRUE(captureShowing(window.window, CaptureMode::isolated, {"grow", 100, 0}));
    // Read again along the way the first picture was found.
    auto again = capturer->captureWindow(window.window, std::nullopt, CaptureMode::isolated);
    ASSERT_TRUE(again);
    EXPECT_TRUE(shows(*again, {"grow", 100, 0}));
    // The same window larger: a new segment, the right picture.
    const std::uint32_t size[] = {300, 150};
    xcb_connection_t* c = connection->display()->connection();
    xcb_configure_window(c, window.window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
    xcb_flush(c);
    if (immediately) {
      auto next = capturer->captureWindow(window.window, std::nullopt, CaptureMode::isolated);
      ASSERT_TRUE(next);
      EXPECT_EQ(next->width, 300);
      EXPECT_EQ(next->height, 150);
    }
    auto image = captureShowing(window.window, CaptureMode::isolated, {"grow", 300, 0});
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 300);
    EXPECT_EQ(image->height, 150);
  }

  testing::RecordingLogger logger;
  std::unique_ptr<X11Connection> connection;
  std::unique_ptr<X11WindowCapturer> capturer;
};

// Under a window manager: windows sit in frames with decorations.
class X11CaptureManaged : public CaptureSuite {
 protected:
  static void SetUpTestSuite() { fixture = std::make_unique<XvfbFixture>(testing::XvfbOptions{.windowManager = true}); }
  static void TearDownTestSuite() { fixture.reset(); }
  XvfbFixture& x() override { return *fixture; }
  static inline std::unique_ptr<XvfbFixture> fixture;
};

// Without one: top-level windows are the application's own.
class X11CaptureBare : public CaptureSuite {
 protected:
  static void SetUpTestSuite() { fixture = std::make_unique<XvfbFixture>(); }
  static void TearDownTestSuite() { fixture.reset(); }
  XvfbFixture& x() override { return *fixture; }
  static inline std::unique_ptr<XvfbFixture> fixture;
};

TEST_F(X11CaptureManaged, IsolatedShowsTheCoveredWindowCompositedShowsTheCover) { coveredWindowTest(); }
TEST_F(X11CaptureBare, IsolatedShowsTheCoveredWindowCompositedShowsTheCover) { coveredWindowTest(); }
TEST_F(X11CaptureManaged, GoneUnmappedOrUnknownWindowsGiveNoPicture) { missingWindowsTest(); }
TEST_F(X11CaptureBare, GoneUnmappedOrUnknownWindowsGiveNoPicture) { missingWindowsTest(); }
TEST_F(X11CaptureManaged, PlainRequestsGiveTheSamePictures) { plainRequestsTest(); }
TEST_F(X11CaptureBare, AResizedWindowIsReadAtItsNewSize) { resizeTest(true); }
TEST_F(X11CaptureManaged, AResizedWindowIsReadAtItsNewSize) { resizeTest(false); }

TEST_F(X11CaptureBare, CompositedPartsOffTheScreenAreBlack) {
  auto window = x().startTestWindow({"--pattern", "edge", "--geometry", "320x100+-160+400"});
  auto isolated = captureShowing(window.window, CaptureMode::isolated, {"edge", 320, 0});
  ASSERT_TRUE(isolated);
  EXPECT_TRUE(shows(*isolated, {"edge", 320, 0}));

  auto composited = captureUntil(window.window, CaptureMode::composited, [](const ImageView& image) {
    return colorAt(image, 300, 50) == patternColor("edge", 7);
  });
  ASSERT_TRUE(composited);
  EXPECT_EQ(composited->width, 320);
  EXPECT_EQ(colorAt(*composited, 20, 50), 0x000000u);
  EXPECT_EQ(colorAt(*composited, 300, 50), patternColor("edge", 7));
}

// A client-side decorated window is pictured without the shadow margins it declares.
TEST_F(X11CaptureBare, ShadowMarginsOfAClientSideDecoratedWindowAreLeftOut) {
  auto window = x().startTestWindow({"--pattern", "csd", "--geometry", "400x200+100+100"});
  const auto display = connection->display();
  ASSERT_NE(display, nullptr);
  xcb_connection_t* c = display->connection();
  const std::uint32_t shadow[] = {40, 40, 20, 30};  // left, right, top, bottom
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window.window, display->atom(Atom::GTK_FRAME_EXTENTS),
                      XCB_ATOM_CARDINAL, 32, 4, shadow);
  xcb_flush(c);
  for (const auto mode : {CaptureMode::isolated, CaptureMode::composited}) {
    auto image = captureUntil(window.window, mode, [](const ImageView& picture) {
      return picture.width == 320 && colorAt(picture, 0, 0) == patternColor("csd", 0) &&
             colorAt(picture, 319, 149) == patternColor("csd", 7);
    });
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 320);
    EXPECT_EQ(image->height, 150);
    EXPECT_EQ(colorAt(*image, 160, 75), patternColor("csd", testing::patternBandAt(200, 400)));
  }
}

// A display that goes away: no pictures, no crash, and the segments are let go.
TEST(X11CaptureLoss, ALostDisplayGivesNoPicture) {
  // A number of its own, which no other suite's server takes once this one is gone.
  testing::DisplayNumberReservation reserved;
  XvfbFixture x(testing::XvfbOptions{.displayNumber = reserved.number()});
  testing::RecordingLogger logger;
  X11Connection connection(logger, x.display(), "capture");
  X11WindowCapturer capturer(connection, logger);
  auto window = x.startTestWindow({"--pattern", "lost", "--geometry", "200x100+0+0"});
  ASSERT_TRUE(XvfbFixture::waitUntil(
      [&] { return capturer.captureWindow(window.window, std::nullopt, CaptureMode::isolated).has_value(); }));
  // Watched for changes, then lost: nothing is known about the picture any more.
  capturer.takeChanges(window.window, std::nullopt, CaptureMode::isolated);
  x.killServer();
  for (const auto mode : {CaptureMode::isolated, CaptureMode::composited, CaptureMode::isolated}) {
    EXPECT_FALSE(capturer.captureWindow(window.window, std::nullopt, mode));
    EXPECT_TRUE(capturer.takeChanges(window.window, std::nullopt, mode).everything);
  }
  EXPECT_EQ(logger.countPrefix("OrvoHost: X11 display"), 2u) << "connected once, lost once";
}

}  // namespace
}  // namespace orvo::platform::x11
