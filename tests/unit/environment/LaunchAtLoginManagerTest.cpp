#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "core/AtomicFile.h"
#include "environment/LaunchAtLoginManager.h"
#include "platform/linux/desktop/XdgAutostartEntry.h"
#include "support/TempDir.h"
#include "support/WithoutPermissionOverride.h"

namespace orvo {
namespace {

using platform::LoginItemStatus;

// A login-item service whose answers the test scripts: the status before and after a call,
// and whether the call fails.
class ScriptedLoginItems final : public platform::LoginItemService {
 public:
  LoginItemStatus status() override { return current; }
  std::optional<std::string> registerItem() override { return call("register"); }
  std::optional<std::string> unregisterItem() override { return call("unregister"); }

  LoginItemStatus current = LoginItemStatus::notRegistered;
  LoginItemStatus afterCall = LoginItemStatus::notRegistered;
  std::optional<std::string> failure;
  std::vector<std::string> calls;

 private:
  std::optional<std::string> call(const std::string& what) {
    calls.push_back(what);
    if (!failure) current = afterCall;
    return failure;
  }
};

TEST(LaunchAtLoginManager, ConstructionReadsTheSystemStateOnlyEnabledCountsAsOn) {
  for (auto status : {LoginItemStatus::notRegistered, LoginItemStatus::enabled, LoginItemStatus::requiresApproval,
                      LoginItemStatus::notFound}) {
    ScriptedLoginItems items;
    items.current = status;
    LaunchAtLoginManager manager(items);
    EXPECT_EQ(*manager.isEnabled(), status == LoginItemStatus::enabled) << static_cast<int>(status);
    EXPECT_EQ(*manager.errorMessage(), std::nullopt);
    EXPECT_TRUE(items.calls.empty());
  }
}

TEST(LaunchAtLoginManager, SetEnabledCallsOnlyWhenNeededAndReReadsTheState) {
  struct Case {
    const char* name;
    LoginItemStatus before;
    bool wanted;
    LoginItemStatus after;
    std::optional<std::string> failure;
    std::vector<std::string> calls;
    bool isEnabled;
    std::optional<std::string> error;
  };
  const std::vector<Case> cases = {
      {"on when off", LoginItemStatus::notRegistered, true, LoginItemStatus::enabled, {}, {"register"}, true, {}},
      {"on when already on: no call", LoginItemStatus::enabled, true, LoginItemStatus::enabled, {}, {}, true, {}},
      {"off when on", LoginItemStatus::enabled, false, LoginItemStatus::notRegistered, {}, {"unregister"}, false, {}},
      {"off when already off: no call", LoginItemStatus::notRegistered, false, {}, {}, {}, false, {}},
      {"registered but waits for approval", LoginItemStatus::notRegistered, true, LoginItemStatus::requiresApproval,
       {}, {"register"}, false, {}},
      {"stale entry is registered again", LoginItemStatus::notFound, true, LoginItemStatus::enabled, {},
       {"register"}, true, {}},
      {"failed registration", LoginItemStatus::notRegistered, true, {}, "disk full", {"register"}, false,
       "disk full"},
      {"failed unregistration keeps it on", LoginItemStatus::enabled, false, {}, "read-only", {"unregister"}, true,
       "read-only"},
  };
  for (const auto& c : cases) {
    ScriptedLoginItems items;
    items.current = c.before;
    items.afterCall = c.after;
    items.failure = c.failure;
    LaunchAtLoginManager manager(items);
    std::vector<bool> announced;
    auto subscription = manager.isEnabled().subscribe([&](bool on) { announced.push_back(on); });
    manager.setEnabled(c.wanted);
    EXPECT_EQ(items.calls, c.calls) << c.name;
    EXPECT_EQ(*manager.isEnabled(), c.isEnabled) << c.name;
    EXPECT_EQ(*manager.errorMessage(), c.error) << c.name;
    EXPECT_EQ(announced.back(), c.isEnabled) << c.name;  // the toggle follows the system
  }
}

TEST(LaunchAtLoginManager, NextSuccessClearsTheErrorAndRefreshFollowsOutsideChanges) {
  ScriptedLoginItems items;
  items.failure = "Permission denied";
  LaunchAtLoginManager manager(items);
  manager.setEnabled(true);
  EXPECT_EQ(*manager.errorMessage(), "Permission denied");
  // Asking for the state it already has is a success: the error goes.
  manager.setEnabled(false);
  EXPECT_EQ(*manager.errorMessage(), std::nullopt);
  EXPECT_EQ(items.calls.size(), 1u);

  int announcements = 0;
  auto subscription = manager.isEnabled().subscribe([&](bool) { ++announcements; });
  manager.refresh();
  EXPECT_EQ(announcements, 1);  // only the subscription's own delivery: nothing changed
  items.current = LoginItemStatus::enabled;  // the user turned it on outside the host
  manager.refresh();
  EXPECT_TRUE(*manager.isEnabled());
  EXPECT_EQ(announcements, 2);
}

// The XDG autostart entry, on a real directory.
class XdgAutostartTest : public ::testing::Test {
 protected:
  XdgAutostartTest() {
    std::filesystem::create_directories(dir.file("bin"));
    std::ofstream(program) << "#!/bin/sh\n";
    ::chmod(program.c_str(), 0755);
  }

