#include "app/HostCommands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/ControlSocket.h"
#include "environment/LaunchAtLoginManager.h"
#include "fakes/FakeDesktop.h"
#include "unit/host/HostHarness.h"

namespace orvo::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class HostCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { h.start(); }
  HostCommands::Result run(std::vector<std::string> args) {
    auto result = commands().execute(args);
    h.loop.drain();
    return result;
  }
  HostCommands commands() { return HostCommands(*h.host, h.activation, h.loop.clock()); }
  HostHarness h;
};

TEST_F(HostCommandsTest, StatusReportsEveryField) {
  auto result = run({"status"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, "Status: " + h.status() + "\nDiscoverable: on\nListening: session port " +
                               std::to_string(*h.host->listenerPort()) + ", pairing port " +
                               std::to_string(*h.host->pairingListenerPort()) + "\nAdvertised as: “Orvo on " +
                               *h.hostInfo.name + "”, pairing “Orvo Pair on " + *h.hostInfo.name +
                               "”\nPairing: open\nRemote control: off\nConnected client: none\nUpdate: none\nScreen: unlocked\n");
  h.pair("A", "Ada's iPad");
  auto client = h.connectClient();
  EXPECT_THAT(run({"status"}).output, HasSubstr("Connected client: connected, not identified yet\n"));
  h.send(*client, "{\"type\":\"clientHello\",\"deviceName\":\"Ada's iPad\",\"platform\":\"iPadOS\",\"pairingID\":\"A\"}\n");
  EXPECT_THAT(run({"status"}).output, HasSubstr("Connected client: Ada's iPad (A)\n"));
  h.activation.trusted = false;
  EXPECT_THAT(run({"status"}).output, HasSubstr("Remote control: off (input injection is not available on this display)"));
}

// Status names the service as the daemon published it: the alternative name after a
// conflict on the network, nothing while it is not published.
TEST_F(HostCommandsTest, StatusShowsTheNameActuallyPublished) {
  h.host->republishServiceIfNeeded();
  h.discovery.live("_orvo._tcp.")->name = "Orvo on " + *h.hostInfo.name + " #2";  // renamed by the daemon
  h.loop.drain();
  EXPECT_THAT(run({"status"}).output, HasSubstr("\nAdvertised as: “Orvo on " + *h.hostInfo.name + " #2”, pairing"));
  h.discovery.publishFailure = "Daemon not running";
  h.host->republishServiceIfNeeded();
  h.loop.drain();
  EXPECT_THAT(run({"status"}).output, HasSubstr("\nAdvertised as: none, pairing “Orvo Pair on "));
  h.host->setDiscoverable(false);
  h.loop.drain();
  EXPECT_THAT(run({"status"}).output, HasSubstr("\nAdvertised as: none\n"));
}

TEST_F(HostCommandsTest, PinAndRegeneration) {
  const auto pin = *h.host->pairingPIN();
  EXPECT_EQ(run({"pin"}).output, "Pairing code: " + pin + "\nExpires in 600s\n");
  h.loop.advance(100.5);
  EXPECT_EQ(run({"pin"}).output, "Pairing code: " + pin + "\nExpires in 499s\n");
  const auto salt = h.host->pairingSalt();
  auto result = run({"regenerate-pin"});
  EXPECT_NE(h.host->pairingSalt(), salt);
  EXPECT_EQ(result.output, "Pairing code: " + *h.host->pairingPIN() + "\nExpires in 600s\n");
}

// Twenty wrong codes from twenty addresses suspend pairing: `ctl pin` shows no code but
// says why and what to do, `ctl status` says so, and `ctl regenerate-pin` resumes.
TEST_F(HostCommandsTest, SuspendedPairingIsShownByPinAndStatusAndRegenerationResumesIt) {
  for (int i = 0; i < 20; ++i) {
    auto wrong = h.pairingListener()->accept("198.51.100." + std::to_string(i) + ":1");
    ASSERT_TRUE(wrong->started) << i;
    wrong->deliverState(platform::ConnectionStateKind::failed, "unknown psk identity");
    h.loop.drain();
    if (i == 0) {
      EXPECT_THAT(run({"status"}).output,
                  HasSubstr("\nPairing: open; 1 of 20 failed attempts before pairing is suspended\n"));
    }
  }
  const std::string suspended =
      "suspended after 20 failed attempts; ask for a new code to pair again (orvo-host ctl regenerate-pin, or ↻ in "
      "the panel)";
  EXPECT_EQ(run({"pin"}).output, "Pairing " + suspended + "\n");
  EXPECT_THAT(run({"status"}).output, HasSubstr("\nPairing: " + suspended + "\n"));
  EXPECT_EQ(h.logger.countPrefix("OrvoHost: pairing suspended after 20 failed attempts"), 1u);

  auto result = run({"regenerate-pin"});
  EXPECT_EQ(result.output, "Pairing code: " + *h.host->pairingPIN() + "\nExpires in 600s\n");
  EXPECT_THAT(run({"status"}).output, HasSubstr("\nPairing: open\n"));
  EXPECT_TRUE(h.logger.has("OrvoHost: pairing resumed with a new code"));
}

TEST_F(HostCommandsTest, StatusShowsTheScreenLockFromTheLastEvent) {
  h.powerEvents.fire(platform::PowerLockEvent::locked);
  h.loop.drain();
  EXPECT_THAT(run({"status"}).output, HasSubstr("\nScreen: locked\n"));
  h.powerEvents.fire(platform::PowerLockEvent::unlocked);
  h.loop.drain();
  EXPECT_THAT(run({"status"}).output, HasSubstr("\nScreen: unlocked\n"));
}

// A login-item service that turns on and off as asked, or fails with `failure`.
class SwitchLoginItems final : public platform::LoginItemService {
 public:
  platform::LoginItemStatus status() override {
    return on ? platform::LoginItemStatus::enabled : platform::LoginItemStatus::notRegistered;
  }
  std::optional<std::string> registerItem() override { return change(true); }
  std::optional<std::string> unregisterItem() override { return change(false); }
  bool on = false;
  std::optional<std::string> failure;

 private:
  std::optional<std::string> change(bool wanted) {
    if (!failure) on = wanted;
    return failure;
  }
};

TEST_F(HostCommandsTest, LaunchAtLoginShowsAndSwitchesAndReportsFailures) {
  EXPECT_EQ(run({"launch-at-login"}).exitCode, 1);  // nothing attached: not available
  SwitchLoginItems items;
  LaunchAtLoginManager manager(items);
  auto commands = this->commands();
  commands.attachLaunchAtLogin(&manager);
  EXPECT_EQ(commands.execute({"launch-at-login"}).output, "Launch at login: off\n");
  auto on = commands.execute({"launch-at-login", "on"});
  EXPECT_EQ(on.exitCode, 0);
  EXPECT_EQ(on.output, "Launch at login: on\n");
  EXPECT_THAT(commands.execute({"status"}).output, HasSubstr("\nLaunch at login: on\n"));
  items.on = false;  // switched off outside the host: status reads it afresh
  EXPECT_THAT(commands.execute({"status"}).output, HasSubstr("\nLaunch at login: off\n"));

  items.failure = "cannot create a temporary file for /x/orvo-host.desktop: Read-only file system";
  auto failed = commands.execute({"launch-at-login", "on"});
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.output, "orvo-host ctl: " + *items.failure + "\nLaunch at login: off\n");
  EXPECT_EQ(commands.execute({"launch-at-login", "maybe"}).exitCode, 2);
  EXPECT_EQ(commands.execute({"launch-at-login", "on", "now"}).exitCode, 2);
}

