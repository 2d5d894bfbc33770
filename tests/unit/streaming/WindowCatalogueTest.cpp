#include "streaming/WindowCatalogue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

#include "core/testing/VirtualLoop.h"
#include "fakes/FakeSession.h"
#include "fakes/FakeWindowServer.h"
#include "support/RecordingLogger.h"

namespace orvo::testing {
namespace {

class WindowCatalogueTest : public ::testing::Test {
 protected:
  VirtualLoop loop{1000.0};
  RecordingLogger logger;
  FakeWindowServer windows;
  FakeSession session;
  WindowCatalogue catalogue{windows, session, loop.main(), loop.clock(), logger};
};

TEST_F(WindowCatalogueTest, ListsNormalOnScreenWindowsFrontToBackWithSummaries) {
  windows.add(10, {0, 0, 1280.9, 800.5}, "Mail", "Inbox");
  windows.add(11, {0, 0, 300, 200}, "XTerm", "");
  windows.add(12, {0, 0, 1920, 30}, "Panel", "", 1, /*layer=*/20);
  windows.add(13, {0, 0, 400, 300}, "Editor", "notes", 2, 0, /*onScreen=*/false);
  windows.windows.push_back({platform::WindowInfo{0, 14, std::nullopt, std::nullopt, std::nullopt, Rect{0, 0, 5, 6}}});
  windows.windows.push_back({platform::WindowInfo{std::nullopt, 15, "NoLayer", 1, "", Rect{0, 0, 5, 6}}});
  windows.windows.push_back({platform::WindowInfo{0, 16, "NoBounds", 1, "", std::nullopt}});
  windows.add(17, {0, 0, std::numeric_limits<double>::infinity(), 10}, "Huge");
  windows.add(18, {0, 0, 1e30, 10}, "Huge");

  const auto list = catalogue.buildWindowList();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], (OrvoWindow{10, "Mail", "Inbox", 1280, 800, "Mail: Inbox"}));
  EXPECT_EQ(list[1], (OrvoWindow{11, "XTerm", "", 300, 200, "XTerm is open"}));
  EXPECT_EQ(list[2], (OrvoWindow{14, "Unknown App", "", 5, 6, "Unknown App is open"}));
}

TEST_F(WindowCatalogueTest, MinimisedWindowsStillHaveOwnerAndBounds) {
  windows.add(13, {10, 20, 400, 300}, "Editor", "notes", 77, 0, /*onScreen=*/false);
  EXPECT_TRUE(catalogue.buildWindowList().empty());
  EXPECT_EQ(catalogue.ownerPID(13), 77);
  EXPECT_EQ(catalogue.windowBounds(13), (Rect{10, 20, 400, 300}));
  EXPECT_EQ(catalogue.ownerPID(99), std::nullopt);
  EXPECT_EQ(catalogue.windowBounds(99), std::nullopt);
}

TEST_F(WindowCatalogueTest, RequestsAreThrottledToOneListPerInterval) {
  windows.add(1, {0, 0, 10, 10});
  catalogue.handleWindowListRequest();  // first request after start: at once
  EXPECT_EQ(session.windowLists.size(), 1u);
  loop.advance(0.1);
  catalogue.handleWindowListRequest();  // deferred by 0.65 s
  windows.add(2, {0, 0, 10, 10});
  loop.advance(0.3);
  catalogue.handleWindowListRequest();  // folded into the deferred one
  EXPECT_EQ(session.windowLists.size(), 1u);
  loop.advance(0.349);
  EXPECT_EQ(session.windowLists.size(), 1u);
  loop.advance(0.002);
  ASSERT_EQ(session.windowLists.size(), 2u);
  EXPECT_EQ(session.windowLists[1].windows.size(), 2u);  // built when it fired
  EXPECT_EQ(logger.countPrefix("OrvoHost: sent windowList with 2 windows"), 1u);
  loop.advance(5.0);
  EXPECT_EQ(session.windowLists.size(), 2u);
}

// Frames are admitted only for listed windows: a panel, a minimised window and ids the
// desktop never listed (a window manager's frames) are refused. The check is cheap: a
// listed id costs no window-list query; a flood of unknown ids costs at most one query per
// 0.75 s; a window that appears is admitted at the next refresh.
TEST_F(WindowCatalogueTest, AdmitsFramesOnlyForListedWindowsWithoutAQueryPerRequest) {
  windows.add(10, {0, 0, 300, 200}, "XTerm");
  windows.add(12, {0, 0, 1920, 30}, "Panel", "", 1, /*layer=*/20);
  windows.add(13, {0, 0, 400, 300}, "Editor", "notes", 2, 0, /*onScreen=*/false);
  catalogue.handleWindowListRequest();
  const int afterList = windows.listCopies;

  struct Case {
    std::uint32_t id;
    bool admitted;
  };
  for (const Case c : {Case{10, true}, Case{12, false}, Case{13, false}, Case{0x400001, false}}) {
    EXPECT_EQ(catalogue.admitsFrames(c.id), c.admitted) << c.id;
  }
  // The list was just built: nothing asked again.
  EXPECT_EQ(windows.listCopies, afterList);
  for (int i = 0; i < 1000; ++i) {
    EXPECT_TRUE(catalogue.admitsFrames(10));
    EXPECT_FALSE(catalogue.admitsFrames(0x400000 + static_cast<std::uint32_t>(i)));
  }
  EXPECT_EQ(windows.listCopies, afterList);
  // Refusals are logged at most once a second, with a count of those in between.
  EXPECT_EQ(logger.countPrefix("OrvoHost: refused frames of window"), 1u);
  EXPECT_EQ(logger.countPrefix("OrvoHost: refused frames of window 12: not in the window list"), 1u);
  loop.advance(1.0);
  EXPECT_FALSE(catalogue.admitsFrames(13));
  EXPECT_TRUE(logger.has("OrvoHost: refused frames of window 13: not in the window list (1002 more refused before)"));

  // A window that appears is admitted once the interval has passed, with one query.
  windows.add(20, {0, 0, 300, 200}, "New");
  EXPECT_FALSE(catalogue.admitsFrames(20));
  EXPECT_EQ(windows.listCopies, afterList + 1);  // the refusal of 13 a second later asked again
  loop.advance(0.75);
  EXPECT_TRUE(catalogue.admitsFrames(20));
  EXPECT_EQ(windows.listCopies, afterList + 2);
  for (int i = 0; i < 100; ++i) catalogue.admitsFrames(0x500000 + static_cast<std::uint32_t>(i));
  EXPECT_EQ(windows.listCopies, afterList + 2);
  loop.advance(0.75);
  EXPECT_FALSE(catalogue.admitsFrames(12));
  EXPECT_EQ(windows.listCopies, afterList + 3);
}

TEST_F(WindowCatalogueTest, EmptyDesktopStillSendsAList) {
  catalogue.handleWindowListRequest();
  ASSERT_EQ(session.windowLists.size(), 1u);
  EXPECT_TRUE(session.windowLists[0].windows.empty());
  EXPECT_TRUE(logger.has("OrvoHost: sent windowList with 0 windows"));
}

}  // namespace
}  // namespace orvo::testing
