// The updater engine with the update controller on top, over real libcurl and libsodium:
// appcasts and packages come from a local HTTP server on 127.0.0.1, signed with a key the
// test makes; time is the virtual loop's.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/testing/VirtualLoop.h"
#include "fakes/FakeStores.h"
#include "integration/updates/UpdateTestKeys.h"
#include "platform/PackageInstaller.h"
#include "platform/linux/updates/CurlHttpClient.h"
#include "platform/linux/updates/SodiumUpdateVerifier.h"
#include "support/ChildProcess.h"
#include "support/LocalHttpServer.h"
#include "support/RecordingLogger.h"
#include "support/TempDir.h"
#include "updates/AppcastUpdaterEngine.h"
#include "updates/OrvoUpdaterController.h"

namespace orvo::testing {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;


// Records what it was handed; the file must still be there when it is handed over.
class RecordingInstaller final : public platform::PackageInstaller {
 public:
  Result install(const fs::path& package) override {
    handed.push_back(package);
    contents.push_back(readFile(package));
    return {std::nullopt, "handed over " + package.string()};
  }
  std::vector<fs::path> handed;
  std::vector<std::string> contents;
};

struct Release {
  std::string version;
  std::string shortVersion;
  std::optional<std::string> title = "Orvo Host";
  std::optional<std::string> description = "<p>Better frames.</p>";
  std::string packagePath = "/orvo-host_2.0_amd64.deb";
};

std::string rss(const std::string& items) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
         "<channel><title>Orvo Host</title>\n" +
         items + "</channel></rss>\n";
}

class UpdaterEngineTest : public ::testing::Test {
 protected:
  const std::string packageContent = std::string(300000, 'p') + "orvo-host package";

  void startUpdater(std::string current = "1.0") {
    auto engine = std::make_unique<AppcastUpdaterEngine>(
        AppcastUpdaterEngine::Services{loop.main(), logger, store, http, verifier, installer},
        AppcastUpdaterEngine::Config{.currentVersion = std::move(current),
                                     .builtInFeedURL = server.url("/appcast.xml"),
                                     .publicKey = keys.publicKeyBase64(),
                                     .downloadDirectory = downloads});
    controller = OrvoUpdaterController::create(std::move(engine), loop.main());
    loop.drain();
  }

  // An <item> for the release; its enclosure is served with `content` and announced with
  // `length` and `signature` (the true ones unless given).
  std::string item(const Release& release, std::optional<std::string> content = std::nullopt,
                   std::optional<std::size_t> length = std::nullopt, std::optional<std::string> signature = std::nullopt) {
    const std::string body = content.value_or(packageContent);
    server.serve(release.packagePath, body);
    std::string xml = "<item>\n";
    if (release.title) xml += "<title>" + *release.title + "</title>\n";
    if (release.description) xml += "<description><![CDATA[" + *release.description + "]]></description>\n";
    xml += "<sparkle:version>" + release.version + "</sparkle:version>\n";
    xml += "<sparkle:shortVersionString>" + release.shortVersion + "</sparkle:shortVersionString>\n";
    xml += "<enclosure url=\"" + server.url(release.packagePath) + "\" length=\"" +
           std::to_string(length.value_or(body.size())) + "\" type=\"application/vnd.debian.binary-package\" " +
           "sparkle:edSignature=\"" + signature.value_or(keys.sign(body)) + "\"/>\n</item>\n";
    return xml;
  }

  UpdateCheckResult check() {
    std::optional<UpdateCheckResult> outcome;
    controller->checkForUpdates([&](const UpdateCheckResult& result) { outcome = result; });
    loop.drain();
    EXPECT_TRUE(outcome) << "the check did not report";
    return outcome.value_or(UpdateCheckResult{});
  }

  UpdateInstallResult updateNow() {
    std::optional<UpdateInstallResult> outcome;
    controller->updateNow([&](const UpdateProgress& step) { progress.push_back(step); },
                          [&](const UpdateInstallResult& result) { outcome = result; });
    loop.drain();
    EXPECT_TRUE(outcome) << "the install did not report";
    return outcome.value_or(UpdateInstallResult{});
  }

