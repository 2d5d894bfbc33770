#pragma once

// The input handlers wired as the host wires them, on the virtual loop with a fake
// desktop: window 8 (pid 200) lies in front of window 7 (pid 100) and covers its
// lower-right part.

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "core/testing/VirtualLoop.h"
#include "fakes/FakeInputInjector.h"
#include "fakes/FakePlatform.h"
#include "fakes/FakeSession.h"
#include "fakes/FakeWindowServer.h"
#include "input/RemoteInput.h"
#include "input/WindowFocus.h"
#include "streaming/WindowCatalogue.h"
#include "support/RecordingLogger.h"

namespace orvo::testing {

// Remembers which window each input named.
class RecordingTimeRecorder final : public InputTimeRecorder {
 public:
  void noteInput(std::optional<std::uint32_t> windowId) override { notes.push_back(windowId); }
  std::vector<std::optional<std::uint32_t>> notes;
};

class InputHarness : public ::testing::Test {
 protected:
  InputHarness() {
    windows.add(8, {600, 300, 400, 400}, "Other", "", 200);
    windows.add(7, {100, 50, 800, 600}, "App", "", 100);
    activation.applications = {{100, "App"}, {200, "Other"}};
    activation.windowsByPid[100] = {7};
    activation.windowsByPid[200] = {8};
  }

  // Applications activated so far, by pid.
  std::vector<std::int64_t> activatedPids() const {
    std::vector<std::int64_t> pids;
    for (const auto& call : activation.calls) {
      if (call.what == "activate") pids.push_back(call.a);
    }
    return pids;
  }

  static OrvoRequest request(std::string type, std::optional<std::uint32_t> windowId, std::optional<double> normX,
                             std::optional<double> normY, std::optional<std::string> button = std::nullopt) {
    return OrvoRequest{std::move(type), windowId, normX, normY, std::move(button)};
  }

  VirtualLoop loop{1000.0};
  RecordingLogger logger;
  FakeWindowServer windows;
  FakeSession session;
  FakeWindowActivation activation;
  FakeInputInjector injector;
  RecordingTimeRecorder recorder;
  std::unique_ptr<SerialQueue> focusQueue = loop.makeSerialQueue("orvo.host.focusState", QueuePriority::unspecified);
  std::unique_ptr<SerialQueue> clickQueue =
      loop.makeSerialQueue("orvo.host.clickTracking", QueuePriority::unspecified);
  WindowCatalogue catalogue{windows, session, loop.main(), loop.clock(), logger};
  WindowFocus focus{session, catalogue, windows, activation, *focusQueue, loop.main(), loop.clock(), logger};
  RemoteInput input{session, focus, catalogue, recorder, injector, *clickQueue, loop.main(), loop.clock(), logger};
};

}  // namespace orvo::testing