TEST(PinExpiryText, CountsDownToOneSecondThenSaysExpired) {
  EXPECT_EQ(pinExpiryText(100.0, 99.0), "Expires in 1s");
  EXPECT_EQ(pinExpiryText(100.0, 99.5), "Expired (regenerating…)");
  EXPECT_EQ(pinExpiryText(100.0, 150.0), "Expired (regenerating…)");
}

TEST_F(HostCommandsTest, TokenDevicesAndUnpair) {
  const auto token = run({"token"});
  EXPECT_EQ(token.output, h.host->lastPairingToken()->value() + "\n");
  const auto id = h.host->pairingStore().paired()->front().id;
  auto listing = run({"devices"});
  EXPECT_THAT(listing.output, StartsWith("Paired devices (1)\n" + id + "  Orvo Client (pending)\n    paired: "));
  EXPECT_THAT(listing.output, HasSubstr("    connected: no\n"));

  auto unknown = run({"unpair", "nobody"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_EQ(unknown.output, "orvo-host ctl: no paired device matches “nobody”\n");
  EXPECT_EQ(run({"unpair", id}).output, "Unpaired " + id + "\n");
  EXPECT_EQ(run({"devices"}).output, "No paired devices yet.\n");
}

TEST_F(HostCommandsTest, SwitchesAndTheirErrors) {
  EXPECT_EQ(run({"discoverable", "off"}).output, "Discoverable: off\n");
  EXPECT_FALSE(*h.host->isDiscoverable());
  EXPECT_EQ(h.status(), "Not discoverable");
  EXPECT_THAT(run({"status"}).output, HasSubstr("\nListening: not listening\n"));
  EXPECT_EQ(run({"discoverable", "on"}).exitCode, 0);
  EXPECT_TRUE(*h.host->isDiscoverable());

  EXPECT_EQ(run({"allow-control", "on"}).output, "Remote control: on\n");
  EXPECT_TRUE(h.host->allowControlThisMac());
  h.activation.trusted = false;
  auto refused = run({"allow-control", "on"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_FALSE(h.host->allowControlThisMac());

  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"fly"}, {"discoverable"}, {"discoverable", "maybe"}, {"unpair"}, {"pin", "extra"}}) {
    auto result = run(args);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_THAT(result.output, HasSubstr("usage: orvo-host ctl COMMAND"));
  }
}

TEST_F(HostCommandsTest, StatusNamesTheDesktopAndWhatThePersonShares) {
  FakeDesktop x11("X11");
  auto onX11 = commands();
  onX11.attachDesktop(x11);
  EXPECT_THAT(onX11.execute({"status"}).output, HasSubstr("Connected client: none\nDesktop: X11\nUpdate: none\n"));
  EXPECT_EQ(onX11.execute({"stop-sharing"}).exitCode, 1);

  FakeDesktop wayland("Wayland (portal)", true);
  auto onWayland = commands();
  onWayland.attachDesktop(wayland);
  wayland.share.windows.set({{3, "Notes", "Text Editor", 800, 600}, {4, "Mail\x1b[2J", "", 0, 0}});
  wayland.share.status.set("Sharing 2 windows");
  EXPECT_THAT(onWayland.execute({"status"}).output,
              HasSubstr("Desktop: Wayland (portal)\nShared windows: Sharing 2 windows\n  3  Notes (800x600)\n"
                        "  4  Mail\\x1b[2J (0x0)\n"));
  h.activation.trusted = false;
  EXPECT_THAT(onWayland.execute({"status"}).output,
              HasSubstr("Remote control: off (the desktop has not allowed remote input)"));
  auto refused = onWayland.execute({"allow-control", "on"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_THAT(refused.output, HasSubstr("needs the desktop's permission for remote input"));
}

TEST_F(HostCommandsTest, ShareWindowsWaitsForThePickerAndStopSharingStopsOneOrAll) {
  FakeDesktop wayland("Wayland (portal)", true);
  auto ctl = commands();
  ctl.attachDesktop(wayland);
  std::vector<HostCommands::Result> answers;
  auto ask = [&] { ctl.executeAsync({"share-windows"}, [&](HostCommands::Result r) { answers.push_back(r); }); };

  ask();
  EXPECT_EQ(wayland.share.pickerOpened, 1);
  EXPECT_TRUE(answers.empty());  // the person has not answered yet
  wayland.share.answer({}, "No windows were chosen");
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0], (HostCommands::Result{1, "No windows were chosen\n"}));

  ask();
  wayland.share.answer({{3, "Notes", "", 800, 600}, {4, "Mail", "", 300, 200}}, "Sharing 2 windows");
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[1], (HostCommands::Result{0, "Sharing 2 windows\n  3  Notes\n  4  Mail\n"}));

  EXPECT_EQ(ctl.execute({"stop-sharing", "9"}).exitCode, 1);
  EXPECT_EQ(ctl.execute({"stop-sharing", "4"}), (HostCommands::Result{0, "Stopped sharing Mail\n"}));
  EXPECT_EQ(wayland.share.stopped, std::vector<std::uint32_t>{4});
  EXPECT_EQ(ctl.execute({"stop-sharing"}).exitCode, 0);
  EXPECT_EQ(wayland.share.stoppedAll, 1);
  EXPECT_EQ(ctl.execute({"stop-sharing", "1", "2"}).exitCode, 2);

  FakeDesktop x11("X11");
  auto onX11 = commands();
  onX11.attachDesktop(x11);
  onX11.executeAsync({"share-windows"}, [&](HostCommands::Result r) { answers.push_back(r); });
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[2].exitCode, 1);
}

TEST(ControlProtocol, RequestsAndResponsesRoundTrip) {
  const std::vector<std::string> args = {"unpair", "Ada's \"iPad\"\n"};
  EXPECT_EQ(decodeControlRequest(encodeControlRequest(args)), args);
  EXPECT_EQ(decodeControlRequest("{\"args\":[1]}"), std::nullopt);
  EXPECT_EQ(decodeControlRequest("nonsense"), std::nullopt);
  const auto response = decodeControlResponse(encodeControlResponse({1, "out\n"}));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->exitCode, 1);
  EXPECT_EQ(response->output, "out\n");
}

}  // namespace
}  // namespace orvo::testing