  std::vector<fs::path> downloadedFiles() const {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(downloads, error)) files.push_back(entry.path());
    return files;
  }

  VirtualLoop loop;
  FakeSettingsStore store;
  RecordingLogger logger;
  LocalHttpServer server;
  TempDir dir;
  fs::path downloads = dir.file("cache/updates");
  std::unique_ptr<SerialQueue> worker = loop.makeSerialQueue("orvo.updates", QueuePriority::unspecified);
  platform::CurlHttpClient http{loop.main(), *worker, "orvo-host-test"};
  platform::SodiumUpdateVerifier verifier;
  RecordingInstaller installer;
  UpdateTestKeys keys;
  std::vector<UpdateProgress> progress;
  std::shared_ptr<OrvoUpdaterController> controller;
};

TEST_F(UpdaterEngineTest, UserCheckFindsTheNewestNewerItemOnly) {
  struct Case {
    std::vector<std::string> offered;
    std::optional<std::string> found;
  };
  const Case cases[] = {
      {{"0.9"}, std::nullopt},                 // older
      {{"1.0.0"}, std::nullopt},               // equal
      {{"1.0b3", "0.1"}, std::nullopt},        // a pre-release of the running version
      {{"1.1", "1.10", "1.9"}, "1.10"},        // newest of several, not the last in the feed
      {{"1.0.1"}, "1.0.1"},
  };
  startUpdater("1.0");
  EXPECT_TRUE(*controller->canCheckForUpdates());
  for (const auto& c : cases) {
    std::string items;
    for (const auto& version : c.offered) items += item({.version = version, .shortVersion = "v" + version});
    server.serve("/appcast.xml", rss(items));
    controller->notNow();
    const auto result = check();
    ASSERT_FALSE(result.failed()) << *result.error;
    EXPECT_EQ(result.currentVersion, "1.0");
    if (!c.found) {
      EXPECT_FALSE(result.update) << "offered " << c.offered.front();
      EXPECT_FALSE(controller->pendingUpdate()->has_value());
      continue;
    }
    ASSERT_TRUE(result.update);
    EXPECT_EQ(result.update->versionString, *c.found);
    EXPECT_EQ(result.update->displayVersionString, "v" + *c.found);
    EXPECT_EQ(controller->pendingUpdate()->value().id, *c.found);
  }
  EXPECT_TRUE(*controller->canCheckForUpdates());
  EXPECT_TRUE(logger.has("Updater: up to date: 1.0"));
}

TEST_F(UpdaterEngineTest, ItemTextsBecomeThePendingUpdate) {
  startUpdater();
  server.serve("/appcast.xml", rss(item({.version = "2.0",
                                         .shortVersion = "2.0 beta",
                                         .description = "Faster<br/>frames\n\n\n\n<b>Fewer</b> stalls\n"})));
  check();
  EXPECT_EQ(*controller->pendingUpdate(), (PendingUpdate{.id = "2.0",
                                                         .version = "2.0 beta",
                                                         .title = "Orvo Host",
                                                         .summary = "Fasterframes\n\nFewer stalls"}));

  server.serve("/appcast.xml",
               rss(item({.version = "3.0", .shortVersion = "3.0", .title = std::nullopt, .description = std::nullopt})));
  check();
  EXPECT_EQ(*controller->pendingUpdate(), (PendingUpdate{.id = "3.0",
                                                         .version = "3.0",
                                                         .title = "Orvo Update",
                                                         .summary = "A new Orvo update is available."}));
}

