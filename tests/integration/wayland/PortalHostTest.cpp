// The host on a Wayland desktop through its portal, from outside: `orvo-host --headless`
// with ORVO_BACKEND=wayland on a private session bus with a private PipeWire, the fake
// portal (tests/fixtures/fake-portal) playing the desktop and the person at it, test
// producers as the shared windows, and `orvo-client` as the paired client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>

#include "fixtures/TestProducerProtocol.h"
#include "support/ChildProcess.h"
#include "support/DecodedJpeg.h"
#include "support/PrivatePipeWire.h"
#include "support/TempDir.h"
#include "support/Unavailable.h"
#include "support/WaitUntil.h"
#include "support/XvfbFixture.h"

namespace orvo::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

// What a client sees of a listed window: "ID<TAB>WxH<TAB>APP<TAB>TITLE".
struct ListedWindow {
  std::uint32_t id = 0;
  std::string size;
  std::string title;
};

std::vector<ListedWindow> listedWindows(const std::string& listing) {
  std::vector<ListedWindow> windows;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
    if (fields.size() < 4 || fields[0].empty() || !std::isdigit(static_cast<unsigned char>(fields[0][0]))) continue;
    windows.push_back({static_cast<std::uint32_t>(std::stoul(fields[0])), fields[1], fields[3]});
  }
  return windows;
}

// The colour at the centre of each quadrant of a saved frame, 0xRRGGBB.
std::optional<std::array<std::uint32_t, 4>> quadrantColours(const std::string& path) {
  const auto frame = decodeJpegFile(path);
  if (!frame) return std::nullopt;
  return frame->quadrantCentres();
}

bool near(std::uint32_t a, std::uint32_t b) { return nearColour(a, b, 24); }

// A window for the host: a producer painted in four flat quadrants (JPEG keeps flat
// colours), sending one buffer per change as GNOME's window streams do.
struct Window {
  std::unique_ptr<ChildProcess> producer;
  std::uint32_t node = 0;
  int width = 0;
  int height = 0;
};

