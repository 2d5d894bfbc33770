#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orvo {

class Clock;
class LaunchAtLoginManager;
class OrvoHost;
class OrvoUpdaterController;
namespace platform {
class DesktopBackend;
class WindowActivation;
}

// The commands of `orvo-host ctl`, each mapped onto the host operation the control panel
// would call. Runs on the main queue.
class HostCommands {
 public:
  struct Result {
    int exitCode = 0;  // 0 success, 1 failure, 2 usage error
    std::string output;
    bool operator==(const Result&) const = default;
  };

  HostCommands(OrvoHost& host, platform::WindowActivation& activation, const Clock& clock);
  // The launch-at-login setting that `launch-at-login` and `status` show; without one they
  // say it is not available. Must outlive this object.
  void attachLaunchAtLogin(LaunchAtLoginManager* manager) { launchAtLogin_ = manager; }
  // The commands that answer at once (all but the update commands).
  Result execute(const std::vector<std::string>& args);
  // Every command, including those that finish later (the update commands wait for the
  // network); `done` runs on the main queue, at once for the others.
  void executeAsync(const std::vector<std::string>& args, std::function<void(Result)> done);
  // The update controller behind "check-for-updates", "update-now" and the status line.
  void attachUpdater(OrvoUpdaterController& updater) { updater_ = &updater; }
  // The desktop served: named by `status`; where the person shares windows (Wayland),
  // "share-windows" and "stop-sharing" reach it. Must outlive this object.
  void attachDesktop(platform::DesktopBackend& desktop) { desktop_ = &desktop; }

  static std::string usage();

 private:
  Result status();
  Result pin();
  Result devices();
  Result unpair(const std::string& id);
  Result discoverable(bool on);
  Result allowControl(bool on);
  // `status` with the lines of the host's environment (screen lock, launch at login).
  Result withEnvironment(Result status);
  Result launchAtLogin(const std::vector<std::string>& args);
  std::string updateStatusLine() const;
  void checkForUpdates(std::function<void(Result)> done);
  void updateNow(std::function<void(Result)> done);
  Result cancelUpdate();
  void shareWindows(std::function<void(Result)> done);
  Result stopSharing(const std::vector<std::string>& args);

  OrvoHost& host_;
  platform::WindowActivation& activation_;
  const Clock& clock_;
  LaunchAtLoginManager* launchAtLogin_ = nullptr;
  OrvoUpdaterController* updater_ = nullptr;
  platform::DesktopBackend* desktop_ = nullptr;
};

// "Expires in 42s" while at least one whole second is left, else "Expired (regenerating…)".
std::string pinExpiryText(double expiresAt, double now);

// A timestamp (seconds since 2001) as "2026-12-10 09:30:00 UTC".
std::string formatTimestamp(double secondsSince2001);

}  // namespace orvo
