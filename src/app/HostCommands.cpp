#include "app/HostCommands.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "core/Clock.h"
#include "core/Log.h"
#include "environment/HostPowerLockObserver.h"
#include "environment/LaunchAtLoginManager.h"
#include "host/OrvoHost.h"
#include "pairing/OrvoPairingStore.h"
#include "platform/DesktopBackend.h"
#include "platform/WindowActivation.h"
#include "updates/OrvoUpdaterController.h"

namespace orvo {
namespace {

constexpr const char* kPendingTokenName = "Orvo Client (pending)";

HostCommands::Result usageError(const std::string& message) {
  return {2, "orvo-host ctl: " + message + "\n" + HostCommands::usage()};
}

std::optional<bool> parseSwitch(const std::vector<std::string>& args) {
  if (args.size() != 2) return std::nullopt;
  if (args[1] == "on") return true;
  if (args[1] == "off") return false;
  return std::nullopt;
}

}  // namespace

std::string pinExpiryText(double expiresAt, double now) {
  const double remaining = std::floor(expiresAt - now);
  if (remaining >= 1) return "Expires in " + std::to_string(static_cast<long long>(remaining)) + "s";
  return "Expired (regenerating…)";
}

std::string formatTimestamp(double secondsSince2001) {
  const auto unixSeconds = static_cast<std::time_t>(std::floor(secondsSince2001 + kSecondsFrom1970To2001));
  std::tm parts{};
  gmtime_r(&unixSeconds, &parts);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

HostCommands::HostCommands(OrvoHost& host, platform::WindowActivation& activation, const Clock& clock)
    : host_(host), activation_(activation), clock_(clock) {}

std::string HostCommands::usage() {
  return "usage: orvo-host ctl COMMAND\n"
         "commands:\n"
         "  status                   status text, discoverability, remote control, connected client\n"
         "  pin                      the current pairing code and the seconds it has left\n"
         "  regenerate-pin           make a new pairing code now (and resume pairing if it was suspended)\n"
         "  token                    generate an advanced pairing token\n"
         "  devices                  list the paired devices\n"
         "  unpair ID                revoke a paired device (id, device id or name)\n"
         "  discoverable on|off      listen and advertise on the network, or stop\n"
         "  allow-control on|off     allow remote pointer and keyboard input, or forbid it\n"
         "  launch-at-login [on|off] start the host when you log in, or not; without on|off, show it\n"
         "  check-for-updates        check the update feed now and say what it offers\n"
         "  update-now               download, verify and install the update found\n"
         "  update-cancel            stop the update download under way\n"
         "  share-windows            choose the windows to share (Wayland: the desktop's picker opens)\n"
         "  stop-sharing [ID]        stop sharing one window (by id), or every window\n";
}

HostCommands::Result HostCommands::execute(const std::vector<std::string>& args) {
  if (args.empty()) return usageError("missing command");
  const std::string& command = args[0];
  auto expectArgs = [&](std::size_t count) { return args.size() == count; };
  if (command == "status" && expectArgs(1)) return withEnvironment(status());
  if (command == "pin" && expectArgs(1)) return pin();
  if (command == "regenerate-pin" && expectArgs(1)) {
    host_.requestNewPairingCode();
    return pin();
  }
  if (command == "token" && expectArgs(1)) return {0, host_.generatePairingToken(kPendingTokenName) + "\n"};
  if (command == "devices" && expectArgs(1)) return devices();
  if (command == "unpair" && expectArgs(2)) return unpair(args[1]);
  if (command == "launch-at-login" && args.size() <= 2) return launchAtLogin(args);
  if (command == "stop-sharing" && args.size() <= 2) return stopSharing(args);
  if (command == "update-cancel" && expectArgs(1)) return cancelUpdate();
  if (command == "discoverable" || command == "allow-control") {
    const auto on = parseSwitch(args);
    if (!on) return usageError(command + " takes one argument: on or off");
    return command == "discoverable" ? discoverable(*on) : allowControl(*on);
  }
  const bool known = command == "status" || command == "pin" || command == "regenerate-pin" || command == "token" ||
                     command == "devices" || command == "unpair" || command == "launch-at-login" ||
                     command == "check-for-updates" || command == "update-now" || command == "update-cancel" ||
                     command == "share-windows" ||
                     command == "stop-sharing";
  return usageError(known ? "wrong number of arguments for " + command : "unknown command “" + command + "”");
}

HostCommands::Result HostCommands::status() {
  std::string client = "none";
  if (host_.hasConnection()) {
    const auto& id = *host_.connectedClientPairingID();
    if (!id) {
      client = "connected, not identified yet";
    } else {
      client = *id;
      for (const auto& peer : host_.pairingStore().paired().get()) {
        if (peer.id == *id) client = peer.displayName + " (" + *id + ")";
      }
    }
  }
  std::string remote = host_.allowControlThisMac() ? "on" : "off";
  if (!activation_.isTrusted()) {
    remote += desktop_ && desktop_->sharing() ? " (the desktop has not allowed remote input)"
                                              : " (input injection is not available on this display)";
  }
  std::string desktop;
  if (desktop_) {
    desktop = "Desktop: " + desktop_->name() + "\n";
    if (const auto* sharing = desktop_->sharing()) {
      desktop += "Shared windows: " + escapeForLog(*sharing->sharingStatus()) + "\n";
      for (const auto& window : *sharing->sharedWindows()) {
        desktop += "  " + std::to_string(window.windowId) + "  " + escapeForLog(window.title) + " (" +
                   std::to_string(window.width) + "x" + std::to_string(window.height) + ")\n";
      }
    }
  }
  // The ports, for clients that cannot discover the host (no Avahi on the network).
  std::string ports = "not listening";
  if (const auto session = host_.listenerPort()) {
    ports = "session port " + std::to_string(*session);
    if (const auto pairing = host_.pairingListenerPort()) ports += ", pairing port " + std::to_string(*pairing);
  }
  // The names as published: after a name conflict on the network, the alternative taken.
  std::string advertised = "none";
  if (const auto session = host_.publishedName("_orvo._tcp.")) advertised = "“" + escapeForLog(*session) + "”";
  if (const auto pairing = host_.publishedName("_orvopair._tcp.")) {
    advertised += ", pairing “" + escapeForLog(*pairing) + "”";
  }
  return {0, "Status: " + *host_.statusText() + "\n" + "Discoverable: " + (*host_.isDiscoverable() ? "on" : "off") +
                 "\n" + "Listening: " + ports + "\n" + "Advertised as: " + advertised + "\n" +
                 "Pairing: " + host_.pairingStateText() + "\n" + "Remote control: " + remote + "\n" +
                 "Connected client: " + escapeForLog(client) + "\n" + desktop + updateStatusLine()};
}

std::string HostCommands::updateStatusLine() const {
  if (!updater_) return "Update: none\n";
  // An install under way, or its result until the next check, before any new offer.
  if (const auto& activity = *updater_->installActivity()) {
    std::string line = "Update: " + escapeForLog(activity->update.version) + " ";
    switch (activity->stage) {
      case UpdateActivity::Stage::downloading:
        line += "downloading";
        if (activity->expected && *activity->expected > 0) {
          line += " " + std::to_string(std::min<std::uint64_t>(activity->received * 100 / *activity->expected, 100)) + "%";
        }
        break;
      case UpdateActivity::Stage::verifying: line += "verifying"; break;
      case UpdateActivity::Stage::finished: line += "ready: " + escapeForLog(activity->message); break;
      case UpdateActivity::Stage::failed: line += "failed: " + escapeForLog(activity->message); break;
    }
    return line + "\n";
  }
  if (!updater_->pendingUpdate()->has_value()) return "Update: none\n";
  return "Update: " + escapeForLog(updater_->pendingUpdate()->value().version) + " pending\n";
}

void HostCommands::executeAsync(const std::vector<std::string>& args, std::function<void(Result)> done) {
  if (args.size() == 1 && args[0] == "check-for-updates") return checkForUpdates(std::move(done));
  if (args.size() == 1 && args[0] == "update-now") return updateNow(std::move(done));
  if (args.size() == 1 && args[0] == "share-windows") return shareWindows(std::move(done));
  done(execute(args));
}

HostCommands::Result HostCommands::cancelUpdate() {
  if (!updater_) return {1, "orvo-host ctl: this host has no updater\n"};
  if (!updater_->updater().isConfigured()) return {1, std::string(kUpdatesNotConfigured) + "\n"};
  const auto cancelled = updater_->cancelDownload();
  if (!cancelled) return {1, "No update download is running.\n"};
  return {0, "Cancelled the download of " + escapeForLog(*cancelled) + "\n"};
}

void HostCommands::checkForUpdates(std::function<void(Result)> done) {
  if (!updater_) return done({1, "orvo-host ctl: this host has no updater\n"});
  if (!updater_->updater().isConfigured()) return done({1, std::string(kUpdatesNotConfigured) + "\n"});
  updater_->checkForUpdates([done](const UpdateCheckResult& result) {
    if (result.error) return done({1, "Update check failed: " + escapeForLog(*result.error) + "\n"});
    if (!result.update) return done({0, "Up to date: " + escapeForLog(result.currentVersion) + "\n"});
    const auto update = PendingUpdate::fromItem(*result.update);
    done({0, "Update available: " + escapeForLog(update.version) + " (" + escapeForLog(update.id) + ") — " +
                 escapeForLog(update.title) + "\n"});
  });
}

void HostCommands::updateNow(std::function<void(Result)> done) {
  if (!updater_) return done({1, "orvo-host ctl: this host has no updater\n"});
  if (!updater_->updater().isConfigured()) return done({1, std::string(kUpdatesNotConfigured) + "\n"});
  updater_->updateNow({}, [done](const UpdateInstallResult& result) {
    if (result.error) return done({1, escapeForLog(*result.error) + "\n"});
    done({0, result.message + "\n"});
  });
}

void HostCommands::shareWindows(std::function<void(Result)> done) {
  auto* sharing = desktop_ ? desktop_->sharing() : nullptr;
  if (!sharing) return done({1, "orvo-host ctl: every window of this desktop is listed; there is nothing to choose\n"});
  // The picker waits for the person at the desktop, for as long as they take.
  sharing->chooseWindows([sharing, done](bool shared, const std::string& message) {
    if (!shared) return done({1, escapeForLog(message) + "\n"});
    std::string out = escapeForLog(message) + "\n";
    for (const auto& window : *sharing->sharedWindows()) {
      out += "  " + std::to_string(window.windowId) + "  " + escapeForLog(window.title) + "\n";
    }
    done({0, out});
  });
}

HostCommands::Result HostCommands::stopSharing(const std::vector<std::string>& args) {
  auto* sharing = desktop_ ? desktop_->sharing() : nullptr;
  if (!sharing) return {1, "orvo-host ctl: this desktop shares every window; there is nothing to stop\n"};
  if (args.size() == 1) {
    sharing->stopSharingAll();
    return {0, "Stopped sharing every window\n"};
  }
  for (const auto& window : *sharing->sharedWindows()) {
    if (std::to_string(window.windowId) == args[1]) {
      sharing->stopSharing(window.windowId);
      return {0, "Stopped sharing " + escapeForLog(window.title) + "\n"};
    }
  }
  return {1, "orvo-host ctl: no shared window has the id “" + escapeForLog(args[1]) + "”\n"};
}

HostCommands::Result HostCommands::withEnvironment(Result status) {
  status.output += std::string("Screen: ") + (*host_.powerLockObserver().isScreenLocked() ? "locked" : "unlocked") + "\n";
  if (launchAtLogin_) {
    launchAtLogin_->refresh();
    status.output += std::string("Launch at login: ") + (*launchAtLogin_->isEnabled() ? "on" : "off") + "\n";
  }
  return status;
}

HostCommands::Result HostCommands::launchAtLogin(const std::vector<std::string>& args) {
  if (!launchAtLogin_) return {1, "orvo-host ctl: launch at login is not available\n"};
  auto state = [&] { return std::string("Launch at login: ") + (*launchAtLogin_->isEnabled() ? "on" : "off") + "\n"; };
  if (args.size() == 1) {
    launchAtLogin_->refresh();
    return {0, state()};
  }
  const auto on = parseSwitch(args);
  if (!on) return usageError("launch-at-login takes on, off or nothing");
  launchAtLogin_->setEnabled(*on);
  if (const auto& error = *launchAtLogin_->errorMessage()) return {1, "orvo-host ctl: " + *error + "\n" + state()};
  // The system may keep it off although the change went through (it waits for approval).
  return {*launchAtLogin_->isEnabled() == *on ? 0 : 1, state()};
}

HostCommands::Result HostCommands::pin() {
  // A code that cannot pair is not shown: whoever reads it would type it in vain.
  if (*host_.pairingSuspended()) return {0, "Pairing " + host_.pairingStateText() + "\n"};
  return {0, "Pairing code: " + *host_.pairingPIN() + "\n" + pinExpiryText(*host_.pairingPinExpiresAt(), clock_.now()) +
                 "\n"};
}

HostCommands::Result HostCommands::devices() {
  const auto& peers = host_.pairingStore().paired().get();
  if (peers.empty()) return {0, "No paired devices yet.\n"};
  std::string out = "Paired devices (" + std::to_string(peers.size()) + ")\n";
  const auto& connected = *host_.connectedClientPairingID();
  for (const auto& peer : peers) {
    out += peer.id + "  " + escapeForLog(peer.displayName) + "\n";
    out += "    paired: " + formatTimestamp(peer.createdAt) + "\n";
    if (peer.lastSeenAt) out += "    last seen: " + formatTimestamp(*peer.lastSeenAt) + "\n";
    out += std::string("    connected: ") + (host_.hasConnection() && connected && *connected == peer.id ? "yes" : "no") +
           "\n";
  }
  return {0, out};
}

HostCommands::Result HostCommands::unpair(const std::string& id) {
  if (!host_.revokePairing(id)) return {1, "orvo-host ctl: no paired device matches “" + id + "”\n"};
  return {0, "Unpaired " + id + "\n"};
}

HostCommands::Result HostCommands::discoverable(bool on) {
  host_.setDiscoverable(on);
  return {0, std::string("Discoverable: ") + (on ? "on" : "off") + "\n"};
}

HostCommands::Result HostCommands::allowControl(bool on) {
  if (on && !activation_.isTrusted()) {
    // As in the panel: without the grant the setting springs back to off.
    host_.setAllowControlThisMac(false);
    return {1, desktop_ && desktop_->sharing()
                   ? "orvo-host ctl: remote control needs the desktop's permission for remote input; it stays off\n"
                   : "orvo-host ctl: remote control needs the XTEST extension on the display; it stays off\n"};
  }
  host_.setAllowControlThisMac(on);
  return {0, std::string("Remote control: ") + (on ? "on" : "off") + "\n"};
}

}  // namespace orvo
