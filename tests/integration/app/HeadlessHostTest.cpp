#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include "core/Coding.h"
#include "pairing/PairingMessages.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace orvo::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using namespace std::chrono_literals;

struct CtlResult {
  int exitCode = -1;
  std::string output;
};

// A headless host with private XDG directories, no display, loopback listeners and no
// system bus (so it advertises nowhere).
class HeadlessHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir.file("run"));
    ::chmod(dir.file("run").c_str(), 0700);
    ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", dir.file("run").c_str(), 1);
    ::setenv("ORVO_BIND_ADDRESS", "127.0.0.1", 1);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir.file("no-bus")).c_str(), 1);
    ::unsetenv("DISPLAY");
  }

  std::string socketPath() const { return dir.file("run/orvo-host.sock"); }

  void startHost() {
    host = std::make_unique<ChildProcess>(std::vector<std::string>{ORVO_HOST_PATH, "--headless"});
    ASSERT_TRUE(waitUntil([&] { return ctl({"status"}).exitCode == 0; })) << host->output();
  }

  int stopHost() {
    ::kill(host->pid(), SIGTERM);
    EXPECT_TRUE(waitUntil([&] { return host->exitStatus().has_value(); })) << host->output();
    return host->exitStatus().value_or(-1);
  }

  CtlResult ctl(std::vector<std::string> args) {
    args.insert(args.begin(), {ORVO_HOST_PATH, "ctl"});
    ChildProcess process(args);
    if (!waitUntil([&] { return process.exitStatus().has_value(); })) return {};
    return {*process.exitStatus(), process.output()};
  }

  TempDir dir;
  std::unique_ptr<ChildProcess> host;
};

TEST_F(HeadlessHostTest, CtlWithoutARunningHostSaysSo) {
  const auto result = ctl({"status"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_THAT(result.output, HasSubstr("no Orvo Host is running"));
}

TEST_F(HeadlessHostTest, EveryCommandAnswersAndTheSocketIsPrivate) {
  startHost();
  struct stat info {};
  ASSERT_EQ(::stat(socketPath().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  const auto status = ctl({"status"});
  EXPECT_THAT(status.output, HasSubstr("Discoverable: on\n"));
  EXPECT_TRUE(std::regex_search(status.output, std::regex("\nListening: session port [0-9]+, pairing port [0-9]+\n")))
      << status.output;
  EXPECT_THAT(status.output, HasSubstr("Remote control: off (input injection is not available on this display)\n"));
  EXPECT_THAT(status.output, HasSubstr("Connected client: none\n"));

  const auto pin = ctl({"pin"});
  EXPECT_EQ(pin.exitCode, 0);
  EXPECT_TRUE(std::regex_match(pin.output, std::regex("Pairing code: [0-9]{6}\nExpires in (599|600)s\n"))) << pin.output;
  const auto regenerated = ctl({"regenerate-pin"});
  EXPECT_TRUE(std::regex_match(regenerated.output, std::regex("Pairing code: [0-9]{6}\nExpires in (599|600)s\n")));
  EXPECT_TRUE(waitUntil([&] { return host->output().find("Pairing code: " + regenerated.output.substr(14, 6)) !=
                                     std::string::npos; }));

  const auto token = ctl({"token"});
  ASSERT_EQ(token.exitCode, 0);
  const auto invitation = decodePairingToken(token.output.substr(0, token.output.size() - 1));
  ASSERT_TRUE(invitation) << token.output;
  EXPECT_EQ(base64Decode(invitation->pskBase64)->size(), 32u);

  const auto devices = ctl({"devices"});
  EXPECT_THAT(devices.output, HasSubstr("Paired devices (1)\n" + invitation->pairingID + "  Orvo Client (pending)\n"));
  EXPECT_THAT(devices.output, HasSubstr("    connected: no\n"));

  EXPECT_EQ(ctl({"unpair", "no-such-device"}).exitCode, 1);
  EXPECT_EQ(ctl({"unpair", invitation->pairingID}).output, "Unpaired " + invitation->pairingID + "\n");
  EXPECT_EQ(ctl({"devices"}).output, "No paired devices yet.\n");

  EXPECT_EQ(ctl({"discoverable", "off"}).output, "Discoverable: off\n");
  EXPECT_THAT(ctl({"status"}).output, HasSubstr("Status: Not discoverable\nDiscoverable: off\n"));
  EXPECT_EQ(ctl({"discoverable", "on"}).exitCode, 0);

  const auto control = ctl({"allow-control", "on"});  // no display: no input injection
  EXPECT_EQ(control.exitCode, 1);
  EXPECT_THAT(control.output, HasSubstr("needs the XTEST extension"));
  EXPECT_EQ(ctl({"allow-control", "off"}).output, "Remote control: off\n");

  for (const auto& args : std::vector<std::vector<std::string>>{{"discoverable", "sometimes"}, {"frobnicate"}}) {
    const auto bad = ctl(args);
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_THAT(bad.output, HasSubstr("usage: orvo-host ctl COMMAND"));
  }

  EXPECT_EQ(stopHost(), 0);
  EXPECT_FALSE(std::filesystem::exists(socketPath()));
  EXPECT_THAT(host->output(), HasSubstr("OrvoHost: stopping"));
}

TEST_F(HeadlessHostTest, SecondStartReadsBackDiscoverabilityAndHostIdAndOneHostAtATime) {
  startHost();
  EXPECT_THAT(host->output(), HasSubstr("OrvoHost PID: "));
  EXPECT_THAT(host->output(), HasSubstr("Executable: " ORVO_HOST_PATH));
  const auto firstHostId = decodePairingToken(ctl({"token"}).output)->hostId;

  ChildProcess second({ORVO_HOST_PATH, "--headless"});
  ASSERT_TRUE(waitUntil([&] { return second.exitStatus().has_value(); }));
  EXPECT_EQ(*second.exitStatus(), 1);
  EXPECT_THAT(second.output(), HasSubstr("another Orvo Host is already running"));

  ctl({"discoverable", "off"});
  EXPECT_EQ(stopHost(), 0);

  startHost();
  EXPECT_THAT(ctl({"status"}).output, HasSubstr("Status: Not discoverable\nDiscoverable: off\n"));
  EXPECT_EQ(decodePairingToken(ctl({"token"}).output)->hostId, firstHostId);
  EXPECT_THAT(ctl({"devices"}).output, HasSubstr("Paired devices (2)"));  // the first token's peer was kept
  EXPECT_EQ(stopHost(), 0);
}

}  // namespace
}  // namespace orvo::testing
