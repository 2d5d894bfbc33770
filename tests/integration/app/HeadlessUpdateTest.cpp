// The updater of a real headless host, driven through `orvo-host ctl`, with an appcast on a
// local HTTP server on 127.0.0.1 named by SUFeedURL in the host's settings file. Test
// builds have no release key built in, so the host must fetch nothing at all; the whole
// update path (HTTPS, signatures, packages) is tested in tests/integration/updates.
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
#include "support/Unavailable.h"
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

TEST_F(HeadlessUpdateTest, WithoutABuiltInKeyTheHostSaysUpdatesAreNotConfiguredAndFetchesNothing) {
  if (std::string(ORVO_BUILT_IN_UPDATE_KEY) != "") ORVO_UNAVAILABLE("this build trusts a release key");
  server.serve("/appcast.xml", appcast("999.1", server.url("/new.deb")));
  server.serve("/new.deb", "package");
  EXPECT_THAT(host->output(), HasSubstr("Updater: Updates are not configured in this build"));

  for (const char* command : {"check-for-updates", "update-now", "update-cancel"}) {
    const auto answer = ctl({command});
    EXPECT_EQ(answer.exitCode, 1) << command;
    EXPECT_EQ(answer.output, "Updates are not configured in this build\n") << command;
  }
  EXPECT_THAT(ctl({"status"}).output, HasSubstr("\nUpdate: none\n"));
  EXPECT_EQ(server.requests("/appcast.xml"), 0);
  EXPECT_EQ(server.requests("/new.deb"), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.file("cache/orvo-host/updates")));

  const auto help = ctl({"help"});
  EXPECT_THAT(help.output, HasSubstr("  update-cancel            stop the update download under way\n"));
}

}  // namespace
}  // namespace orvo::testing
