#include "updates/UpdaterSettings.h"

#include <gtest/gtest.h>

#include "fakes/FakeStores.h"

namespace orvo::testing {
namespace {

TEST(UpdaterSettings, DefaultsAndStoredValues) {
  FakeSettingsStore store;
  {
    UpdaterSettings settings(store);
    EXPECT_TRUE(*settings.automaticallyChecksForUpdates());
    EXPECT_FALSE(*settings.automaticallyDownloadsUpdates());
    EXPECT_FALSE(*settings.allowsAutomaticUpdates());
    EXPECT_FALSE(settings.feedURL());
  }
  store.setValue("SUEnableAutomaticChecks", "no");  // the wrong type reads as absent
  store.setValue("SUAutomaticallyUpdate", true);
  store.setValue("SUFeedURL", "");
  UpdaterSettings settings(store);
  EXPECT_TRUE(*settings.automaticallyChecksForUpdates());
  EXPECT_TRUE(*settings.automaticallyDownloadsUpdates());
  EXPECT_FALSE(settings.feedURL()) << "an empty address is none";
  store.setValue("SUFeedURL", "https://example.invalid/appcast.xml");
  EXPECT_EQ(settings.feedURL(), "https://example.invalid/appcast.xml");

  settings.setAutomaticallyChecksForUpdates(false);
  EXPECT_EQ(store.boolean("SUEnableAutomaticChecks"), false);
  EXPECT_FALSE(*settings.automaticallyChecksForUpdates());
}

TEST(UpdaterSettings, CheckIntervalIsADayUnlessAUsableNumberOfAtLeastAnHourIsStored) {
  struct Case {
    json::Json stored;
    double interval;
  };
  const Case cases[] = {
      {nullptr, 86400}, {7200, 7200},   {7200.5, 7200.5}, {60, 3600},
      {0, 86400},       {-5, 86400},    {"3600", 86400},  {true, 86400},
  };
  for (const auto& c : cases) {
    FakeSettingsStore store;
    if (!c.stored.is_null()) store.setValue("SUScheduledCheckInterval", c.stored);
    EXPECT_EQ(UpdaterSettings(store).updateCheckInterval(), c.interval) << c.stored.dump();
  }
}

}  // namespace
}  // namespace orvo::testing
