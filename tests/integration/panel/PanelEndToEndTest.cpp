// The control panel as a user meets it: `orvo-host` opens its panel on a private Xvfb,
// `orvo-client` pairs through the real pairing service found on a private avahi-daemon,
// and the device shows up in the panel, read through the accessibility bus as a screen
// reader reads it. Closing the window keeps the host running.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "integration/panel/AccessibilityTree.h"
#include "support/AvahiFixture.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"
#include "support/XvfbFixture.h"
#include "support/Unavailable.h"

namespace orvo::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kBusLauncher = "/usr/libexec/at-spi-bus-launcher";

class PanelEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = AvahiFixture::unavailableReason()) ORVO_UNAVAILABLE(*reason);
    if (::access(kBusLauncher, X_OK) != 0) ORVO_UNAVAILABLE(std::string(kBusLauncher) + " is missing (package at-spi2-core)");
    avahi = std::make_unique<AvahiFixture>();
    desktop = std::make_unique<XvfbFixture>(XvfbOptions{.windowManager = true, .screen = "1280x1024x24"});
    std::filesystem::create_directories(home.file("run"));
    ::chmod(home.file("run").c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", home.file("run").c_str(), 1);  // where `orvo-host ctl` finds the host

    // A private session bus and the accessibility bus on it.
    sessionBus = std::make_unique<TestProcess>(
        TestProcess::Options{.argv = {"dbus-daemon", "--session", "--nofork", "--print-address"},
                             .stdoutPath = home.file("session-bus"),
                             .stderrPath = home.file("session-bus.err")});
    ASSERT_TRUE(waitUntil([&] { return readFile(home.file("session-bus")).find('\n') != std::string::npos; }))
        << sessionBus->stderrText();
    const std::string busText = readFile(home.file("session-bus"));
    sessionBusAddress = busText.substr(0, busText.find('\n'));
    busLauncher =
        std::make_unique<TestProcess>(TestProcess::Options{.argv = {kBusLauncher, "--launch-immediately"},
                                                           .env = {{"DISPLAY", desktop->display()},
                                                                   {"DBUS_SESSION_BUS_ADDRESS", sessionBusAddress},
                                                                   {"XDG_RUNTIME_DIR", home.file("run")}},
                                                           .stderrPath = home.file("at-spi.err")});
    tree = std::make_unique<AccessibilityTree>(sessionBusAddress);
    ASSERT_TRUE(waitUntil([&] { return tree->busAddress().has_value(); })) << busLauncher->stderrText();
  }

  void TearDown() override {
    if (host) host->stop(5000ms);
    host.reset();
    busLauncher.reset();
    sessionBus.reset();
    desktop.reset();
    avahi.reset();
  }

  // orvo-host as the desktop entry starts it: no arguments. `extraEnv` is set on top.
  void startHost(const std::vector<std::pair<std::string, std::string>>& extraEnv = {}) {
    std::vector<std::pair<std::string, std::string>> env = {{"DISPLAY", desktop->display()},
                                                            {"QT_QPA_PLATFORM", "xcb"},
                                                            {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"},
                                                            {"DBUS_SESSION_BUS_ADDRESS", sessionBusAddress},
                                                            {"XDG_CONFIG_HOME", home.file("config")},
                                                            {"XDG_DATA_HOME", home.file("data")},
                                                            {"XDG_CACHE_HOME", home.file("cache")},
                                                            {"XDG_RUNTIME_DIR", home.file("run")},
                                                            {"ORVO_BIND_ADDRESS", "127.0.0.1"}};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    host = std::make_unique<TestProcess>(TestProcess::Options{.argv = {ORVO_HOST_PATH},
                                                              .env = std::move(env),
                                                              .stdoutPath = home.file("host.log"),
                                                              .stderrPath = home.file("host.err")});
    ASSERT_TRUE(waitUntil([&] { return ctl({"status"}).exitCode == 0; })) << hostLog();
    ASSERT_FALSE(avahi
                     ->browseUntil("_orvopair._tcp",
                                   [](const std::vector<BrowsedService>& services) {
                                     return !services.empty() && services.front().txtValue("pinSalt") != nullptr;
                                   })
                     .empty())
        << hostLog();
  }

  Outcome ctl(std::vector<std::string> args) const {
    args.insert(args.begin(), {ORVO_HOST_PATH, "ctl"});
    return runToEnd(args, 10s);
  }
  std::string currentPin() const {
    std::smatch match;
    const std::string output = ctl({"pin"}).output;
    return std::regex_search(output, match, std::regex("Pairing code: ([0-9]{6})")) ? match[1].str() : "";
  }
  std::string hostLog() const { return readFile(home.file("host.log")) + readFile(home.file("host.err")); }
  bool panelShows(const std::string& name) const {
    return waitUntil([&] { return tree->contains(name); }, 20s);
  }
  Outcome x(std::vector<std::string> args) const {
    args.insert(args.begin(), {"env", "DISPLAY=" + desktop->display()});
    return runToEnd(args, 10s);
  }
  // The first visible window whose title is exactly `title`, or empty. (Titles are compared
  // here: xdotool's patterns do not match every UTF-8 title.)
  std::string windowNamed(const std::string& title) const {
    std::istringstream ids(x({"xdotool", "search", "--onlyvisible", "--name", "."}).output);
    for (std::string id; std::getline(ids, id);) {
      if (x({"xdotool", "getwindowname", id}).output == title + "\n") return id;
    }
    return {};
  }
  // Every visible window's title, for messages.
  std::string windowTitles() const {
    std::string out;
    std::istringstream ids(x({"xdotool", "search", "--onlyvisible", "--name", "."}).output);
    for (std::string id; std::getline(ids, id);) out += x({"xdotool", "getwindowname", id}).output;
    return out;
  }
  // A window's client area on the screen (xwininfo).
  struct Area {
    int x = 0, y = 0, width = 0, height = 0;
  };
  Area area(const std::string& window) const {
    const std::string info = x({"xwininfo", "-id", window}).output;
    auto number = [&](const char* label) {
      std::smatch match;
      return std::regex_search(info, match, std::regex(std::string(label) + ":\\s+(-?[0-9]+)")) ? std::stoi(match[1])
                                                                                                : 0;
    };
    return {number("Absolute upper-left X"), number("Absolute upper-left Y"), number("Width"), number("Height")};
  }

  TempDir home;
  TempDir clientHome;
  std::unique_ptr<AvahiFixture> avahi;
  std::unique_ptr<XvfbFixture> desktop;
  std::unique_ptr<TestProcess> sessionBus;
  std::unique_ptr<TestProcess> busLauncher;
  std::unique_ptr<AccessibilityTree> tree;
  std::string sessionBusAddress;
  std::unique_ptr<TestProcess> host;
};