TEST_F(UpdaterEngineTest, FailedChecksReportTheErrorAndKeepThePendingUpdate) {
  startUpdater();
  server.serve("/appcast.xml", rss(item({.version = "2.0", .shortVersion = "2.0"})));
  check();
  ASSERT_TRUE(controller->pendingUpdate()->has_value());

  struct Case {
    std::string body;
    int status;
    std::string error;
  };
  const Case cases[] = {
      {"<rss><channel><item><title>cut off", 200, "The update information is not a valid appcast: "},
      {"<html><body>Moved</body></html>", 200, "The update information is not a valid appcast: no <rss><channel>"},
      {"", 200, "The update information is not a valid appcast: "},
      {"gone", 404, "The update server answered HTTP 404."},
      {"oops", 500, "The update server answered HTTP 500."},
  };
  for (const auto& c : cases) {
    server.serve("/appcast.xml", c.body, c.status);
    const auto result = check();
    ASSERT_TRUE(result.failed()) << c.body;
    EXPECT_THAT(*result.error, ::testing::StartsWith(c.error));
    EXPECT_FALSE(result.update);
    EXPECT_EQ(controller->pendingUpdate()->value().id, "2.0") << c.body;
    EXPECT_TRUE(*controller->canCheckForUpdates()) << "a failed check ends";
  }

  // Nothing listens on the port any more.
  store.setValue("SUFeedURL", "http://127.0.0.1:1/appcast.xml");
  const auto result = check();
  ASSERT_TRUE(result.failed());
  EXPECT_THAT(*result.error, HasSubstr("The update information could not be downloaded: "));
  EXPECT_EQ(controller->pendingUpdate()->value().id, "2.0");
}

TEST_F(UpdaterEngineTest, ScheduledChecksRunAMinuteAfterStartThenEveryInterval) {
  server.serve("/appcast.xml", rss(item({.version = "2.0", .shortVersion = "2.0"})));
  store.setValue("SUScheduledCheckInterval", 7200);
  startUpdater();
  loop.advance(59);
  EXPECT_EQ(server.requests("/appcast.xml"), 0);
  EXPECT_FALSE(controller->pendingUpdate()->has_value());
  loop.advance(1);
  EXPECT_EQ(server.requests("/appcast.xml"), 1);
  ASSERT_TRUE(controller->pendingUpdate()->has_value()) << "a scheduled find shows the reminder";
  EXPECT_EQ(controller->pendingUpdate()->value().id, "2.0");
  EXPECT_TRUE(installer.handed.empty());
  EXPECT_TRUE(downloadedFiles().empty()) << "automatic downloads are off by default";

  // A failed scheduled check is only logged.
  server.serve("/appcast.xml", "<rss>", 200);
  loop.advance(7199);
  EXPECT_EQ(server.requests("/appcast.xml"), 1);
  loop.advance(1);
  EXPECT_EQ(server.requests("/appcast.xml"), 2);
  EXPECT_EQ(controller->pendingUpdate()->value().id, "2.0");
  EXPECT_THAT(logger.lines(), ::testing::Contains(::testing::StartsWith(
                                  "Updater: check failed: The update information is not a valid appcast:")));

  // Switched off, the schedule keeps running but fetches nothing.
  controller->updater().settings().setAutomaticallyChecksForUpdates(false);
  loop.advance(7200 * 3);
  EXPECT_EQ(server.requests("/appcast.xml"), 2);
}

TEST_F(UpdaterEngineTest, WithoutAFeedNothingIsFetchedAndChecksAreRefused) {
  auto engine = std::make_unique<AppcastUpdaterEngine>(
      AppcastUpdaterEngine::Services{loop.main(), logger, store, http, verifier, installer},
      AppcastUpdaterEngine::Config{.currentVersion = "1.0", .publicKey = keys.publicKeyBase64(), .downloadDirectory = downloads});
  controller = OrvoUpdaterController::create(std::move(engine), loop.main());
  loop.drain();
  EXPECT_FALSE(*controller->canCheckForUpdates());
  loop.advance(2 * 86400);
  const auto result = check();
  ASSERT_TRUE(result.failed());
  EXPECT_THAT(*result.error, HasSubstr("SUFeedURL"));
  EXPECT_EQ(server.requests("/appcast.xml"), 0);

  // An address set later is used from the next scheduled check on.
  server.serve("/appcast.xml", rss(item({.version = "2.0", .shortVersion = "2.0"})));
  store.setValue("SUFeedURL", server.url("/appcast.xml"));
  loop.advance(86400);
  EXPECT_EQ(server.requests("/appcast.xml"), 1);
  EXPECT_TRUE(*controller->canCheckForUpdates());
  EXPECT_EQ(controller->pendingUpdate()->value().id, "2.0");
}

