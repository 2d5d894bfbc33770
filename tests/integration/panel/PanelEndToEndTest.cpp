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

  // orvo-host as the desktop entry starts it: no arguments.
  void startHost() {
    host = std::make_unique<TestProcess>(TestProcess::Options{.argv = {ORVO_HOST_PATH},
                                                              .env = {{"DISPLAY", desktop->display()},
                                                                      {"QT_QPA_PLATFORM", "xcb"},
                                                                      {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"},
                                                                      {"DBUS_SESSION_BUS_ADDRESS", sessionBusAddress},
                                                                      {"XDG_CONFIG_HOME", home.file("config")},
                                                                      {"XDG_DATA_HOME", home.file("data")},
                                                                      {"XDG_RUNTIME_DIR", home.file("run")},
                                                                      {"ORVO_BIND_ADDRESS", "127.0.0.1"}},
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

  // The panel is the 500 × 820 window of the program; the tray icon is its small one.
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