TEST_F(PanelEndToEnd, APairedClientAppearsInThePanelAndClosingTheWindowKeepsHosting) {
  startHost();
  ASSERT_TRUE(panelShows("Orvo from this computer")) << hostLog();
  ASSERT_TRUE(panelShows("Paired Devices (0)")) << hostLog();

  // The client pairs with the code through the advertised pairing service.
  const std::string name = "Panel <b>e2e</b> iPad";
  const Outcome pair =
      runToEnd({"env", "XDG_CONFIG_HOME=" + clientHome.file("config"), "XDG_DATA_HOME=" + clientHome.file("data"),
                ORVO_CLIENT_PATH, "pair", "--pin", currentPin(), "--name", name});
  ASSERT_EQ(pair.exitCode, 0) << pair.output << hostLog();
  EXPECT_TRUE(panelShows(name)) << hostLog();  // the row's name, as plain text
  EXPECT_TRUE(panelShows("Paired Devices (1)")) << hostLog();

  // Closing the window (the window manager's close, Alt+F4 in openbox) leaves the host
  // running and answering; without a tray the window is minimized.
  const Outcome found = x({"xdotool", "search", "--onlyvisible", "--name", "^Orvo$"});
  ASSERT_EQ(found.exitCode, 0) << found.output;
  const std::string window = found.output.substr(0, found.output.find('\n'));
  x({"xdotool", "windowactivate", "--sync", window});
  x({"xdotool", "key", "--clearmodifiers", "alt+F4"});
  EXPECT_TRUE(waitUntil([&] {
    return x({"xprop", "-id", window, "WM_STATE"}).output.find("Iconic") != std::string::npos;
  })) << x({"xprop", "-id", window, "WM_STATE"}).output;
  EXPECT_TRUE(host->running()) << hostLog();
  EXPECT_THAT(ctl({"devices"}).output, ::testing::HasSubstr("Paired devices (1)"));

  // SIGTERM ends the panel and the host cleanly.
  host->stop(5000ms);
  const auto status = host->status();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status << "\n" << hostLog();
  host.reset();
}

// The window is the panel (420 × 520); the desktop's keys open the settings (Ctrl+,), centred
// on the panel, and the about view (F1), whose titles the window manager shows undoubled;
// Ctrl+W and Escape close them.
TEST_F(PanelEndToEnd, TheWindowIsThePanelAndItsKeysOpenAndCloseSettingsAndAbout) {
  startHost();
  ASSERT_TRUE(panelShows("Orvo from this computer")) << hostLog();
  std::string panel;
  ASSERT_TRUE(waitUntil([&] { return !(panel = windowNamed("Orvo")).empty(); })) << hostLog();
  const Area panelArea = area(panel);
  EXPECT_EQ(panelArea.width, 420);
  EXPECT_EQ(panelArea.height, 520);

  x({"xdotool", "windowactivate", "--sync", panel});
  x({"xdotool", "key", "--clearmodifiers", "ctrl+comma"});
  std::string settings;
  ASSERT_TRUE(waitUntil([&] { return !(settings = windowNamed("Settings — Orvo")).empty(); }))
      << windowTitles() << hostLog();
  const Area settingsArea = area(settings);
  EXPECT_NEAR(settingsArea.x + settingsArea.width / 2, panelArea.x + panelArea.width / 2, 24);
  EXPECT_NEAR(settingsArea.y + settingsArea.height / 2, panelArea.y + panelArea.height / 2, 40);
  x({"xdotool", "windowactivate", "--sync", settings});
  x({"xdotool", "key", "--clearmodifiers", "ctrl+w"});
  EXPECT_TRUE(waitUntil([&] { return windowNamed("Settings — Orvo").empty(); })) << "Ctrl+W left the settings open";

  x({"xdotool", "windowactivate", "--sync", panel});
  x({"xdotool", "key", "--clearmodifiers", "F1"});
  std::string about;
  ASSERT_TRUE(waitUntil([&] { return !(about = windowNamed("About Orvo")).empty(); })) << windowTitles() << hostLog();
  x({"xdotool", "key", "--clearmodifiers", "Escape"});
  EXPECT_TRUE(waitUntil([&] { return windowNamed("About Orvo").empty(); })) << "Escape left the about view open";
  // No title names the application twice.
  x({"xdotool", "key", "--clearmodifiers", "ctrl+comma"});
  ASSERT_TRUE(waitUntil([&] { return !windowNamed("Settings — Orvo").empty(); })) << windowTitles();
  std::istringstream titles(windowTitles());
  for (std::string title; std::getline(titles, title);) {
    EXPECT_EQ(title.find("Orvo"), title.rfind("Orvo")) << title;
  }
}