class PortalHost : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kColours[4] = {0xD02020, 0x20B040, 0x2040D0, 0xF0F0F0};

  static void SetUpTestSuite() {
    if (auto reason = PrivatePipeWire::unavailableReason()) {
      unavailable = *reason;
      return;
    }
    pipewire = std::make_unique<PrivatePipeWire>();
  }
  static void TearDownTestSuite() { pipewire.reset(); }

  void SetUp() override {
    if (!unavailable.empty()) ORVO_UNAVAILABLE(unavailable);
    std::filesystem::create_directories(home.file("config"));
  }
  void TearDown() override {
    stopHost();
    portal.reset();
  }

  // A window as GNOME shares one: a monitor-sized buffer with the window at its top left
  // (crop) and damage, or a plain buffer of another byte order with a stride of 0.
  static Window startWindow(const std::string& name, int width, int height, bool likeGnome) {
    Window window;
    window.width = width;
    window.height = height;
    std::vector<std::string> args = {ORVO_TEST_PW_PRODUCER_PATH, "--name", name};
    if (likeGnome) {
      args.insert(args.end(), {"--size", "1280x800", "--crop", "0,0," + std::to_string(width) + "," +
                                                                    std::to_string(height), "--damage"});
    } else {
      args.insert(args.end(), {"--size", std::to_string(width) + "x" + std::to_string(height), "--format", "RGBx",
                               "--stride0"});
    }
    window.producer = pipewire->startClient(args);
    // The match must outlive the lambda: keep the output it points into.
    std::string out;
    std::smatch match;
    const bool ready = waitUntil([&] {
      out = window.producer->output();
      return std::regex_search(out, match, std::regex("node ([0-9]+)"));
    });
    EXPECT_TRUE(ready) << window.producer->output();
    if (ready) window.node = static_cast<std::uint32_t>(std::stoul(match[1].str()));
    paint(window);
    return window;
  }
  static void paint(Window& window, int shift = 0) {
    const int w = window.width / 2, h = window.height / 2;
    for (int q = 0; q < 4; ++q) {
      char colour[8];
      std::snprintf(colour, sizeof colour, "%06X", kColours[(q + shift) % 4]);
      window.producer->write("fill " + std::to_string(q % 2 * w) + " " + std::to_string(q / 2 * h) + " " +
                             std::to_string(w) + " " + std::to_string(h) + " " + colour + "\n");
    }
  }

  std::vector<std::string> environment() const {
    std::vector<std::string> env = pipewire->environment();
    env.insert(env.end(), {"XDG_CONFIG_HOME=" + home.file("config"), "XDG_DATA_HOME=" + home.file("data"),
                           "XDG_CACHE_HOME=" + home.file("cache"), "ORVO_BIND_ADDRESS=127.0.0.1",
                           "ORVO_BACKEND=wayland", "WAYLAND_DISPLAY=", "DISPLAY="});
    return env;
  }
  std::vector<std::string> withEnvironment(std::vector<std::string> command) const {
    std::vector<std::string> argv = {"env"};
    for (const auto& entry : environment()) argv.push_back(entry);
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
  }

  void startPortal(std::vector<std::string> options = {}) {
    std::vector<std::string> command = {ORVO_FAKE_PORTAL_PATH, "--state", home.file("portal-state")};
    command.insert(command.end(), options.begin(), options.end());
    portal = std::make_unique<ChildProcess>(withEnvironment(command));
    ASSERT_TRUE(waitUntil([&] { return portal->output().find("ready\n") != std::string::npos; }))
        << portal->output();
  }
  void tellPortal(const std::string& command) {
    const auto mark = portal->output().size();
    portal->write(command + "\n");
    ASSERT_TRUE(waitUntil([&] { return portal->output().find("done " + command, mark) != std::string::npos; }))
        << portal->output();
  }
  void share(const Window& window, const std::string& title) {
    tellPortal("share " + std::to_string(window.node) + " " + std::to_string(window.width) + " " +
               std::to_string(window.height) + " title=" + std::regex_replace(title, std::regex(" "), "\\x20"));
  }
  // Whether the fake reported `line` after `mark`.
  bool portalSaid(const std::string& line, std::size_t mark = 0) {
    return waitUntil([&] { return portal->output().find(line, mark) != std::string::npos; }, 5s);
  }

  void startHost() {
    hostLog = home.file("host.log." + std::to_string(++hostStarts));
    std::vector<std::string> command = withEnvironment({ORVO_HOST_PATH, "--headless"});
    host = std::make_unique<TestProcess>(TestProcess::Options{
        .argv = command, .stdoutPath = hostLog, .stderrPath = hostLog + ".err"});
    ASSERT_TRUE(waitUntil([&] { return ctl({"status"}).exitCode == 0; })) << log();
  }
  void stopHost() {
    if (host) host->stop(5000ms);
    host.reset();
  }
  std::string log() const { return readFile(hostLog) + readFile(hostLog + ".err"); }

  Outcome ctl(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 30s) const {
    std::vector<std::string> command = {ORVO_HOST_PATH, "ctl"};
    command.insert(command.end(), args.begin(), args.end());
    return runToEnd(withEnvironment(command), timeout);
  }
  // The client, paired by token once per test.
  Outcome client(std::vector<std::string> args, std::chrono::milliseconds timeout = 30s) {
    if (!paired) {
      const Outcome token = ctl({"token"});
      EXPECT_EQ(token.exitCode, 0) << token.output;
      const Outcome pairing = runToEnd(clientCommand({"pair", "--token", token.output}));
      EXPECT_EQ(pairing.exitCode, 0) << pairing.output;
      paired = true;
    }
    const std::string status = ctl({"status"}).output;
    std::smatch match;
    if (std::regex_search(status, match, std::regex("session port ([0-9]+)"))) {
      args.insert(args.end(), {"--host", "127.0.0.1:" + match[1].str()});
    }
    return runToEnd(clientCommand(args), timeout);
  }
  std::vector<std::string> clientCommand(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"env", "XDG_CONFIG_HOME=" + home.file("client-config"),
                                     "XDG_DATA_HOME=" + home.file("client-data"), ORVO_CLIENT_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  std::vector<ListedWindow> windows() {
    const Outcome listing = client({"windows"});
    EXPECT_EQ(listing.exitCode, 0) << listing.output;
    return listedWindows(listing.output);
  }
  std::optional<std::uint32_t> idOf(const std::string& title) {
    for (const auto& window : windows()) {
      if (window.title == title) return window.id;
    }
    return std::nullopt;
  }

  static inline std::string unavailable;
  static inline std::unique_ptr<PrivatePipeWire> pipewire;
  TempDir home;
  std::unique_ptr<ChildProcess> portal;
  std::unique_ptr<TestProcess> host;
  std::string hostLog;
  int hostStarts = 0;
  bool paired = false;
};

