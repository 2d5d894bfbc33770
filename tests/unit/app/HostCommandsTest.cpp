#include "app/HostCommands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/ControlSocket.h"
#include "environment/LaunchAtLoginManager.h"
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
                               std::to_string(*h.host->pairingListenerPort()) +
                               "\nRemote control: off\nConnected client: none\nUpdate: none\nScreen: unlocked\n");
  h.pair("A", "Ada's iPad");
  auto client = h.connectClient();
  EXPECT_THAT(run({"status"}).output, HasSubstr("Connected client: connected, not identified yet\n"));
  h.send(*client, "{\"type\":\"clientHello\",\"deviceName\":\"Ada's iPad\",\"platform\":\"iPadOS\",\"pairingID\":\"A\"}\n");
  EXPECT_THAT(run({"status"}).output, HasSubstr("Connected client: Ada's iPad (A)\n"));
  h.activation.trusted = false;
  EXPECT_THAT(run({"status"}).output, HasSubstr("Remote control: off (input injection is not available on this display)"));
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
