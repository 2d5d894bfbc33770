// The host on a real Wayland desktop: a private headless GNOME (gnome-shell, mutter,
// xdg-desktop-portal-gnome, PipeWire) started by tests/wayland/gnome_desktop.py, whose
// portal dialogs it answers as the person would (through AT-SPI), a GTK 4 window that
// logs what reaches it, `orvo-host` on the portal backend and `orvo-client` as the client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "support/ChildProcess.h"
#include "support/DecodedJpeg.h"
#include "support/TempDir.h"
#include "support/Unavailable.h"
#include "support/WaitUntil.h"

namespace orvo::testing {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

// The test window's quadrants (tests/wayland/test_window.py).
constexpr std::uint32_t kQuadrants[4] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};

std::optional<std::array<std::uint32_t, 4>> quadrantColours(const std::string& path) {
  const auto frame = decodeJpegFile(path);
  if (!frame) return std::nullopt;
  return frame->quadrantCentres();
}

bool near(std::uint32_t a, std::uint32_t b) { return nearColour(a, b, 32); }

class GnomeDesktop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* program : {"/usr/bin/gnome-shell", "/usr/libexec/xdg-desktop-portal-gnome", "/usr/bin/pipewire"}) {
      if (::access(program, X_OK) != 0) {
        unavailable = std::string(program) + " is not installed (scripts/setup.sh installs it)";
        return;
      }
    }
    desktop = std::make_unique<ChildProcess>(
        std::vector<std::string>{"python3", std::string(ORVO_SOURCE_DIR) + "/tests/wayland/gnome_desktop.py", "start"});
    if (!waitUntil([] { return lineAfter(0, "ready") || lineAfter(0, "error:"); }, 90s) || !lineAfter(0, "ready")) {
      unavailable = "the private GNOME desktop did not start: " + desktop->output();
      return;
    }
    std::istringstream lines(desktop->output());
    for (std::string line; std::getline(lines, line);) {
      const auto eq = line.find('=');
      if (eq != std::string::npos && eq > 0 && std::isupper(static_cast<unsigned char>(line[0]))) {
        environment[line.substr(0, eq)] = line.substr(eq + 1);
      }
    }
    // The desktop's user runs the host from the desktop's directory: the build tree may sit
    // under a directory only its owner can enter (a clone in /root or a mktemp directory).
    hostPath = environment.at("ORVO_DESKTOP_DIR") + "/orvo-host";
    std::error_code error;
    std::filesystem::copy_file(ORVO_HOST_PATH, hostPath, std::filesystem::copy_options::overwrite_existing, error);
    if (error) unavailable = "cannot copy orvo-host for the desktop's user: " + error.message();
  }
  static void TearDownTestSuite() {
    if (desktop) desktop->write("quit\n");
    if (desktop) waitUntil([] { return desktop->exitStatus().has_value(); }, 20s);
    desktop.reset();
  }

  void SetUp() override {
    if (!unavailable.empty()) ORVO_UNAVAILABLE(unavailable);
  }
  void TearDown() override { stopHost(); }

  // Whether `line` is a whole line of the rig's output after byte `mark`.
  static bool lineAfter(std::size_t mark, const std::string& line) {
    const std::string& out = desktop->output();
    for (std::size_t at = out.find(line, mark); at != std::string::npos; at = out.find(line, at + 1)) {
      if ((at == 0 || out[at - 1] == '\n') && (line.back() == ':' || out.compare(at + line.size(), 1, "\n") == 0)) {
        return true;
      }
    }
    return false;
  }
  // Sends a command to the rig and waits for one of `answers`; the answer given.
  static std::string tell(const std::string& command, const std::vector<std::string>& answers,
                          std::chrono::seconds timeout = 30s) {
    const auto mark = desktop->output().size();
    desktop->write(command + "\n");
    std::string answer;
    waitUntil([&] {
      for (const auto& candidate : answers) {
        if (lineAfter(mark, candidate)) return !(answer = candidate).empty();
      }
      return false;
    }, timeout);
    return answer;
  }

  // A command as the desktop's user, with the desktop's environment (and `extra`).
  static std::vector<std::string> asDesktopUser(const std::vector<std::string>& command,
                                                const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv;
    const passwd* me = ::getpwuid(::geteuid());
    const std::string user = environment.at("ORVO_DESKTOP_USER");
    if (!me || user != me->pw_name) {
      argv = {"setpriv", "--reuid=" + user, "--regid=" + user, "--init-groups", "--"};
    }
    argv.push_back("env");
    for (const auto& [name, value] : environment) argv.push_back(name + "=" + value);
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
  }

  void startHost() {
    host = std::make_unique<ChildProcess>(
        asDesktopUser({hostPath, "--headless"}, {"ORVO_BIND_ADDRESS=127.0.0.1"}));
    ASSERT_TRUE(waitUntil([&] { return ctl({"status"}).exitCode == 0; }, 20s)) << host->output();
  }
  void stopHost() {
    if (!host) return;
    ::kill(host->pid(), SIGTERM);
    waitUntil([&] { return host->exitStatus().has_value(); });
    host.reset();
  }
  Outcome ctl(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 30s) const {
    std::vector<std::string> command = {hostPath, "ctl"};
    command.insert(command.end(), args.begin(), args.end());
    return runToEnd(asDesktopUser(command), timeout);
  }
  Outcome client(std::vector<std::string> args) {
    if (!paired) {
      const Outcome token = ctl({"token"});
      const Outcome pairing = runToEnd(clientCommand({"pair", "--token", token.output}));
      EXPECT_EQ(pairing.exitCode, 0) << pairing.output;
      paired = true;
    }
    std::smatch port;
    const std::string status = ctl({"status"}).output;
    if (std::regex_search(status, port, std::regex("session port ([0-9]+)"))) {
      args.insert(args.end(), {"--host", "127.0.0.1:" + port[1].str()});
    }
    return runToEnd(clientCommand(args));
  }
  std::vector<std::string> clientCommand(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"env", "XDG_CONFIG_HOME=" + home.file("client-config"),
                                     "XDG_DATA_HOME=" + home.file("client-data"), ORVO_CLIENT_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  // The listed windows as "ID SIZE TITLE" lines.
  std::vector<std::pair<std::uint32_t, std::string>> windows() {
    std::vector<std::pair<std::uint32_t, std::string>> list;
    std::istringstream lines(client({"windows"}).output);
    for (std::string line; std::getline(lines, line);) {
      std::smatch match;
      if (std::regex_search(line, match, std::regex("^([0-9]+)\t([0-9]+x[0-9]+)\t"))) {
        list.emplace_back(static_cast<std::uint32_t>(std::stoul(match[1])), match[2]);
      }
    }
    return list;
  }
  // Shares the test window through the picker, as the person does at the desktop.
  void shareWindow(const std::string& title) {
    ChildProcess sharing(asDesktopUser({hostPath, "ctl", "share-windows"}));
    ASSERT_EQ(tell("pick " + title, {"picked", "no-dialog", "error:"}, 60s), "picked") << desktop->output();
    ASSERT_TRUE(waitUntil([&] { return sharing.exitStatus().has_value(); }, 20s)) << sharing.output();
    ASSERT_EQ(*sharing.exitStatus(), 0) << sharing.output() << host->output();
  }

  static inline std::string unavailable;
  static inline std::unique_ptr<ChildProcess> desktop;
  static inline std::map<std::string, std::string> environment;
  static inline std::string hostPath;  // orvo-host, where the desktop's user can run it
  TempDir home;
  std::unique_ptr<ChildProcess> host;
  bool paired = false;
};

