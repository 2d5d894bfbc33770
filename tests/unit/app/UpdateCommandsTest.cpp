// `orvo-host ctl check-for-updates`, `update-now` and the status line, over the update
// controller with a fake engine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/HostCommands.h"
#include "fakes/FakeUpdaterEngine.h"
#include "unit/host/HostHarness.h"
#include "updates/OrvoUpdaterController.h"

namespace orvo::testing {
namespace {

using ::testing::HasSubstr;

class UpdateCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h.start();
    auto owned = std::make_unique<FakeUpdaterEngine>(store);
    engine = owned.get();
    updater = OrvoUpdaterController::create(std::move(owned), h.loop.main());
    commands.emplace(*h.host, h.activation, h.loop.clock());
    commands->attachUpdater(*updater);
    h.loop.drain();
  }
  // Runs the command; returns its answer once it has come.
  std::optional<HostCommands::Result> run(std::vector<std::string> args) {
    std::optional<HostCommands::Result> answer;
    commands->executeAsync(args, [&](HostCommands::Result result) { answer = std::move(result); });
    h.loop.drain();
    return answer;
  }
  static AppcastItem item() {
    return AppcastItem{.versionString = "2.0.1", .displayVersionString = "2.0", .title = "Orvo Host 2"};
  }

  HostHarness h;
  FakeSettingsStore store;
  FakeUpdaterEngine* engine = nullptr;
  std::shared_ptr<OrvoUpdaterController> updater;
  std::optional<HostCommands> commands;
};

TEST_F(UpdateCommandsTest, CheckForUpdatesPrintsTheOutcomeWhenTheCheckEnds) {
  struct Case {
    UpdateCheckResult result;
    int exitCode;
    std::string output;
  };
  const Case cases[] = {
      {{.currentVersion = "1.0"}, 0, "Up to date: 1.0\n"},
      {{.currentVersion = "1.0", .update = item()}, 0, "Update available: 2.0 (2.0.1) — Orvo Host 2\n"},
      {{.currentVersion = "1.0", .update = AppcastItem{.versionString = "3", .displayVersionString = "3"}},
       0,
       "Update available: 3 (3) — Orvo Update\n"},
      {{.currentVersion = "1.0", .error = "The update server answered HTTP 404."},
       1,
       "Update check failed: The update server answered HTTP 404.\n"},
  };
  for (const auto& c : cases) {
    engine->checks.clear();
    std::optional<HostCommands::Result> answer;
    commands->executeAsync({"check-for-updates"}, [&](HostCommands::Result result) { answer = std::move(result); });
    h.loop.drain();
    EXPECT_FALSE(answer) << "the answer waits for the check";
    ASSERT_EQ(engine->checks.size(), 1u);
    engine->checks[0](c.result);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->exitCode, c.exitCode);
    EXPECT_EQ(answer->output, c.output);
  }
}

TEST_F(UpdateCommandsTest, StatusNamesThePendingUpdate) {
  EXPECT_THAT(run({"status"})->output, HasSubstr("\nUpdate: none\n"));
  engine->delegate().didFindValidUpdate(item());
  EXPECT_THAT(run({"status"})->output, HasSubstr("\nUpdate: 2.0 pending\n"));
  updater->notNow();
  EXPECT_THAT(run({"status"})->output, HasSubstr("\nUpdate: none\n"));
}

TEST_F(UpdateCommandsTest, UpdateNowReportsTheInstallersMessageOrTheError) {
  auto answer = run({"update-now"});
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->exitCode, 1);
  EXPECT_EQ(answer->output, "No update is waiting to be installed.\n");

  engine->delegate().didFindValidUpdate(item());
  std::optional<HostCommands::Result> later;
  commands->executeAsync({"update-now"}, [&](HostCommands::Result result) { later = std::move(result); });
  ASSERT_EQ(engine->installs.size(), 1u);
  EXPECT_EQ(engine->installs[0].versionString, "2.0.1");
  engine->installs[0].done(UpdateInstallResult{.error = "The downloaded update failed its signature check and was deleted."});
  ASSERT_TRUE(later);
  EXPECT_EQ(*later, (HostCommands::Result{1, "The downloaded update failed its signature check and was deleted.\n"}));

  commands->executeAsync({"update-now"}, [&](HostCommands::Result result) { later = std::move(result); });
  engine->installs[1].done(UpdateInstallResult{.package = "/tmp/u.deb", .message = "The verified update is at /tmp/u.deb."});
  EXPECT_EQ(*later, (HostCommands::Result{0, "The verified update is at /tmp/u.deb.\n"}));
}

TEST_F(UpdateCommandsTest, UpdateCancelStopsTheDownloadUnderWay) {
  EXPECT_EQ(*run({"update-cancel"}), (HostCommands::Result{1, "No update download is running.\n"}));
  engine->downloading = "2.0";
  EXPECT_EQ(*run({"update-cancel"}), (HostCommands::Result{0, "Cancelled the download of 2.0\n"}));
  EXPECT_EQ(engine->cancels, 2);
  EXPECT_THAT(HostCommands::usage(), HasSubstr("\n  update-cancel            stop the update download under way\n"));
}

TEST_F(UpdateCommandsTest, AnUnconfiguredUpdaterIsNotAskedAnything) {
  engine->configured = false;
  engine->delegate().didFindValidUpdate(item());
  for (const char* command : {"check-for-updates", "update-now", "update-cancel"}) {
    EXPECT_EQ(*run({command}), (HostCommands::Result{1, "Updates are not configured in this build\n"})) << command;
  }
  EXPECT_TRUE(engine->checks.empty());
  EXPECT_TRUE(engine->installs.empty());
  EXPECT_EQ(engine->cancels, 0);
}

TEST_F(UpdateCommandsTest, ExtraArgumentsAreAUsageError) {
  for (const char* command : {"check-for-updates", "update-now", "update-cancel"}) {
    const auto answer = run({command, "now"});
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->exitCode, 2) << command;
    EXPECT_TRUE(engine->checks.empty());
  }
}

}  // namespace
}  // namespace orvo::testing