TEST_F(PortalHost, SharedWindowsAreListedStreamedAndRestoredAtTheNextStart) {
  auto editor = startWindow("editor", 320, 200, true);
  auto mail = startWindow("mail", 200, 120, false);
  startPortal();
  share(editor, "Notes — Text Editor");
  share(mail, "Inbox");
  startHost();
  EXPECT_THAT(ctl({"status"}).output, HasSubstr("Desktop: Wayland (portal)\nShared windows: No windows shared\n"));
  EXPECT_THAT(log(), HasSubstr("OrvoHost: desktop: Wayland (portal), because ORVO_BACKEND=wayland"));

  // The person chooses at the desktop: the picker opens (a screen cast: control is off).
  const Outcome shared = ctl({"share-windows"});
  ASSERT_EQ(shared.exitCode, 0) << shared.output << log();
  EXPECT_THAT(shared.output, HasSubstr("Sharing 2 windows"));
  EXPECT_TRUE(portalSaid("dialog picker"));
  EXPECT_TRUE(portalSaid("call SelectSources "));
  EXPECT_THAT(portal->output(), HasSubstr("cursor_mode=1 handle_token="));
  EXPECT_THAT(portal->output(), HasSubstr("multiple=true persist_mode=2 types=2"));

  // Listed once a picture came, with the stream's size and title.
  ASSERT_TRUE(waitUntil([&] { return windows().size() == 2; })) << log();
  const auto list = windows();
  EXPECT_EQ(list[0].title, "Notes — Text Editor");
  EXPECT_EQ(list[0].size, "320x200");
  EXPECT_EQ(list[1].title, "Inbox");
  EXPECT_EQ(list[1].size, "200x120");

  // Frames show each window's own pixels: the crop of a monitor-sized buffer, and a
  // red-blue swapped buffer with a stride of 0.
  const std::string frames = home.file("frames");
  for (const auto& window : list) {
    const Outcome streamed = client({"stream", "--window", std::to_string(window.id), "--frames", "3", "--out", frames});
    ASSERT_EQ(streamed.exitCode, 0) << streamed.output << log();
    const auto colours = quadrantColours(frames + "/window-" + std::to_string(window.id) + "-3.jpg");
    ASSERT_TRUE(colours) << window.title;
    for (int q = 0; q < 4; ++q) EXPECT_TRUE(near((*colours)[q], kColours[q])) << window.title << " quadrant " << q
                                                                              << std::hex << " " << (*colours)[q];
  }

  // While a client streamed, the desktop was kept from going idle through the portal, and
  // let go after.
  EXPECT_TRUE(portalSaid("call Inhibit "));
  EXPECT_THAT(portal->output(), HasSubstr("flags=8"));
  EXPECT_THAT(portal->output(), HasSubstr("reason=Orvo streaming active"));
  EXPECT_TRUE(portalSaid("uninhibit "));

  // A still window costs nothing but its kept frame: many frames, one buffer.
  const std::string producerOutput = editor.producer->output();
  const Outcome still = client({"stream", "--window", std::to_string(list[0].id), "--frames", "40", "--out", frames});
  ASSERT_EQ(still.exitCode, 0) << still.output;
  const auto stillColours = quadrantColours(frames + "/window-" + std::to_string(list[0].id) + "-40.jpg");
  ASSERT_TRUE(stillColours);
  EXPECT_TRUE(near((*stillColours)[3], kColours[3]));
  EXPECT_EQ(editor.producer->output(), producerOutput);  // nothing more was sent
  // A change shows in the next frame.
  paint(editor, 1);
  ASSERT_TRUE(waitUntil([&] {
    const Outcome changed = client({"stream", "--window", std::to_string(list[0].id), "--frames", "1", "--out", frames});
    const auto colours = quadrantColours(frames + "/window-" + std::to_string(list[0].id) + "-1.jpg");
    return changed.exitCode == 0 && colours && near((*colours)[0], kColours[1]);
  })) << log();

  // The selection is kept: the next start restores it with no dialog.
  const std::string settings = readFile(home.file("config/orvo-host/defaults.json"));
  std::smatch token;
  ASSERT_TRUE(std::regex_search(settings, token, std::regex("\"OrvoHost.portalRestoreToken\": *\"([^\"]+)\"")))
      << settings;
  stopHost();
  const auto mark = portal->output().size();
  startHost();
  ASSERT_TRUE(portalSaid("restored " + token[1].str(), mark)) << portal->output().substr(mark) << log();
  EXPECT_EQ(portal->output().find("dialog", mark), std::string::npos) << portal->output().substr(mark);
  ASSERT_TRUE(waitUntil([&] { return windows().size() == 2; })) << log();
  EXPECT_THAT(ctl({"status"}).output, HasSubstr("Shared windows: Sharing 2 windows\n"));

  // A window that closes leaves the list; the other stays.
  mail.producer->kill();
  ASSERT_TRUE(waitUntil([&] { return windows().size() == 1; })) << log();
  EXPECT_EQ(windows()[0].title, "Notes — Text Editor");
  EXPECT_THAT(log(), HasSubstr("(Inbox) is gone"));

  // Stopping all forgets the selection.
  EXPECT_EQ(ctl({"stop-sharing"}).exitCode, 0);
  EXPECT_TRUE(windows().empty());
  EXPECT_THAT(readFile(home.file("config/orvo-host/defaults.json")), Not(HasSubstr("portalRestoreToken")));
}