TEST_F(GnomeDesktop, AWindowSharedInThePickerIsStreamedRestoredWithoutADialogAndDriven) {
  const std::string windowLog = environment.at("ORVO_DESKTOP_DIR") + "/alpha.log";
  ASSERT_EQ(tell("window Alpha " + windowLog + " 320 240", {"mapped", "error:"}), "mapped") << desktop->output();
  startHost();
  EXPECT_THAT(host->output(), HasSubstr("OrvoHost: desktop: Wayland (portal), because WAYLAND_DISPLAY is set"));
  shareWindow("Alpha");

  // Listed with the window's own size (not the monitor's), and streamed as it looks.
  ASSERT_TRUE(waitUntil([&] { return windows().size() == 1; }, 20s)) << host->output();
  const auto [id, size] = windows().front();
  EXPECT_EQ(size, "320x240");
  const std::string frames = home.file("frames");
  const Outcome streamed = client({"stream", "--window", std::to_string(id), "--frames", "5", "--out", frames});
  ASSERT_EQ(streamed.exitCode, 0) << streamed.output << host->output();
  const auto colours = quadrantColours(frames + "/window-" + std::to_string(id) + "-5.jpg");
  ASSERT_TRUE(colours);
  for (int q = 0; q < 4; ++q) EXPECT_TRUE(near((*colours)[q], kQuadrants[q])) << q << std::hex << " " << (*colours)[q];

  // A second and a third start restore the selection; no dialog, not even when a client
  // goes and comes back.
  for (int start = 2; start <= 3; ++start) {
    stopHost();
    startHost();
    ASSERT_TRUE(waitUntil([&] { return windows().size() == 1; }, 20s)) << "start " << start << host->output();
    EXPECT_EQ(tell("dialog?", {"yes", "no"}), "no") << "start " << start;
  }
  EXPECT_EQ(client({"windows"}).exitCode, 0);
  EXPECT_EQ(tell("dialog?", {"yes", "no"}), "no");

  // Remote control: the desktop asks once for this session (pictures and input together).
  ChildProcess allowing(asDesktopUser({hostPath, "ctl", "allow-control", "on"}));
  ASSERT_EQ(tell("pick Alpha", {"picked", "no-dialog", "error:"}, 60s), "picked") << desktop->output();
  ASSERT_TRUE(waitUntil([&] { return ctl({"status"}).output.find("Remote control: on\n") != std::string::npos; }))
      << ctl({"status"}).output << host->output();
  ASSERT_TRUE(waitUntil([&] { return windows().size() == 1; }, 20s)) << host->output();
  const auto driven = windows().front().first;

  ASSERT_EQ(client({"click", "--window", std::to_string(driven), "--x", "0.25", "--y", "0.75"}).exitCode, 0);
  ASSERT_TRUE(waitUntil([&] { return readFile(windowLog).find("click 1 80.0 180.0") != std::string::npos; }))
      << readFile(windowLog) << host->output();
  // Latin, a character the "us" layout lacks (é, through the Unicode entry) and a CJK one.
  ASSERT_EQ(client({"type", "aé中"}).exitCode, 0);
  ASSERT_EQ(client({"key", "backspace"}).exitCode, 0);
  ASSERT_TRUE(waitUntil([&] {
    const std::string log = readFile(windowLog);
    return log.find("text a\n") != std::string::npos && log.find("text é\n") != std::string::npos &&
           log.find("text 中\n") != std::string::npos && log.find("key BackSpace") != std::string::npos;
  })) << readFile(windowLog) << host->output();
  EXPECT_THAT(host->output(), HasSubstr("U+00E9 has no key on the desktop's keyboard layout"));
}

}  // namespace
}  // namespace orvo::testing
