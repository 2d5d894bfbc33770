// The updater of a real headless host, driven through `orvo-host ctl`, with its appcast on a
// local HTTP server on 127.0.0.1 named by SUFeedURL in the host's settings file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>

#include "support/ChildProcess.h"
#include "support/LocalHttpServer.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace orvo::testing {
namespace {

using ::testing::HasSubstr;

struct CtlResult {
  int exitCode = -1;
  std::string output;
};

class HeadlessUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir.file("run"));
    std::filesystem::create_directories(dir.file("config/orvo-host"));
    ::chmod(dir.file("run").c_str(), 0700);
    ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", dir.file("cache").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", dir.file("run").c_str(), 1);
    ::setenv("ORVO_BIND_ADDRESS", "127.0.0.1", 1);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir.file("no-bus")).c_str(), 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    std::ofstream(dir.file("config/orvo-host/defaults.json"))
        << "{\"SUFeedURL\":\"" << server.url("/appcast.xml") << "\"}";
    host = std::make_unique<ChildProcess>(std::vector<std::string>{ORVO_HOST_PATH, "--headless"});
    ASSERT_TRUE(waitUntil([&] { return ctl({"status"}).exitCode == 0; })) << host->output();
  }
  void TearDown() override {
    ::kill(host->pid(), SIGTERM);
    EXPECT_TRUE(waitUntil([&] { return host->exitStatus().has_value(); })) << host->output();
  }

  CtlResult ctl(std::vector<std::string> args) {
    args.insert(args.begin(), {ORVO_HOST_PATH, "ctl"});
    ChildProcess process(args);
    if (!waitUntil([&] { return process.exitStatus().has_value(); }, std::chrono::seconds(60))) return {};
    return {*process.exitStatus(), process.output()};
  }

  static std::string appcast(const std::string& version, const std::string& url) {
    return "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel><item>"
           "<title>Orvo Host " + version + "</title><sparkle:version>" + version +
           "</sparkle:version><sparkle:shortVersionString>" + version + "</sparkle:shortVersionString>"
           "<enclosure url=\"" + url + "\" length=\"7\" type=\"application/vnd.debian.binary-package\" "
           "sparkle:edSignature=\"" + std::string(86, 'A') + "==\"/></item></channel></rss>";
  }

  TempDir dir;
  LocalHttpServer server;
  std::unique_ptr<ChildProcess> host;
};

TEST_F(HeadlessUpdateTest, CheckForUpdatesStatusAndARefusedDownload) {
  EXPECT_THAT(ctl({"status"}).output, HasSubstr("\nUpdate: none\n"));

  server.serve("/appcast.xml", appcast("0.0.1", server.url("/old.deb")));
  EXPECT_EQ(ctl({"check-for-updates"}).output, std::string("Up to date: ") + ORVO_VERSION + "\n");

  server.serve("/appcast.xml", appcast("999.1", server.url("/new.deb")));
  server.serve("/new.deb", "package");
  const auto found = ctl({"check-for-updates"});
  EXPECT_EQ(found.exitCode, 0);
  EXPECT_EQ(found.output, "Update available: 999.1 (999.1) — Orvo Host 999.1\n");
  EXPECT_THAT(ctl({"status"}).output, HasSubstr("\nUpdate: 999.1 pending\n"));

  server.serve("/appcast.xml", "<rss><channel>", 200);
  const auto failed = ctl({"check-for-updates"});
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_THAT(failed.output, HasSubstr("Update check failed: The update information is not a valid appcast"));
  EXPECT_THAT(ctl({"status"}).output, HasSubstr("\nUpdate: 999.1 pending\n")) << "a failed check keeps it";

  // This build trusts no signing key, so no download can pass.
  const auto refused = ctl({"update-now"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.output, "The downloaded update failed its signature check and was deleted.\n");
  EXPECT_EQ(server.requests("/new.deb"), 1);
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("cache/orvo-host/updates")));
  EXPECT_THAT(ctl({"status"}).output, HasSubstr("\nUpdate: none\n"));
  EXPECT_THAT(host->output(), HasSubstr("Updater: update available: 999.1 (999.1)"));
}

}  // namespace
}  // namespace orvo::testing
