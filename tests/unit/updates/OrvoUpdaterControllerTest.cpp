#include "updates/OrvoUpdaterController.h"

#include <gtest/gtest.h>

#include "core/testing/VirtualLoop.h"
#include "fakes/FakeStores.h"
#include "fakes/FakeUpdaterEngine.h"
#include "updates/UpdaterSettings.h"

namespace orvo::testing {
namespace {

AppcastItem item(std::string version, std::optional<std::string> title = "Orvo 2.0",
                 std::optional<std::string> description = "Faster frames.") {
  return AppcastItem{.versionString = version,
                     .displayVersionString = "v" + version,
                     .title = std::move(title),
                     .itemDescription = std::move(description)};
}

class OrvoUpdaterControllerTest : public ::testing::Test {
 protected:
  OrvoUpdaterControllerTest() {
    auto owned = std::make_unique<FakeUpdaterEngine>(store);
    engine = owned.get();
    controller = OrvoUpdaterController::create(std::move(owned), loop.main());
  }

  VirtualLoop loop;
  FakeSettingsStore store;
  FakeUpdaterEngine* engine = nullptr;
  std::shared_ptr<OrvoUpdaterController> controller;
};

TEST_F(OrvoUpdaterControllerTest, MirrorsHoldTheirInitialValuesUntilTheFirstDeliveryThenFollowTheEngine) {
  EXPECT_EQ(engine->starts, 1);
  engine->canCheck.set(true);
  EXPECT_FALSE(*controller->canCheckForUpdates());
  EXPECT_TRUE(*controller->automaticallyChecksForUpdates());
  EXPECT_FALSE(*controller->automaticallyDownloadsUpdates());
  EXPECT_FALSE(*controller->allowsAutomaticUpdates());

  loop.drain();
  EXPECT_TRUE(*controller->canCheckForUpdates());
  EXPECT_TRUE(*controller->automaticallyChecksForUpdates());

  engine->canCheck.set(false);
  engine->settings().setAutomaticallyChecksForUpdates(false);
  EXPECT_TRUE(*controller->canCheckForUpdates()) << "changes arrive through the main queue";
  loop.drain();
  EXPECT_FALSE(*controller->canCheckForUpdates());
  EXPECT_FALSE(*controller->automaticallyChecksForUpdates());
}

TEST(OrvoUpdaterControllerMirrors, StartFromTheStoredPreferences) {
  VirtualLoop loop;
  FakeSettingsStore store;
  store.setValue("SUEnableAutomaticChecks", false);
  store.setValue("SUAutomaticallyUpdate", true);
  store.setValue("SUAllowsAutomaticUpdates", true);
  auto controller = OrvoUpdaterController::create(std::make_unique<FakeUpdaterEngine>(store), loop.main());
  loop.drain();
  EXPECT_FALSE(*controller->automaticallyChecksForUpdates());
  EXPECT_TRUE(*controller->automaticallyDownloadsUpdates());
  EXPECT_TRUE(*controller->allowsAutomaticUpdates());
}

TEST(OrvoUpdaterControllerMirrors, DeliveriesAfterTheControllerIsGoneDoNothing) {
  VirtualLoop loop;
  FakeSettingsStore store;
  auto controller = OrvoUpdaterController::create(std::make_unique<FakeUpdaterEngine>(store), loop.main());
  controller.reset();
  EXPECT_GT(loop.drain(), 0u);
}

TEST_F(OrvoUpdaterControllerTest, AutomaticDownloadsAreWrittenAndReadBackAtOnce) {
  loop.drain();
  controller->setAutomaticallyDownloadsUpdates(true);
  EXPECT_TRUE(*controller->automaticallyDownloadsUpdates());
  EXPECT_EQ(store.boolean("SUAutomaticallyUpdate"), true);
  loop.drain();
  EXPECT_TRUE(*controller->automaticallyDownloadsUpdates());
  controller->setAutomaticallyDownloadsUpdates(false);
  EXPECT_FALSE(*controller->automaticallyDownloadsUpdates());
  EXPECT_EQ(store.boolean("SUAutomaticallyUpdate"), false);
}

TEST_F(OrvoUpdaterControllerTest, ScheduledFindSetsThePendingUpdateAndKeepsTheEngineWindowAway) {
  const auto found = item("2.0");
  engine->delegate().didFindValidUpdate(found);
  EXPECT_FALSE(engine->delegate().shouldHandleShowingScheduledUpdate(found, false));
  EXPECT_FALSE(engine->delegate().shouldHandleShowingScheduledUpdate(found, true));
  controller->notNow();
  engine->delegate().willHandleShowingUpdate(false, found, false);
  EXPECT_EQ(*controller->pendingUpdate(),
            (PendingUpdate{.id = "2.0", .version = "v2.0", .title = "Orvo 2.0", .summary = "Faster frames."}));

  // A later find replaces the record.
  engine->delegate().willHandleShowingUpdate(false, item("2.1", "Orvo 2.1"), false);
  EXPECT_EQ(controller->pendingUpdate()->value().id, "2.1");
  controller->notNow();
  EXPECT_FALSE(controller->pendingUpdate()->has_value());
}

TEST_F(OrvoUpdaterControllerTest, PresentationRulesForShowingAnUpdate) {
  struct Case {
    bool handleShowing;
    bool userInitiated;
    bool setsPending;
  };
  for (const auto& c : {Case{false, false, true}, Case{true, false, false}, Case{false, true, false},
                        Case{true, true, false}}) {
    controller->notNow();
    engine->delegate().willHandleShowingUpdate(c.handleShowing, item("2.0"), c.userInitiated);
    EXPECT_EQ(controller->pendingUpdate()->has_value(), c.setsPending)
        << "handleShowing " << c.handleShowing << " userInitiated " << c.userInitiated;
  }
}

TEST_F(OrvoUpdaterControllerTest, UserInitiatedFindIsClearedByAttentionToThatVersionOnly) {
  std::optional<UpdateCheckResult> outcome;
  controller->checkForUpdates([&](const UpdateCheckResult& result) { outcome = result; });
  ASSERT_EQ(engine->checks.size(), 1u);
  engine->delegate().didFindValidUpdate(item("2.0"));
  engine->delegate().willHandleShowingUpdate(true, item("2.0"), true);
  engine->checks[0](UpdateCheckResult{.currentVersion = "1.0", .update = item("2.0")});
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->update->versionString, "2.0");
  EXPECT_EQ(controller->pendingUpdate()->value().id, "2.0");

