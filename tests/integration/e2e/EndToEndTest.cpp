// The host and the reference client as users run them: `orvo-host --headless` with its
// `ctl` commands, and `orvo-client`, each with private XDG directories, on a private Xvfb
// with openbox and a private avahi-daemon on loopback. Everything a client does goes
// through the real programs: discovery, pairing, the session, frames and input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "fixtures/TestWindowProtocol.h"
#include "support/AvahiFixture.h"
#include "support/ChildProcess.h"
#include "support/DecodedJpeg.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"
#include "support/XvfbFixture.h"
#include "support/Unavailable.h"

namespace orvo::testing {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

// One installation of the client: its own settings, keys and device id.
class ClientHome {
 public:
  std::vector<std::string> command(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"env", "XDG_CONFIG_HOME=" + dir_.file("config"),
                                     "XDG_DATA_HOME=" + dir_.file("data"), ORVO_CLIENT_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  Outcome run(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 30s) const {
    return runToEnd(command(args), timeout);
  }
  std::string path(const std::string& name) const { return dir_.file(name); }

 private:
  TempDir dir_;
};

// "Pairing id: X" of `orvo-client pair`.
std::string pairingIdIn(const std::string& output) {
  std::smatch match;
  if (!std::regex_search(output, match, std::regex("Pairing id: ([0-9A-F-]{36})"))) return {};
  return match[1];
}

// The window id that `orvo-client windows` lists with this title.
std::optional<std::uint32_t> windowIdByTitle(const std::string& listing, const std::string& title) {
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
    if (fields.size() >= 4 && fields[3] == title) return static_cast<std::uint32_t>(std::stoul(fields[0]));
  }
  return std::nullopt;
}

// Whether a saved frame decodes to the test window's pattern, within what JPEG changes.
::testing::AssertionResult showsPattern(const std::string& path, const std::string& pattern) {
  const auto frame = decodeJpegFile(path);
  if (!frame) return ::testing::AssertionFailure() << path << " is missing or does not decode";
  for (int band = 0; band < kPatternBands; ++band) {
    const std::uint32_t seen = frame->at((2 * band + 1) * frame->width / (2 * kPatternBands), frame->height / 2);
    const std::uint32_t expected = patternColor(pattern, band);
    if (!nearColour(seen, expected, 24)) {
      return ::testing::AssertionFailure() << path << ": band " << band << " is " << std::hex << seen << ", pattern "
                                           << pattern << " has " << expected;
    }
  }
  return ::testing::AssertionSuccess();
}

class EndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (auto reason = AvahiFixture::unavailableReason()) {
      unavailable = *reason;
      return;
    }
    avahi = std::make_unique<AvahiFixture>();
    desktop = std::make_unique<XvfbFixture>(XvfbOptions{.windowManager = true, .screen = "1280x1024x24"});
    hostHome = std::make_unique<TempDir>();
    std::filesystem::create_directories(hostHome->file("run"));
    ::chmod(hostHome->file("run").c_str(), 0700);
    // `orvo-host ctl` finds the host's socket through this.
    ::setenv("XDG_RUNTIME_DIR", hostHome->file("run").c_str(), 1);
    host = std::make_unique<TestProcess>(TestProcess::Options{
        .argv = {ORVO_HOST_PATH, "--headless"},
        .env = {{"DISPLAY", desktop->display()},
                {"XDG_CONFIG_HOME", hostHome->file("config")},
                {"XDG_DATA_HOME", hostHome->file("data")},
                {"XDG_RUNTIME_DIR", hostHome->file("run")},
                {"ORVO_BIND_ADDRESS", "127.0.0.1"}},
        .stdoutPath = hostHome->file("host.log"),
        .stderrPath = hostHome->file("host.err")});
    ASSERT_TRUE(waitUntil([] { return ctl({"status"}).exitCode == 0; })) << hostLog();
    // Both services advertised with their pairing data before any client looks.
    const auto advertised = [](const char* type, const char* key) {
      return [type, key](const std::vector<BrowsedService>& services) {
        return !services.empty() && services.front().txtValue(key) != nullptr;
      };
    };
    ASSERT_FALSE(avahi->browseUntil("_orvopair._tcp", advertised("_orvopair._tcp", "pinSalt")).empty()) << hostLog();
    ASSERT_FALSE(avahi->browseUntil("_orvo._tcp", advertised("_orvo._tcp", "pairPort")).empty()) << hostLog();