// A screen reader's Toggle action on the remote-control switch reaches the host, both ways.
TEST_F(PanelEndToEnd, TheRemoteControlSwitchFollowsItsAccessibleToggleAction) {
  startHost();
  ASSERT_TRUE(panelShows("Allow Orvo to control this computer")) << hostLog();
  ASSERT_THAT(ctl({"status"}).output, ::testing::HasSubstr("Remote control: off"));
  ASSERT_TRUE(tree->doAction("Allow Orvo to control this computer", "Toggle"));
  EXPECT_TRUE(waitUntil([&] { return ctl({"status"}).output.find("Remote control: on") != std::string::npos; }))
      << ctl({"status"}).output << hostLog();  // Xvfb offers XTEST: the grant is there
  ASSERT_TRUE(tree->doAction("Allow Orvo to control this computer", "Toggle"));
  EXPECT_TRUE(waitUntil([&] { return ctl({"status"}).output.find("Remote control: off") != std::string::npos; }))
      << ctl({"status"}).output;
}

// With a system tray (trayer here) closing the window hides it; the tray icon brings it
// back, and its menu's "Quit Orvo" ends the host.
TEST_F(PanelEndToEnd, TheTrayIconReopensThePanelAndQuits) {
  auto tray = desktop->launch(
      {"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120", "--height", "24"});
  ASSERT_TRUE(waitUntil([&] {
    return x({"xprop", "-root", "_NET_SUPPORTED"}).exitCode == 0 &&
           x({"xdotool", "search", "--class", "trayer"}).exitCode == 0;
  }));
  startHost();
  ASSERT_TRUE(panelShows("Orvo from this computer")) << hostLog();

  // The panel is the 420 × 520 window of the program; the tray icon is its small one.
  auto width = [&](const std::string& id) {
    std::smatch match;
    const std::string info = x({"xwininfo", "-id", id}).output;
    return std::regex_search(info, match, std::regex("Width: ([0-9]+)")) ? std::stoi(match[1]) : 0;
  };
  std::string panel, icon;
  const auto findWindows = [&] {
    panel.clear();
    icon.clear();
    std::istringstream ids(x({"xdotool", "search", "--onlyvisible", "--class", "orvo"}).output);
    for (std::string id; std::getline(ids, id);) (width(id) >= 400 ? panel : icon) = id;
    return !panel.empty() && !icon.empty();
  };
  ASSERT_TRUE(waitUntil(findWindows)) << "panel " << panel << ", tray icon " << icon << "\n" << hostLog();
  auto mapped = [&] { return x({"xwininfo", "-id", panel}).output.find("IsViewable") != std::string::npos; };

  x({"xdotool", "windowactivate", "--sync", panel});
  x({"xdotool", "key", "--clearmodifiers", "alt+F4"});
  EXPECT_TRUE(waitUntil([&] { return !mapped(); })) << "the panel is still shown";
  EXPECT_EQ(ctl({"status"}).exitCode, 0) << hostLog();

  x({"xdotool", "mousemove", "--window", icon, "8", "8", "click", "1"});
  EXPECT_TRUE(waitUntil(mapped)) << "the tray icon did not bring the panel back";

  // The tray menu: "Show Orvo", then "Quit Orvo" as its last item.
  const auto shown = [&] { return x({"xdotool", "search", "--onlyvisible", "--class", "orvo"}).output; };
  const std::string before = shown();
  x({"xdotool", "mousemove", "--window", icon, "8", "8", "click", "3"});
  ASSERT_TRUE(waitUntil([&] { return shown().size() > before.size(); })) << "no tray menu";
  x({"xdotool", "key", "Up", "Return"});
  EXPECT_TRUE(waitUntil([&] { return !host->running(); })) << hostLog();
  const auto status = host->status();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status << "\n" << hostLog();
  host.reset();
}

}  // namespace
}  // namespace orvo::testing
