// The updater engine with the update controller on top, over real libcurl, libsodium and
// dpkg: appcasts and packages come from a local HTTPS server on 127.0.0.1 whose
// certificate an authority made by the test signed; the packages are real ones built by
// the test with known versions and signed with a key the test makes; time is the virtual
// loop's.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "core/testing/VirtualLoop.h"
#include "fakes/FakeStores.h"
#include "integration/updates/TestPackages.h"
#include "integration/updates/UpdateTestKeys.h"
#include "platform/PackageInstaller.h"
#include "platform/linux/updates/CurlHttpClient.h"
#include "platform/linux/updates/DpkgDebPackageReader.h"
#include "platform/linux/updates/SodiumUpdateVerifier.h"
#include "support/ChildProcess.h"
#include "support/LocalHttpServer.h"
#include "support/RecordingLogger.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
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
  // One authority and server certificate for the whole suite: making them takes a while.
  static void SetUpTestSuite() {
    certificateDir = new TempDir;
    certificates = new TestCertificates(certificateDir->path());
  }
  static void TearDownTestSuite() {
    delete certificates;
    delete certificateDir;
  }
  static inline TempDir* certificateDir = nullptr;
  static inline TestCertificates* certificates = nullptr;

  AppcastUpdaterEngine::Services services() {
    return {loop.main(), logger, store, http, verifier, packageReader, installer, *checks};
  }
  AppcastUpdaterEngine::Config config(std::string current = "1.0") {
    return {.currentVersion = std::move(current),
            .builtInFeedURL = server.url("/appcast.xml"),
            .publicKey = keys.publicKeyBase64(),
            .downloadDirectory = downloads};
  }
  void startUpdater(AppcastUpdaterEngine::Config settings) {
    controller = OrvoUpdaterController::create(std::make_unique<AppcastUpdaterEngine>(services(), std::move(settings)),
                                               loop.main());
    loop.drain();
  }
  void startUpdater(std::string current = "1.0") { startUpdater(config(std::move(current))); }

  // A real package of `name` in `version` (built once per test).
  const std::string& package(const std::string& version, const std::string& name = "orvo-host") {
    auto& built = packages[name + " " + version];
    if (built.empty()) built = buildTestPackage(dir.path(), name, version, 300000);
    return built;
  }

  // An <item> for the release; its enclosure is served with `content` (the release's own
  // package unless given) and announced with `length` and `signature` (the true ones
  // unless given).
  std::string item(const Release& release, std::optional<std::string> content = std::nullopt,
                   std::optional<std::size_t> length = std::nullopt, std::optional<std::string> signature = std::nullopt) {
    const std::string body = content.value_or(package(release.version));
    server.serve(release.packagePath, body);
    return itemXml(release, server.url(release.packagePath), length.value_or(body.size()),
                   signature.value_or(keys.sign(body)));
  }
  static std::string itemXml(const Release& release, const std::string& url, std::size_t length,
                             const std::string& signature) {
    std::string xml = "<item>\n";
    if (release.title) xml += "<title>" + *release.title + "</title>\n";
    if (release.description) xml += "<description><![CDATA[" + *release.description + "]]></description>\n";
    xml += "<sparkle:version>" + release.version + "</sparkle:version>\n";
    xml += "<sparkle:shortVersionString>" + release.shortVersion + "</sparkle:shortVersionString>\n";
    xml += "<enclosure url=\"" + url + "\" length=\"" + std::to_string(length) +
           "\" type=\"application/vnd.debian.binary-package\" " + "sparkle:edSignature=\"" + signature + "\"/>\n</item>\n";
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
  LocalHttpServer server{{certificates->serverCertificate, certificates->serverKey}};
  TempDir dir;
  fs::path downloads = dir.file("cache/updates");
  std::unique_ptr<SerialQueue> worker = loop.makeSerialQueue("orvo.updates", QueuePriority::unspecified);
  std::unique_ptr<SerialQueue> checks = loop.makeSerialQueue("orvo.updates.checks", QueuePriority::unspecified);
  platform::CurlHttpClient http{loop.main(), *worker,
                                {.userAgent = "orvo-host-test", .caFile = certificates->authorityFile}};
  platform::SodiumUpdateVerifier verifier;
  platform::DpkgDebPackageReader packageReader;
  RecordingInstaller installer;
  UpdateTestKeys keys;
  std::map<std::string, std::string> packages;
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

  // Nothing listens on the port.
  store.setValue("SUFeedURL", "https://127.0.0.1:1/appcast.xml");
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
  auto settings = config();
  settings.builtInFeedURL.clear();
  startUpdater(settings);
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
  EXPECT_EQ(installer.contents[0], package("2.0"));
  EXPECT_EQ(result.package, installer.handed[0]);
  EXPECT_EQ(result.message, "handed over " + installer.handed[0].string());
  EXPECT_EQ(downloadedFiles(), std::vector<fs::path>{installer.handed[0]}) << "the verified package is kept";
  EXPECT_EQ(fs::status(installer.handed[0]).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(controller->pendingUpdate()->has_value()) << "the update was attended to";
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().received, package("2.0").size());
  EXPECT_EQ(progress.back().expected, package("2.0").size());
  // The whole package in, it is checked: said once, last.
  EXPECT_TRUE(progress.back().verifying);
  EXPECT_EQ(std::count_if(progress.begin(), progress.end(), [](const auto& step) { return step.verifying; }), 1);
  EXPECT_TRUE(logger.has("Updater: downloaded 100%"));
  EXPECT_EQ(controller->installActivity()->value().stage, UpdateActivity::Stage::finished);

  // A new check clears what the install reported.
  check();
  EXPECT_FALSE(controller->installActivity()->has_value());
}