    left = desktop->startTestWindow({"--title", "e2e-left", "--pattern", "left", "--geometry", "320x200+10+10"});
    right = desktop->startTestWindow({"--title", "e2e-right", "--pattern", "right", "--geometry", "240x160+400+10"});
  }

  static void TearDownTestSuite() {
    if (host) {
      // SIGTERM: the host withdraws its services, closes its sockets and exits cleanly
      // (under the sanitizers: without a leak report).
      host->stop(std::chrono::milliseconds(5000));
      const auto status = host->status();
      if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        ADD_FAILURE() << "orvo-host did not exit cleanly (wait status " << status.value_or(-1) << ")\n"
                      << readFile(hostHome->file("host.err"));
      }
      host.reset();
    }
    left = {};
    right = {};
    desktop.reset();
    avahi.reset();
    hostHome.reset();
  }

  void SetUp() override {
    if (!unavailable.empty()) ORVO_UNAVAILABLE(unavailable);
    ASSERT_TRUE(host && host->running()) << hostLog();
  }

  static Outcome ctl(std::vector<std::string> args) {
    args.insert(args.begin(), {ORVO_HOST_PATH, "ctl"});
    return runToEnd(args, 10s);
  }
  static std::string hostLog() { return hostHome ? readFile(hostHome->file("host.log")) : std::string(); }
  static std::string currentPin() {
    std::smatch match;
    const std::string output = ctl({"pin"}).output;
    return std::regex_search(output, match, std::regex("Pairing code: ([0-9]{6})")) ? match[1].str() : "";
  }
  // Pairs with the code the host shows now. Right after another device paired, that code is
  // new and its advertisement may carry the old salt for a moment: try again until it pairs.
  static Outcome pairWithCurrentCode(const ClientHome& client, const std::string& name) {
    Outcome pair;
    waitUntil(
        [&] {
          pair = client.run({"pair", "--pin", currentPin(), "--name", name});
          return pair.exitCode == 0;
        },
        20s);
    return pair;
  }
  // Waits until `ctl status` names this device as the connected client.
  static bool waitForConnectedClient(const std::string& name) {
    return waitUntil([&] { return ctl({"status"}).output.find("Connected client: " + name + " (") != std::string::npos; });
  }
  // The client window id of _NET_ACTIVE_WINDOW, as xprop prints it.
  static std::optional<std::uint32_t> activeWindow() {
    const Outcome xprop = runToEnd({"env", "DISPLAY=" + desktop->display(), "xprop", "-root", "_NET_ACTIVE_WINDOW"}, 5s);
    std::smatch match;
    if (!std::regex_search(xprop.output, match, std::regex("window id # (0x[0-9a-f]+)"))) return std::nullopt;
    return static_cast<std::uint32_t>(std::stoul(match[1], nullptr, 16));
  }

  static inline std::string unavailable;
  static inline std::unique_ptr<AvahiFixture> avahi;
  static inline std::unique_ptr<XvfbFixture> desktop;
  static inline std::unique_ptr<TempDir> hostHome;
  static inline std::unique_ptr<TestProcess> host;
  static inline TestWindowProcess left;
  static inline TestWindowProcess right;
};