  std::string autostartDir() const { return dir.file("config/autostart"); }
  std::string entryPath() const { return autostartDir() + "/orvo-host.desktop"; }
  void writeEntry(const std::string& content) {
    std::filesystem::create_directories(autostartDir());
    std::ofstream(entryPath()) << content;
  }
  platform::XdgAutostartEntry entry() {
    return platform::XdgAutostartEntry(dir.file("config"), [this] { return std::optional<std::string>(program); });
  }

  testing::TempDir dir;
  std::string program = dir.file("bin/orvo host");  // a blank, to exercise the quoting
};

using testing::withoutPermissionOverride;

TEST_F(XdgAutostartTest, StatusTable) {
  const std::string exec = "Exec=\"" + program + "\"\n";
  struct Case {
    const char* name;
    std::optional<std::string> content;
    LoginItemStatus status;
  };
  const std::vector<Case> cases = {
      {"no entry", std::nullopt, LoginItemStatus::notRegistered},
      {"our entry", platform::autostartEntryText(program), LoginItemStatus::enabled},
      {"plain entry", "[Desktop Entry]\nType=Application\n" + exec, LoginItemStatus::enabled},
      {"Hidden=true", "[Desktop Entry]\n" + exec + "Hidden=true\n", LoginItemStatus::notRegistered},
      {"Hidden=false", "[Desktop Entry]\n" + exec + "Hidden=false\n", LoginItemStatus::enabled},
      {"switched off in GNOME", "[Desktop Entry]\n" + exec + "X-GNOME-Autostart-enabled=false\n",
       LoginItemStatus::notRegistered},
      {"Hidden in another group", "[Desktop Entry]\n" + exec + "[Desktop Action x]\nHidden=true\n",
       LoginItemStatus::enabled},
      {"program gone (older install)", "[Desktop Entry]\nExec=" + dir.file("old/orvo-host") + " --headless\n",
       LoginItemStatus::notFound},
      {"program on PATH", "[Desktop Entry]\nExec=orvo-host\n", LoginItemStatus::enabled},
      {"no Exec", "[Desktop Entry]\nType=Application\n", LoginItemStatus::notFound},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(entryPath());
    if (c.content) writeEntry(*c.content);
    EXPECT_EQ(entry().status(), c.status) << c.name;
    auto items = entry();
    LaunchAtLoginManager manager(items);
    EXPECT_EQ(*manager.isEnabled(), c.status == LoginItemStatus::enabled) << c.name;
  }
}

TEST_F(XdgAutostartTest, SwitchingOnWritesTheEntryAndOffRemovesIt) {
  auto items = entry();
  LaunchAtLoginManager manager(items);
  EXPECT_FALSE(*manager.isEnabled());
  manager.setEnabled(true);  // creates the missing autostart directory too
  EXPECT_TRUE(*manager.isEnabled());
  EXPECT_EQ(*manager.errorMessage(), std::nullopt);
  EXPECT_EQ(readFile(entryPath()), platform::autostartEntryText(program));
  EXPECT_EQ(std::filesystem::status(entryPath()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms(0644));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(autostartDir()), {}), 1);  // no temporary file left