TEST_F(UpdaterEngineTest, APackageThatFailsItsChecksIsDeletedAndNotHandedOver) {
  const std::string genuine = package("2.0");
  const std::string other = genuine + "tampered";
  struct Case {
    const char* what;
    std::optional<std::string> served;
    std::optional<std::size_t> length;
    std::optional<std::string> signature;
  };
  UpdateTestKeys strangers;
  const Case cases[] = {
      {"content changed after signing", other, other.size(), std::nullopt},
      {"signed by another key", std::nullopt, std::nullopt, strangers.sign(genuine)},
      {"no signature", std::nullopt, std::nullopt, std::string()},
      {"signature not base64", std::nullopt, std::nullopt, std::string("not*base64")},
      {"shorter than announced", std::nullopt, genuine.size() + 10, std::nullopt},
      {"longer than announced", std::nullopt, genuine.size() - 10, std::nullopt},
  };
  startUpdater();
  for (const auto& c : cases) {
    std::string served = c.served.value_or(genuine);
    std::string signature = c.signature.value_or(keys.sign(genuine));
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

// A correctly signed package is only what it says it is: an old release offered under a
// newer version, another release or another program is refused after the signature check.
TEST_F(UpdaterEngineTest, ASignedPackageMustBeTheAnnouncedNewerVersionOfThisProgram) {
  struct Case {
    const char* what;
    std::string running;
    std::string announced;
    std::string packageName;
    std::string packageVersion;
    std::string error;
  };
  const Case cases[] = {
      {"an older release offered as newer", "1.0", "2.0", "orvo-host", "0.9",
       "The downloaded update is version 0.9, not the version 2.0 the appcast announced; it was deleted."},
      {"the running release offered as newer", "1.0", "2.0", "orvo-host", "1.0",
       "The downloaded update is version 1.0, not the version 2.0 the appcast announced; it was deleted."},
      {"a newer release than announced", "1.0", "2.0", "orvo-host", "2.1",
       "The downloaded update is version 2.1, not the version 2.0 the appcast announced; it was deleted."},
      {"another program", "1.0", "2.0", "orvo-client", "2.0",
       "The downloaded update is a package of “orvo-client”, not of orvo-host; it was deleted."},
      // The appcast's order takes 2.0~1 for newer than 2.0; apt takes it for a pre-release.
      {"a pre-release of the running version", "2.0", "2.0~1", "orvo-host", "2.0~1",
       "The downloaded update is version 2.0~1, not newer than the running version 2.0; it was deleted."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    startUpdater(c.running);
    const std::string deb = package(c.packageVersion, c.packageName);
    server.serve("/appcast.xml", rss(item({.version = c.announced, .shortVersion = c.announced}, deb)));
    const auto found = check();
    ASSERT_TRUE(found.update) << found.error.value_or("no update offered");
    const auto result = updateNow();
    ASSERT_TRUE(result.failed());
    EXPECT_EQ(*result.error, c.error);
    EXPECT_TRUE(downloadedFiles().empty());
    EXPECT_TRUE(installer.handed.empty());
    EXPECT_TRUE(logger.has("Updater: " + c.error));
    std::printf("[ refused ] %s: %s\n", c.what, c.error.c_str());
  }
}

// What an attacker on the path could do without a certificate: offer the feed or the
// package over http, or send an https request on to http. Nothing is fetched over http.
TEST_F(UpdaterEngineTest, HttpFeedsPackagesAndRedirectsToHttpAreRefused) {
  LocalHttpServer plain;
  const Release release{.version = "2.0", .shortVersion = "2.0"};
  plain.serve("/appcast.xml", rss(item(release)));
  plain.serve(release.packagePath, package("2.0"));

  store.setValue("SUFeedURL", plain.url("/appcast.xml"));
  startUpdater();
  auto result = check();
  ASSERT_TRUE(result.failed());
  EXPECT_THAT(*result.error, HasSubstr("The update information could not be downloaded: only https addresses are allowed"));

  server.redirect("/moved.xml", plain.url("/appcast.xml"));
  store.setValue("SUFeedURL", server.url("/moved.xml"));
  result = check();
  ASSERT_TRUE(result.failed());
  EXPECT_THAT(*result.error, HasSubstr("refused a redirect from https to http"));
  EXPECT_FALSE(controller->pendingUpdate()->has_value());

  // A package offered over http, and one whose https address redirects to http.
  const std::string deb = package("2.0");
  server.redirect("/moved.deb", plain.url(release.packagePath));
  for (const auto& url : {plain.url(release.packagePath), server.url("/moved.deb")}) {
    store.setValue("SUFeedURL", server.url("/appcast.xml"));
    server.serve("/appcast.xml", rss(itemXml(release, url, deb.size(), keys.sign(deb))));
    ASSERT_TRUE(check().update);
    const auto install = updateNow();
    ASSERT_TRUE(install.failed()) << url;
    EXPECT_THAT(*install.error, HasSubstr("The update could not be downloaded: ")) << url;
    EXPECT_TRUE(downloadedFiles().empty());
    EXPECT_TRUE(installer.handed.empty());
    std::printf("[ refused ] %s: %s\n", url.c_str(), install.error->c_str());
  }
  EXPECT_EQ(plain.requests("/appcast.xml"), 0);
  EXPECT_EQ(plain.requests(release.packagePath), 0);
}

TEST_F(UpdaterEngineTest, AKeptPackageIsCheckedAgainRightBeforeItIsHandedOver) {
  store.setValue("SUAutomaticallyUpdate", true);
  store.setValue("SUAllowsAutomaticUpdates", true);
  Release release{.version = "2.0", .shortVersion = "2.0"};
  server.serve("/appcast.xml", rss(item(release)));
  startUpdater();
  loop.advance(60);
  const auto kept = downloads / "orvo-host_2.0_amd64.deb";
  ASSERT_EQ(downloadedFiles(), std::vector<fs::path>{kept});

  // Replaced while it waited in the cache: a package of the same length, signed by nobody.
  std::string replaced = readFile(kept);
  replaced[replaced.size() / 2] ^= 1;
  std::ofstream(kept, std::ios::binary | std::ios::trunc) << replaced;
  const auto result = updateNow();
  ASSERT_TRUE(result.failed());
  EXPECT_EQ(*result.error, "The downloaded update failed its signature check and was deleted.");
  EXPECT_TRUE(installer.handed.empty());
  EXPECT_TRUE(downloadedFiles().empty());
  EXPECT_EQ(server.requests(release.packagePath), 1);
  EXPECT_FALSE(controller->pendingUpdate()->has_value()) << "the update session ended";
}

TEST_F(UpdaterEngineTest, ADownloadCanBeCancelled) {
  startUpdater();
  const Release release{.version = "2.0", .shortVersion = "2.0", .packagePath = "/slow.deb"};
  server.serve("/appcast.xml", rss(item(release)));
  ASSERT_TRUE(check().update);
  EXPECT_FALSE(controller->cancelDownload()) << "nothing runs yet";

  std::optional<UpdateInstallResult> outcome;
  controller->updateNow({}, [&](const UpdateInstallResult& result) { outcome = result; });
  EXPECT_FALSE(*controller->updater().canCheckForUpdates()) << "busy while downloading";
  EXPECT_EQ(controller->cancelDownload(), "2.0");
  EXPECT_FALSE(controller->cancelDownload()) << "already cancelled";
  loop.drain();
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->error, "The update download was cancelled.");
  EXPECT_TRUE(downloadedFiles().empty());
  EXPECT_TRUE(installer.handed.empty());
  EXPECT_EQ(server.requests(release.packagePath), 0);
  EXPECT_TRUE(*controller->canCheckForUpdates());
  EXPECT_TRUE(logger.has("Updater: cancelling the download of 2.0"));
}

// The deadline grows with the announced length: the allowance plus the length at the
// minimum rate. A package trickling in slower than that is given up at the deadline.
TEST_F(UpdaterEngineTest, ADownloadSlowerThanTheMinimumRateEndsAtItsDeadline) {
  auto settings = config();
  settings.minimumDownloadRate = 100'000;
  settings.downloadDeadlineAllowance = 1;
  startUpdater(settings);
  const Release release{.version = "2.0", .shortVersion = "2.0", .packagePath = "/slow.deb"};
  server.serve("/appcast.xml", rss(item(release)));
  const std::string deb = package("2.0");  // about 300 KB: 1 s + 3 s
  server.serveSlowly(release.packagePath, deb, 30'000);  // 10 s to send in full
  ASSERT_TRUE(check().update);
  const auto started = std::chrono::steady_clock::now();
  const auto result = updateNow();
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ASSERT_TRUE(result.failed());
  const auto limit = std::chrono::duration_cast<std::chrono::seconds>(
      dynamic_cast<AppcastUpdaterEngine&>(controller->updater()).downloadDeadline(deb.size()));
  EXPECT_EQ(limit.count(), 1 + static_cast<long>(deb.size()) / 100'000);
  EXPECT_EQ(*result.error, "The update could not be downloaded: the download did not finish within " +
                               std::to_string(limit.count()) + " s");
  EXPECT_GE(took, static_cast<double>(limit.count()) - 0.2);
  EXPECT_LT(took, static_cast<double>(limit.count()) + 2.5);
  EXPECT_TRUE(downloadedFiles().empty());
  std::printf("[ deadline ] %zu bytes at 30 kB/s against a deadline of %ld s: given up after %.2f s\n", deb.size(),
              static_cast<long>(limit.count()), took);
}

// Without a key to check packages with, the updater fetches nothing, ever.
TEST_F(UpdaterEngineTest, WithoutABuiltInKeyUpdatesAreNotConfiguredAndNothingIsFetched) {
  server.serve("/appcast.xml", rss(item({.version = "2.0", .shortVersion = "2.0"})));
  for (const std::string key : {"", "bm90IGEga2V5"}) {
    auto settings = config();
    settings.publicKey = key;
    startUpdater(settings);
    EXPECT_FALSE(*controller->canCheckForUpdates());
    loop.advance(3 * 86400);
    const auto result = check();
    ASSERT_TRUE(result.failed());
    EXPECT_EQ(*result.error, "Updates are not configured in this build");
    controller->didFindValidUpdate(AppcastItem{.versionString = "2.0", .displayVersionString = "2.0"});
    const auto install = updateNow();
    EXPECT_EQ(install.error, "Updates are not configured in this build");
    EXPECT_FALSE(controller->cancelDownload());
    EXPECT_THAT(logger.lines(), ::testing::Contains(::testing::StartsWith(
                                    "Updater: Updates are not configured in this build")));
  }
  EXPECT_EQ(server.requests("/appcast.xml"), 0);
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
  for (const auto& step : progress) EXPECT_FALSE(step.verifying) << "nothing arrived to verify";
  EXPECT_EQ(controller->installActivity()->value().stage, UpdateActivity::Stage::failed);
  EXPECT_EQ(controller->installActivity()->value().message, *result.error);
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
  EXPECT_EQ(installer.contents[0], package("2.0"));
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
  auto settings = config("2.0.9");
  settings.publicKey = publicKey;
  startUpdater(settings);
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