  engine->delegate().didReceiveUserAttentionForUpdate(item("1.9"));
  EXPECT_EQ(controller->pendingUpdate()->value().id, "2.0") << "attention for another version";
  engine->delegate().didReceiveUserAttentionForUpdate(item("2.0"));
  EXPECT_FALSE(controller->pendingUpdate()->has_value());
}

TEST_F(OrvoUpdaterControllerTest, NoUpdateFoundAndErrorsLeaveThePendingUpdateAsItWas) {
  engine->delegate().didNotFindUpdate(std::nullopt);
  EXPECT_FALSE(controller->pendingUpdate()->has_value());
  engine->delegate().didFindValidUpdate(item("2.0"));
  engine->delegate().didNotFindUpdate(std::string("HTTP 500"));
  EXPECT_EQ(controller->pendingUpdate()->value().id, "2.0");
  engine->delegate().willFinishUpdateSession();
  EXPECT_FALSE(controller->pendingUpdate()->has_value());
}

TEST_F(OrvoUpdaterControllerTest, UpdateNowInstallsThePendingUpdate) {
  std::optional<UpdateInstallResult> result;
  controller->updateNow({}, [&](const UpdateInstallResult& r) { result = r; });
  ASSERT_TRUE(result);
  EXPECT_EQ(result->error, "No update is waiting to be installed.");
  EXPECT_TRUE(engine->installs.empty());

  engine->delegate().didFindValidUpdate(item("2.0"));
  result.reset();
  controller->updateNow({}, [&](const UpdateInstallResult& r) { result = r; });
  ASSERT_EQ(engine->installs.size(), 1u);
  EXPECT_EQ(engine->installs[0].versionString, "2.0");
  EXPECT_FALSE(result);
  engine->installs[0].done(UpdateInstallResult{.package = "/tmp/orvo.deb", .message = "handed over"});
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->failed());
}

