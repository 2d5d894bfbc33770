#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <span>
#include <optional>
#include <string>
#include <vector>

#include "core/Coding.h"
#include "platform/HostInfo.h"
#include "platform/PowerEvents.h"
#include "platform/WindowActivation.h"

namespace orvo::testing {

class FakeHostInfo final : public platform::HostInfo {
 public:
  std::optional<std::string> localizedName() override { return name; }
  std::int64_t processId() override { return 4242; }
  std::optional<std::string> executablePath() override { return executable; }
  std::optional<std::string> bundlePath() override { return "/opt/orvo"; }

  std::optional<std::string> name = "Studio";
  std::optional<std::string> executable = "/opt/orvo/orvo-host";
};

class FakeSleepInhibitor final : public platform::SleepInhibitor {
 public:
  void begin(const std::string& why) override {
    held = true;
    reason = why;
    ++begins;
  }
  void end() override {
    held = false;
    ++ends;
  }
  bool held = false;
  std::string reason;
  int begins = 0;
  int ends = 0;
};

// Sleep and lock events that the test fires by hand (on the test's thread).
class FakePowerLockEvents final : public platform::PowerLockEvents {
 public:
  Subscription subscribe(Handler h) override {
    handler = std::move(h);
    return Subscription([this] { handler = nullptr; });
  }
  void fire(platform::PowerLockEvent event) {
    if (handler) handler(event);
  }
  Handler handler;
};

// Returns scripted bytes first, then bytes from a simple deterministic generator.
class ScriptedRandom final : public RandomSource {
 public:
  void fill(std::span<std::uint8_t> out) override {
    for (auto& byte : out) {
      if (!script.empty()) {
        byte = script.front();
        script.pop_front();
      } else {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        byte = static_cast<std::uint8_t>(state_ >> 56);
      }
    }
  }
  std::deque<std::uint8_t> script;

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};

// Windows and applications of a fake desktop, for activation and focus.
class FakeWindowActivation final : public platform::WindowActivation {
 public:
  struct Call {
    std::string what;
    std::int64_t a = 0;
    std::int64_t b = 0;
  };
  bool isTrusted() override { return trusted; }
  std::optional<platform::RunningApplication> runningApplication(std::int32_t pid) override {
    for (const auto& app : applications) {
      if (app.pid == pid) return app;
    }
    return std::nullopt;
  }
  bool activate(std::int32_t pid) override {
    calls.push_back({"activate", pid});
    return true;
  }
  int applicationWindows(std::int32_t pid, std::vector<std::uint32_t>& windows) override {
    calls.push_back({"windows", pid});
    windows = windowsByPid.count(pid) ? windowsByPid[pid] : std::vector<std::uint32_t>{};
    return windowsResult;
  }
  int setFocusedWindow(std::int32_t pid, std::uint32_t window) override {
    calls.push_back({"focus", pid, window});
    return 0;
  }
  int raise(std::uint32_t window) override {
    calls.push_back({"raise", window});
    return raiseResult;
  }

  bool trusted = true;
  std::vector<platform::RunningApplication> applications;
  std::map<std::int32_t, std::vector<std::uint32_t>> windowsByPid;
  int windowsResult = 0;
  int raiseResult = 0;
  std::vector<Call> calls;
};

}  // namespace orvo::testing