  manager.setEnabled(false);
  EXPECT_FALSE(*manager.isEnabled());
  EXPECT_FALSE(std::filesystem::exists(entryPath()));

  // An entry the user switched off is written afresh when switched on again.
  writeEntry("[Desktop Entry]\nExec=/bin/true\nHidden=true\n");
  manager.refresh();
  EXPECT_FALSE(*manager.isEnabled());
  manager.setEnabled(true);
  EXPECT_TRUE(*manager.isEnabled());
  EXPECT_EQ(readFile(entryPath()), platform::autostartEntryText(program));
}

TEST_F(XdgAutostartTest, ReadOnlyAutostartDirectorySetsTheErrorAndKeepsTheState) {
  std::filesystem::create_directories(autostartDir());
  ::chmod(autostartDir().c_str(), 0555);
  withoutPermissionOverride([&] {
    auto items = entry();
    LaunchAtLoginManager manager(items);
    manager.setEnabled(true);
    EXPECT_FALSE(*manager.isEnabled());
    ASSERT_TRUE(manager.errorMessage()->has_value());
    EXPECT_NE(manager.errorMessage()->value().find("Permission denied"), std::string::npos)
        << manager.errorMessage()->value();
    EXPECT_FALSE(std::filesystem::exists(entryPath()));
  });
  // Switched on while writable; switching off in the read-only directory fails and it stays on.
  ::chmod(autostartDir().c_str(), 0755);
  writeEntry(platform::autostartEntryText(program));
  ::chmod(autostartDir().c_str(), 0555);
  withoutPermissionOverride([&] {
    auto items = entry();
    LaunchAtLoginManager manager(items);
    manager.setEnabled(false);
    EXPECT_TRUE(*manager.isEnabled());
    ASSERT_TRUE(manager.errorMessage()->has_value());
    EXPECT_NE(manager.errorMessage()->value().find(entryPath()), std::string::npos);
    manager.setEnabled(true);  // already on: no call, and the error is cleared
    EXPECT_EQ(*manager.errorMessage(), std::nullopt);
  });
  ::chmod(autostartDir().c_str(), 0755);
}

TEST_F(XdgAutostartTest, ExecLineSurvivesAwkwardPaths) {
  for (const std::string path : {"/usr/bin/orvo-host", "/opt/My Apps/orvo-host", "/home/a/100%/orvo",
                                 "/tmp/$HOME/\"q\"/back\\slash/`x`"}) {
    const auto text = platform::autostartEntryText(path);
    const auto line = text.substr(text.find("Exec=") + 5, text.find('\n', text.find("Exec=")) - text.find("Exec=") - 5);
    EXPECT_EQ(platform::desktopExecProgram(line), path) << line;
  }
  EXPECT_EQ(platform::desktopExecProgram("\"/unclosed quote"), std::nullopt);
  EXPECT_EQ(platform::desktopExecProgram("  "), std::nullopt);
}

TEST_F(XdgAutostartTest, RegisteringWithoutAKnownProgramPathFails) {
  platform::XdgAutostartEntry items(dir.file("config"), [] { return std::optional<std::string>(); });
  LaunchAtLoginManager manager(items);
  manager.setEnabled(true);
  EXPECT_FALSE(*manager.isEnabled());
  EXPECT_EQ(*manager.errorMessage(), "Cannot find the path of the running program");
}

}  // namespace
}  // namespace orvo