TEST_F(UpdaterEngineTest, UpdateNowDownloadsVerifiesAndHandsOverThePackage) {
  startUpdater();
  server.serve("/appcast.xml", rss(item({.version = "2.0", .shortVersion = "2.0"})));
  check();
  const auto result = updateNow();
  ASSERT_FALSE(result.failed()) << *result.error;
  ASSERT_EQ(installer.handed.size(), 1u);
  EXPECT_EQ(installer.handed[0], downloads / "orvo-host_2.0_amd64.deb");
  EXPECT_EQ(installer.contents[0], packageContent);
  EXPECT_EQ(result.package, installer.handed[0]);
  EXPECT_EQ(result.message, "handed over " + installer.handed[0].string());
  EXPECT_EQ(downloadedFiles(), std::vector<fs::path>{installer.handed[0]}) << "the verified package is kept";
  EXPECT_EQ(fs::status(installer.handed[0]).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(controller->pendingUpdate()->has_value()) << "the update was attended to";
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().received, packageContent.size());
  EXPECT_EQ(progress.back().expected, packageContent.size());
  EXPECT_TRUE(logger.has("Updater: downloaded 100%"));
}

TEST_F(UpdaterEngineTest, APackageThatFailsItsChecksIsDeletedAndNotHandedOver) {
  const std::string other = packageContent + "tampered";
  struct Case {
    const char* what;
    std::optional<std::string> served;
    std::optional<std::size_t> length;
    std::optional<std::string> signature;
  };
  UpdateTestKeys strangers;
  const Case cases[] = {
      {"content changed after signing", other, other.size(), std::nullopt},
      {"signed by another key", std::nullopt, std::nullopt, strangers.sign(packageContent)},
      {"no signature", std::nullopt, std::nullopt, std::string()},
      {"signature not base64", std::nullopt, std::nullopt, std::string("not*base64")},
      {"shorter than announced", std::nullopt, packageContent.size() + 10, std::nullopt},
      {"longer than announced", std::nullopt, packageContent.size() - 10, std::nullopt},
  };
  startUpdater();
  for (const auto& c : cases) {
    std::string served = c.served.value_or(packageContent);
    std::string signature = c.signature.value_or(keys.sign(c.served ? packageContent : served));
    server.serve("/appcast.xml", rss(item({.version = "2.0", .shortVersion = "2.0"}, served, c.length, signature)));
    check();
    ASSERT_TRUE(controller->pendingUpdate()->has_value());
    const auto result = updateNow();
    ASSERT_TRUE(result.failed()) << c.what;
    EXPECT_EQ(*result.error, "The downloaded update failed its signature check and was deleted.") << c.what;
    EXPECT_TRUE(downloadedFiles().empty()) << c.what;
    EXPECT_TRUE(installer.handed.empty()) << c.what;
    EXPECT_TRUE(*controller->canCheckForUpdates()) << c.what;
  }
}

TEST_F(UpdaterEngineTest, AFailedDownloadIsReportedAndLeavesNoFile) {
  startUpdater();
  Release release{.version = "2.0", .shortVersion = "2.0"};
  server.serve("/appcast.xml", rss(item(release)));
  check();
  server.serve(release.packagePath, "missing", 404);
  const auto result = updateNow();
  ASSERT_TRUE(result.failed());
  EXPECT_EQ(*result.error, "The update could not be downloaded: the server answered HTTP 404.");
  EXPECT_TRUE(downloadedFiles().empty());
  EXPECT_TRUE(installer.handed.empty());
}