TEST_F(PortalHost, ClicksAndTextReachTheDesktopAsRemoteDesktopCalls) {
  auto editor = startWindow("editor", 320, 200, true);
  startPortal();
  share(editor, "Notes");
  startHost();
  // Remote control on: the session asks for a keyboard and a pointer as well.
  ASSERT_EQ(ctl({"allow-control", "on"}).exitCode, 0);
  const Outcome shared = ctl({"share-windows"});
  ASSERT_EQ(shared.exitCode, 0) << shared.output << log();
  EXPECT_TRUE(portalSaid("call SelectDevices "));
  EXPECT_TRUE(portalSaid(" types=3"));
  EXPECT_TRUE(portalSaid("dialog consent"));
  // No persistence asked inside a remote desktop session of version 1: it would be refused.
  EXPECT_THAT(portal->output(), Not(HasSubstr("error ")));
  ASSERT_TRUE(waitUntil([&] { return !windows().empty(); })) << log();
  const auto id = std::to_string(windows()[0].id);

  auto mark = portal->output().size();
  ASSERT_EQ(client({"click", "--window", id, "--x", "0.25", "--y", "0.5"}).exitCode, 0);
  const std::string node = std::to_string(editor.node);
  EXPECT_TRUE(portalSaid("call NotifyPointerMotionAbsolute stream=" + node + " x=80 y=100", mark))
      << portal->output().substr(mark) << log();
  EXPECT_TRUE(portalSaid("call NotifyPointerButton button=272 state=1", mark));
  EXPECT_TRUE(portalSaid("call NotifyPointerButton button=272 state=0", mark));

  mark = portal->output().size();
  ASSERT_EQ(client({"type", "aé\u0436"}).exitCode, 0);
  ASSERT_EQ(client({"key", "backspace"}).exitCode, 0);
  const std::vector<std::string> keys = {"keysym=0xffe1 state=1", "keysym=0xffe1 state=0", "keysym=0x61 state=1",
                                         "keysym=0x61 state=0",   "keysym=0xe9 state=1",   "keysym=0xe9 state=0",
                                         "keysym=0x6d6 state=1", "keysym=0x6d6 state=0",
                                         "keysym=0xff08 state=1", "keysym=0xff08 state=0"};
  ASSERT_TRUE(portalSaid(keys.back(), mark)) << portal->output().substr(mark);
  std::size_t at = mark;
  for (const auto& key : keys) {
    at = portal->output().find("call NotifyKeyboardKeysym " + key, at);
    ASSERT_NE(at, std::string::npos) << key << " in order:\n" << portal->output().substr(mark);
  }
}

