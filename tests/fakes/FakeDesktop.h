#pragma once

#include <functional>
#include <string>
#include <vector>

#include "fakes/FakeInputInjector.h"
#include "fakes/FakePlatform.h"
#include "fakes/FakeWindowCapturer.h"
#include "fakes/FakeWindowServer.h"
#include "platform/DesktopBackend.h"

namespace orvo::testing {

// A desktop where the person chooses the windows to share; the test plays the person:
// chooseWindows() waits until the test answers the picker.
class FakeWindowSharing final : public platform::WindowSharing {
 public:
  void chooseWindows(std::function<void(bool, const std::string&)> done) override {
    ++pickerOpened;
    pending = std::move(done);
  }
  void stopSharing(std::uint32_t windowId) override {
    stopped.push_back(windowId);
    windows.mutate([&](auto& list) { std::erase_if(list, [&](const auto& w) { return w.windowId == windowId; }); });
  }
  void stopSharingAll() override {
    ++stoppedAll;
    windows.set({});
  }
  const Published<std::vector<platform::SharedWindow>>& sharedWindows() const override { return windows; }
  const Published<std::string>& sharingStatus() const override { return status; }

  // The person's answer to the open picker.
  void answer(std::vector<platform::SharedWindow> chosen, const std::string& message) {
    const bool shared = !chosen.empty();
    if (shared) windows.set(std::move(chosen));
    status.set(message);
    if (auto done = std::exchange(pending, nullptr)) done(shared, message);
  }

  Published<std::vector<platform::SharedWindow>> windows;
  Published<std::string> status{"No windows shared"};
  std::function<void(bool, const std::string&)> pending;
  int pickerOpened = 0;
  std::vector<std::uint32_t> stopped;
  int stoppedAll = 0;
};

// A whole desktop of fakes; with `sharing`, the person chooses what is shared.
class FakeDesktop final : public platform::DesktopBackend {
 public:
  explicit FakeDesktop(std::string name, bool withSharing = false) : name_(std::move(name)), withSharing_(withSharing) {}
  std::string name() const override { return name_; }
  platform::WindowServer& windowServer() override { return windows; }
  platform::WindowServer& frameWindowServer() override { return windows; }
  platform::WindowServer& captureWindowServer() override { return windows; }
  platform::WindowCapturer& capturer() override { return capture; }
  platform::InputInjector& injector() override { return input; }
  platform::WindowActivation& activation() override { return activate; }
  platform::SleepInhibitor& displaySleepInhibitor() override { return sleep; }
  platform::WindowSharing* sharing() override { return withSharing_ ? &share : nullptr; }

  FakeWindowServer windows;
  FakeWindowCapturer capture;
  FakeInputInjector input;
  FakeWindowActivation activate;
  FakeSleepInhibitor sleep;
  FakeWindowSharing share;

 private:
  std::string name_;
  bool withSharing_;
};

}  // namespace orvo::testing