TEST_F(UpdaterEngineTest, AutomaticDownloadsPrepareTheUpdateWhenAllowed) {
  store.setValue("SUAutomaticallyUpdate", true);
  store.setValue("SUAllowsAutomaticUpdates", true);
  Release release{.version = "2.0", .shortVersion = "2.0"};
  server.serve("/appcast.xml", rss(item(release)));
  startUpdater();
  loop.advance(60);
  EXPECT_EQ(server.requests(release.packagePath), 1);
  EXPECT_EQ(downloadedFiles(), std::vector<fs::path>{downloads / "orvo-host_2.0_amd64.deb"});
  EXPECT_EQ(controller->pendingUpdate()->value().id, "2.0");
  EXPECT_TRUE(installer.handed.empty());

  const auto result = updateNow();
  ASSERT_FALSE(result.failed()) << *result.error;
  EXPECT_EQ(server.requests(release.packagePath), 1) << "the prepared package is used";
  ASSERT_EQ(installer.handed.size(), 1u);
  EXPECT_EQ(installer.contents[0], packageContent);
}

TEST_F(UpdaterEngineTest, AutomaticDownloadsNeedBothPreferences) {
  store.setValue("SUAutomaticallyUpdate", true);
  Release release{.version = "2.0", .shortVersion = "2.0"};
  server.serve("/appcast.xml", rss(item(release)));
  startUpdater();
  loop.advance(60);
  EXPECT_EQ(server.requests("/appcast.xml"), 1);
  EXPECT_EQ(server.requests(release.packagePath), 0);
}

// What scripts/release.sh prints is an appcast item that this updater accepts: a package
// built with dpkg-deb, signed with a key made by openssl, offered and installed.
TEST_F(UpdaterEngineTest, TheReleaseScriptsItemInstallsThroughTheUpdater) {
  const auto root = dir.file("pkg");
  fs::create_directories(root + "/DEBIAN");
  std::ofstream(root + "/DEBIAN/control") << "Package: orvo-host\nVersion: 2.1.0\nArchitecture: all\n"
                                          << "Maintainer: Test <test@localhost>\nDescription: test package\n";
  const auto deb = dir.file("orvo-host_2.1.0_all.deb");
  const auto key = dir.file("release.pem");
  std::ofstream(dir.file("notes.html")) << "<p>Notes with ]]> inside</p>";
  const std::string command =
      "dpkg-deb --root-owner-group --build '" + root + "' '" + deb + "' >/dev/null && " +
      "openssl genpkey -algorithm ed25519 -out '" + key + "' && " + "bash '" ORVO_SOURCE_DIR "/scripts/release.sh' --key '" +
      key + "' --base-url '" + server.url("/dl/") + "' --notes '" + dir.file("notes.html") + "' --package '" + deb +
      "' >'" + dir.file("item.xml") + "' 2>'" + dir.file("release.log") + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << readFile(dir.file("release.log"));
  const auto log = readFile(dir.file("release.log"));
  const auto keyAt = log.find("Public key (ORVO_UPDATE_PUBLIC_KEY): ");
  ASSERT_NE(keyAt, std::string::npos) << log;
  const auto publicKey = log.substr(keyAt + 37, 44);

  server.serve("/appcast.xml", rss(readFile(dir.file("item.xml"))));
  server.serve("/dl/orvo-host_2.1.0_all.deb", readFile(deb));
  auto engine = std::make_unique<AppcastUpdaterEngine>(
      AppcastUpdaterEngine::Services{loop.main(), logger, store, http, verifier, installer},
      AppcastUpdaterEngine::Config{.currentVersion = "2.0.9",
                                   .builtInFeedURL = server.url("/appcast.xml"),
                                   .publicKey = publicKey,
                                   .downloadDirectory = downloads});
  controller = OrvoUpdaterController::create(std::move(engine), loop.main());
  const auto found = check();
  ASSERT_TRUE(found.update) << found.error.value_or("no update");
  EXPECT_EQ(controller->pendingUpdate()->value(), (PendingUpdate{.id = "2.1.0",
                                                                 .version = "2.1.0",
                                                                 .title = "Orvo Host 2.1.0",
                                                                 .summary = "Notes with ]]> inside"}));
  const auto result = updateNow();
  ASSERT_FALSE(result.failed()) << *result.error;
  ASSERT_EQ(installer.contents.size(), 1u);
  EXPECT_EQ(installer.contents[0], readFile(deb));
}

}  // namespace
}  // namespace orvo::testing