TEST_F(PortalHost, ADismissedPickerADeniedConsentAMissingPortalAndAClosedSessionSaySo) {
  auto editor = startWindow("editor", 320, 200, true);
  // No portal on the bus.
  startHost();
  Outcome none = ctl({"share-windows"});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_THAT(none.output, HasSubstr("Window sharing is not available: no desktop portal"));
  EXPECT_THAT(log(), HasSubstr("OrvoHost: no desktop portal ("));
  stopHost();

  startPortal();
  share(editor, "Notes");
  startHost();
  tellPortal("picker dismiss");
  const Outcome dismissed = ctl({"share-windows"});
  EXPECT_EQ(dismissed.exitCode, 1);
  EXPECT_EQ(dismissed.output, "No windows were chosen\n");
  EXPECT_THAT(ctl({"status"}).output, HasSubstr("Shared windows: No windows shared\n"));

  // Consent refused: the windows are shared for viewing, input is rejected.
  ASSERT_EQ(ctl({"allow-control", "on"}).exitCode, 0);
  tellPortal("consent deny");
  EXPECT_EQ(ctl({"share-windows"}).exitCode, 1);
  EXPECT_THAT(ctl({"status"}).output, HasSubstr("Remote control: on (the desktop has not allowed remote input)"));

  ASSERT_EQ(ctl({"share-windows"}).exitCode, 0) << log();
  ASSERT_TRUE(waitUntil([&] { return windows().size() == 1; })) << log();
  tellPortal("close");
  ASSERT_TRUE(waitUntil([&] { return windows().empty(); })) << log();
  EXPECT_THAT(log(), HasSubstr("OrvoHost: the desktop ended window sharing"));
  EXPECT_THAT(ctl({"status"}).output, HasSubstr("Shared windows: Window sharing was ended on the desktop\n"));
}

TEST_F(PortalHost, PipeWireGoingAwayEmptiesTheListAndTheHostServesOn) {
  auto editor = startWindow("editor", 320, 200, true);
  startPortal();
  share(editor, "Notes");
  startHost();
  ASSERT_EQ(ctl({"share-windows"}).exitCode, 0) << log();
  ASSERT_TRUE(waitUntil([&] { return windows().size() == 1; })) << log();

  pipewire->stop();  // this test's own PipeWire: each test runs in a process of its own
  ASSERT_TRUE(waitUntil([&] { return windows().empty(); })) << log();
  EXPECT_THAT(log(), HasSubstr("OrvoHost: lost PipeWire ("));
  // It asks for the kept selection again, which cannot be read while PipeWire is gone.
  ASSERT_TRUE(waitUntil([&] { return log().find("OrvoHost: window sharing failed:") != std::string::npos; }, 15s))
      << log();
  const Outcome status = ctl({"status"});
  EXPECT_EQ(status.exitCode, 0);
  EXPECT_THAT(status.output, HasSubstr("Shared windows: Window sharing failed:"));
  EXPECT_TRUE(windows().empty());
}

}  // namespace
}  // namespace orvo::testing