TEST_F(EndToEnd, DiscoverPairStreamControlAndRevoke) {
  ClientHome client;

  // Discovery shows both services of the host with their TXT keys.
  const Outcome discover = client.run({"discover", "--seconds", "1"});
  ASSERT_EQ(discover.exitCode, 0) << discover.output;
  std::smatch match;
  ASSERT_TRUE(std::regex_search(discover.output, match, std::regex("_orvo\\._tcp\\.\tOrvo on [^\t]+\t127\\.0\\.0\\.1:"
                                                                   "[0-9]+\thostId=([0-9A-F-]{36})\tpairMode=pin\t"
                                                                   "pinSalt=[A-Za-z0-9+/=]+\tpinExp=[0-9]+\tpairPort=")))
      << discover.output;
  const std::string hostId = match[1];
  EXPECT_THAT(discover.output, HasSubstr("_orvopair._tcp.\tOrvo Pair on "));

  // A wrong code is refused; the right one pairs.
  const std::string pin = currentPin();
  ASSERT_EQ(pin.size(), 6u);
  const Outcome wrong = client.run({"pair", "--pin", pin == "000000" ? "000001" : "000000", "--name", "e2e-A"});
  EXPECT_EQ(wrong.exitCode, 4) << wrong.output;
  EXPECT_THAT(wrong.output, HasSubstr("pairing refused"));
  const Outcome pair = client.run({"pair", "--pin", pin, "--name", "e2e-A"});
  ASSERT_EQ(pair.exitCode, 0) << pair.output << hostLog();
  EXPECT_THAT(pair.output, HasSubstr("host id " + hostId));
  const std::string pairingId = pairingIdIn(pair.output);
  ASSERT_FALSE(pairingId.empty()) << pair.output;
  EXPECT_THAT(ctl({"devices"}).output, HasSubstr(pairingId + "  e2e-A\n"));

  // The window list, then 100 frames from each of two windows, pulled like a client does.
  const Outcome windows = client.run({"windows", "--name", "e2e-A"});
  ASSERT_EQ(windows.exitCode, 0) << windows.output;
  const auto leftId = windowIdByTitle(windows.output, "e2e-left");
  const auto rightId = windowIdByTitle(windows.output, "e2e-right");
  ASSERT_TRUE(leftId && rightId) << windows.output;
  EXPECT_THAT(windows.output, HasSubstr(std::to_string(*leftId) + "\t320x200\t"));

  const std::string frames = client.path("frames");
  const Outcome stream = client.run({"stream", "--window", std::to_string(*leftId), "--window", std::to_string(*rightId),
                                 "--frames", "100", "--out", frames, "--name", "e2e-A"});
  ASSERT_EQ(stream.exitCode, 0) << stream.output << hostLog();
  EXPECT_THAT(stream.output, HasSubstr("window=" + std::to_string(*leftId) + " frames=100 "));
  EXPECT_THAT(stream.output, HasSubstr("window=" + std::to_string(*rightId) + " frames=100 "));
  EXPECT_THAT(stream.output, HasSubstr("size=320x200"));
  EXPECT_THAT(stream.output, HasSubstr("size=240x160"));
  EXPECT_TRUE(showsPattern(frames + "/window-" + std::to_string(*leftId) + "-1.jpg", "left"));
  EXPECT_TRUE(showsPattern(frames + "/window-" + std::to_string(*leftId) + "-100.jpg", "left"));
  EXPECT_TRUE(showsPattern(frames + "/window-" + std::to_string(*rightId) + "-100.jpg", "right"));

  // Paced like a display at 20 Hz: 5 frames take at least 4 intervals, however fast the host.
  const Outcome paced = client.run({"stream", "--window", std::to_string(*leftId), "--frames", "5", "--fps", "20",
                                    "--name", "e2e-A"});
  ASSERT_EQ(paced.exitCode, 0) << paced.output << hostLog();
  const auto seconds = paced.output.find("seconds=");
  ASSERT_NE(seconds, std::string::npos) << paced.output;
  EXPECT_GE(std::stod(paced.output.substr(seconds + 8)), 0.2) << paced.output;

  // With control allowed, a click focuses an xterm and typed text lands in its `cat`.
  const Outcome allow = ctl({"allow-control", "on"});
  ASSERT_EQ(allow.exitCode, 0) << allow.output;
  const std::string typed = client.path("typed.txt");
  auto xterm = desktop->launch({"xterm", "-title", "e2e-xterm", "-geometry", "40x6+100+400", "-e", "sh", "-c",
                                "exec cat > " + typed});
  std::optional<std::uint32_t> xtermId;
  ASSERT_TRUE(waitUntil([&] {
    xtermId = windowIdByTitle(client.run({"windows", "--name", "e2e-A"}).output, "e2e-xterm");
    return xtermId.has_value() && std::filesystem::exists(typed);
  })) << xterm->stderrText();
  const Outcome click = client.run({"click", "--window", std::to_string(*xtermId), "--x", "0.5", "--y", "0.5"});
  ASSERT_EQ(click.exitCode, 0) << click.output;
  ASSERT_TRUE(waitUntil([&] { return activeWindow() == xtermId; })) << "the click did not focus the xterm";
  const Outcome type = client.run({"type", "hello from orvo"});
  ASSERT_EQ(type.exitCode, 0) << type.output;
  const Outcome enter = client.run({"key", "enter"});
  ASSERT_EQ(enter.exitCode, 0) << enter.output;
  EXPECT_TRUE(waitUntil([&] { return readFile(typed) == "hello from orvo\n"; })) << "typed: " << readFile(typed);

  // Revoking the device ends its session at once, and its key no longer opens one.
  ChildProcess streaming(client.command({"stream", "--window", std::to_string(*leftId), "--seconds", "60", "--name",
                                         "e2e-A"}));
  ASSERT_TRUE(waitForConnectedClient("e2e-A")) << streaming.output();
  EXPECT_EQ(ctl({"unpair", pairingId}).output, "Unpaired " + pairingId + "\n");
  ASSERT_TRUE(waitUntil([&] {
    streaming.output();
    return streaming.exitStatus().has_value();
  })) << streaming.output();
  EXPECT_EQ(*streaming.exitStatus(), 5) << streaming.output();
  EXPECT_THAT(streaming.output(), HasSubstr("the host ended the session"));
  const Outcome refused = client.run({"windows", "--name", "e2e-A"});
  EXPECT_EQ(refused.exitCode, 4) << refused.output;
  EXPECT_THAT(refused.output, HasSubstr("refused this client's key"));
}