// Every step of an install is published once, and the result stays (with the update it
// belongs to) after the engine has cleared the pending update, until a new check starts.
TEST_F(OrvoUpdaterControllerTest, InstallActivityFollowsEachStepAndIsClearedByTheNextCheck) {
  using Stage = UpdateActivity::Stage;
  std::vector<std::optional<UpdateActivity>> seen;
  auto watch = controller->installActivity().subscribe([&](const auto& value) { seen.push_back(value); });
  seen.clear();

  struct Case {
    const char* what;
    std::optional<UpdateInstallResult> result;
    Stage stage;
    std::string message;
  };
  const Case cases[] = {
      {"failed download", UpdateInstallResult{.error = "The update could not be downloaded: HTTP 404."}, Stage::failed,
       "The update could not be downloaded: HTTP 404."},
      {"handed over", UpdateInstallResult{.package = "/tmp/orvo.deb", .message = "Opened the installer."},
       Stage::finished, "Opened the installer."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    engine->installs.clear();
    engine->delegate().didFindValidUpdate(item("2.0"));
    const PendingUpdate pending = controller->pendingUpdate()->value();
    seen.clear();
    std::vector<UpdateProgress> relayed;
    controller->updateNow([&](const UpdateProgress& step) { relayed.push_back(step); });
    ASSERT_EQ(engine->installs.size(), 1u);
    auto& install = engine->installs[0];
    engine->delegate().didReceiveUserAttentionForUpdate(item("2.0"));  // as the engine does
    install.progress(UpdateProgress{.received = 10, .expected = 40});
    install.progress(UpdateProgress{.received = 40, .expected = 40, .verifying = true});
    install.done(*c.result);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], (UpdateActivity{.update = pending}));
    EXPECT_EQ(seen[1], (UpdateActivity{.update = pending, .received = 10, .expected = 40}));
    EXPECT_EQ(seen[2]->stage, Stage::verifying);
    EXPECT_EQ(seen[3], (UpdateActivity{.update = pending, .stage = c.stage, .message = c.message}));
    EXPECT_EQ(relayed.size(), 2u) << "the caller's progress handler still hears every step";
    EXPECT_FALSE(controller->pendingUpdate()->has_value());

    // The next check (scheduled or asked for) clears it, once.
    seen.clear();
    engine->delegate().willCheckForUpdates();
    engine->delegate().willCheckForUpdates();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_FALSE(seen[0].has_value());
  }

  // "Not Now" on a result dismisses it as well.
  engine->installs.clear();
  engine->delegate().didFindValidUpdate(item("2.0"));
  controller->updateNow();
  engine->installs[0].done(UpdateInstallResult{.error = "gone"});
  EXPECT_EQ(controller->installActivity()->value().stage, Stage::failed);
  controller->notNow();
  EXPECT_FALSE(controller->installActivity()->has_value());
}

TEST(PendingUpdateFromItem, CleansTheDescriptionAndFillsGaps) {
  struct Case {
    std::optional<std::string> title;
    std::optional<std::string> description;
    std::string wantTitle;
    std::string wantSummary;
  };
  const Case cases[] = {
      {"Orvo 2.0", "Hello<br/>World\n\n\n\nAgain", "Orvo 2.0", "HelloWorld\n\nAgain"},
      {std::nullopt, std::nullopt, "Orvo Update", "A new Orvo update is available."},
      {std::nullopt, "", "Orvo Update", "A new Orvo update is available."},
      {"", "<p> </p>\n\n", "", "A new Orvo update is available."},
      {"T", "<ul><li>One</li>\n<li>Two</li></ul>", "T", "One\nTwo"},
      {"T", "  \n\tKeep\n\nthis\n\n\nspacing \xC2\xA0\n", "T", "Keep\n\nthis\n\nspacing"},
      {"T", "a < b and c > d", "T", "a  d"},
      {"T", "5 < 6", "T", "5 < 6"},
  };
  for (const auto& c : cases) {
    const auto update = PendingUpdate::fromItem(
        AppcastItem{.versionString = "7", .displayVersionString = "7.0", .title = c.title, .itemDescription = c.description});
    EXPECT_EQ(update.id, "7");
    EXPECT_EQ(update.version, "7.0");
    EXPECT_EQ(update.title, c.wantTitle);
    EXPECT_EQ(update.summary, c.wantSummary) << c.description.value_or("(none)");
  }
}

}  // namespace
}  // namespace orvo::testing
