#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <regex>
#include <thread>

#include "core/Coding.h"
#include "core/Json.h"
#include "pairing/PairingMessages.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"
#include "support/Unavailable.h"

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

// A code lasts 600 s: `ctl pin` shows the whole seconds left, which are no fewer than 600
// less the time since before the code was made (`since`), however slow the machine.
::testing::AssertionResult showsFreshCode(const std::string& output, std::chrono::steady_clock::time_point since) {
  std::smatch match;
  if (!std::regex_match(output, match, std::regex("Pairing code: [0-9]{6}\nExpires in ([0-9]+)s\n"))) {
    return ::testing::AssertionFailure() << "not a code and its expiry: " << output;
  }
  const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  const int left = std::stoi(match[1]);
  if (left > 600 || left < 600 - static_cast<int>(std::ceil(elapsed))) {
    return ::testing::AssertionFailure() << left << " s left " << elapsed << " s after the code was made";
  }
  return ::testing::AssertionSuccess();
}

TEST_F(HeadlessHostTest, EveryCommandAnswersAndTheSocketIsPrivate) {
  const auto started = std::chrono::steady_clock::now();
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
  EXPECT_TRUE(showsFreshCode(pin.output, started));
  const auto regenerating = std::chrono::steady_clock::now();
  const auto regenerated = ctl({"regenerate-pin"});
  EXPECT_TRUE(showsFreshCode(regenerated.output, regenerating));
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

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(const std::string& path, const std::string& text, mode_t mode) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << text;
  ::chmod(path.c_str(), mode);
}

TEST_F(HeadlessHostTest, CtlSendsNothingToAControlSocketOfAnotherUser) {
  if (::geteuid() != 0) ORVO_UNAVAILABLE("needs root to run a server as another user");
  // Another user's program listens where the host's socket would be, and records what it gets.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);  // it may pass through, not list
  ASSERT_EQ(::chown(dir.file("run").c_str(), 65534, 65534), 0);
  const std::string received = dir.file("run/received");
  ChildProcess impostor({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c",
                         "import socket,sys\n"
                         "s=socket.socket(socket.AF_UNIX);s.bind(sys.argv[1]);s.listen(1)\n"
                         "c,_=s.accept();data=c.recv(65536)\n"
                         "open(sys.argv[2],'wb').write(data)\n",
                         socketPath(), received});
  ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(socketPath()); })) << impostor.output();
  const auto result = ctl({"unpair", "secret-device"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_THAT(result.output, HasSubstr("belongs to another user"));
  ASSERT_TRUE(waitUntil([&] { return impostor.exitStatus().has_value(); }));
  EXPECT_EQ(readText(received), "");  // connected, then closed without a byte
}

TEST_F(HeadlessHostTest, UndecodablePeerListIsKeptAsideAndTheReadablePeerIsServed) {
  const std::string stored =
      R"([{"id":"ID-G","displayName":"Good","createdAt":0},{"id":"ID-X","displayName":7,"createdAt":0}])";
  const std::string settingsPath = dir.file("config/orvo-host/defaults.json");
  writeText(settingsPath, "{\"OrvoPairedPeers.host\":" + stored + "}\n", 0600);
  writeText(dir.file("data/orvo-host/secrets/com.corvane.orvo.psk.host/ID-G"), std::string(32, 'g'), 0600);
  startHost();
  EXPECT_THAT(host->output(), HasSubstr("could not all be read"));
  EXPECT_THAT(ctl({"devices"}).output, HasSubstr("Paired devices (1)\nID-G  Good\n"));

  std::smatch port;
  const std::string status = ctl({"status"}).output;
  ASSERT_TRUE(std::regex_search(status, port, std::regex("session port ([0-9]+)"))) << status;
  ChildProcess client({"openssl", "s_client", "-connect", "127.0.0.1:" + port[1].str(), "-nocommands", "-tls1_2",
                       "-cipher", "PSK-AES128-GCM-SHA256", "-psk", hexEncode(toBytes("ID-G")), "-psk_identity",
                       std::string(32, 'g')});
  client.write("{\"type\":\"clientHello\",\"deviceName\":\"Tablet\",\"platform\":\"x\",\"pairingID\":\"ID-G\"}\n");
  EXPECT_TRUE(waitUntil([&] { return ctl({"status"}).output.find("Connected client: Tablet (ID-G)") != std::string::npos; }))
      << ctl({"status"}).output << client.output();

  // On disk: the readable peer as renamed by its hello, and the whole undecodable value aside.
  const auto document = json::parse(readText(settingsPath));
  ASSERT_TRUE(document) << readText(settingsPath);
  std::string aside;
  for (const auto& item : document->items()) {
    if (item.key().rfind("OrvoPairedPeers.host.unreadable-", 0) == 0) aside = item.key();
  }
  ASSERT_FALSE(aside.empty()) << readText(settingsPath);
  EXPECT_EQ(json::encode(document->at(aside)), json::encode(*json::parse(stored)));
  EXPECT_EQ(document->at("OrvoPairedPeers.host").size(), 1u);
  EXPECT_EQ(document->at("OrvoPairedPeers.host")[0].at("displayName"), "Tablet");
  EXPECT_EQ(stopHost(), 0);
}

TEST_F(HeadlessHostTest, UnreadableSettingsOrSecretsStopTheHostAndStayAsTheyWere) {
  // Root reads any file: the host then runs without capabilities, so permissions count.
  std::vector<std::string> command = {ORVO_HOST_PATH, "--headless"};
  if (::geteuid() == 0) command.insert(command.begin(), {"setpriv", "--bounding-set", "-all"});
  const std::string settingsPath = dir.file("config/orvo-host/defaults.json");
  const std::string secretsPath = dir.file("data/orvo-host/secrets");

  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"settings file of mode 000", [&] { writeText(settingsPath, "{\"OrvoHost.hostId\":\"kept\"}\n", 0000); },
       settingsPath},
      {"settings path that is a directory", [&] { std::filesystem::create_directories(settingsPath + "/inner"); },
       settingsPath},
      {"secrets directory of mode 000",
       [&] {
         std::filesystem::create_directories(secretsPath + "/com.corvane.orvo.psk.host");
         ::chmod(secretsPath.c_str(), 0000);
       },
       secretsPath},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir.file("config"));
    if (std::filesystem::exists(secretsPath)) ::chmod(secretsPath.c_str(), 0700);
    std::filesystem::remove_all(dir.file("data"));
    c.prepare();
    struct stat before {};
    ASSERT_EQ(::lstat(c.path.c_str(), &before), 0);

    ChildProcess process(command);
    ASSERT_TRUE(waitUntil([&] { return process.exitStatus().has_value(); })) << process.output();
    EXPECT_EQ(*process.exitStatus(), 1);
    EXPECT_THAT(process.output(), HasSubstr("orvo-host: cannot start: "));
    EXPECT_THAT(process.output(), HasSubstr(c.path));
    EXPECT_THAT(process.output(), HasSubstr("it was left as it is"));

    struct stat after {};
    ASSERT_EQ(::lstat(c.path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_FALSE(std::filesystem::exists(socketPath()));
  }
  ::chmod(secretsPath.c_str(), 0700);  // so the temporary directory can be removed
  ::chmod(settingsPath.c_str(), 0600);
}

}  // namespace
}  // namespace orvo::testing