TEST_F(EndToEnd, TokenPairingAndASecondClientTakesOver) {
  ClientHome first;
  ClientHome second;
  const Outcome token = ctl({"token"});
  ASSERT_EQ(token.exitCode, 0) << token.output;
  const Outcome imported = first.run({"pair", "--token", token.output});
  ASSERT_EQ(imported.exitCode, 0) << imported.output;
  const std::string tokenPairing = pairingIdIn(imported.output);
  ASSERT_FALSE(tokenPairing.empty()) << imported.output;
  const Outcome paired = pairWithCurrentCode(second, "e2e-C");
  ASSERT_EQ(paired.exitCode, 0) << paired.output;

  const Outcome windows = first.run({"windows", "--name", "e2e-B"});
  ASSERT_EQ(windows.exitCode, 0) << windows.output;
  const auto leftId = windowIdByTitle(windows.output, "e2e-left");
  ASSERT_TRUE(leftId) << windows.output;
  // The hello renamed the token's pending device.
  EXPECT_THAT(ctl({"devices"}).output, HasSubstr(tokenPairing + "  e2e-B\n"));

  ChildProcess streaming(first.command({"stream", "--window", std::to_string(*leftId), "--seconds", "60", "--name",
                                        "e2e-B"}));
  ASSERT_TRUE(waitForConnectedClient("e2e-B")) << streaming.output();
  const Outcome takeover = second.run({"windows", "--name", "e2e-C"});
  EXPECT_EQ(takeover.exitCode, 0) << takeover.output;
  EXPECT_TRUE(windowIdByTitle(takeover.output, "e2e-left")) << takeover.output;
  ASSERT_TRUE(waitUntil([&] {
    streaming.output();
    return streaming.exitStatus().has_value();
  })) << streaming.output();
  EXPECT_EQ(*streaming.exitStatus(), 5) << streaming.output();
}

TEST_F(EndToEnd, ClearFailuresForAMissingHostAndAGoneWindow) {
  ClientHome client;
  const Outcome unpaired = client.run({"windows"});
  EXPECT_EQ(unpaired.exitCode, 4) << unpaired.output;
  EXPECT_THAT(unpaired.output, HasSubstr("not paired"));

  const Outcome pair = pairWithCurrentCode(client, "e2e-D");
  ASSERT_EQ(pair.exitCode, 0) << pair.output;
  // No host of that name exists, so the answer is the same however long discovery looks;
  // the short look only keeps the test quick.
  const Outcome missing = client.run({"windows", "--host", "no-such-host", "--timeout", "1"});
  EXPECT_EQ(missing.exitCode, 3) << missing.output;
  EXPECT_THAT(missing.output, HasSubstr("host not found"));

  auto doomed = desktop->startTestWindow({"--title", "e2e-doomed", "--pattern", "doomed", "--geometry", "100x80+700+500"});
  std::optional<std::uint32_t> doomedId;
  ASSERT_TRUE(waitUntil([&] {
    doomedId = windowIdByTitle(client.run({"windows"}).output, "e2e-doomed");
    return doomedId.has_value();
  }));
  // The frame timeout is far above any frame's time on a loaded machine, so that only the
  // window's end can stop the stream (before it, the stream must still be connected).
  ChildProcess streaming(client.command({"stream", "--window", std::to_string(*doomedId), "--seconds", "60",
                                         "--frame-timeout", "10", "--name", "e2e-D"}));
  ASSERT_TRUE(waitForConnectedClient("e2e-D")) << streaming.output();
  ASSERT_FALSE(streaming.exitStatus().has_value()) << streaming.output();
  doomed.process->kill();
  ASSERT_TRUE(waitUntil(
      [&] {
        streaming.output();
        return streaming.exitStatus().has_value();
      },
      30s))
      << streaming.output();
  EXPECT_EQ(*streaming.exitStatus(), 6) << streaming.output();
  EXPECT_THAT(streaming.output(), HasSubstr("no frame from window " + std::to_string(*doomedId)));
}

}  // namespace
}  // namespace orvo::testing
