#pragma once

#include <string>

#include "host/SessionHandlers.h"
#include "input/KeyboardInput.h"
#include "input/PointerInput.h"

namespace orvo {

// The host's input handler: pointer requests and typing, injected through one platform
// injector. At the end of a session it forgets click sequences and makes the injector let
// go of everything it holds (keys, buttons, remapped keys, scroll remainders).
//
// Main queue, like every InputHandler; see PointerInput for the click-tracking queue. All
// references must outlive the object.
class RemoteInput final : public InputHandler {
 public:
  RemoteInput(SessionContext& session, WindowFocus& focus, WindowCatalogue& catalogue, InputTimeRecorder& recorder,
              platform::InputInjector& injector, SerialQueue& clickTrackingQueue, MainQueue& main, const Clock& clock,
              Logger& logger);
  RemoteInput(const RemoteInput&) = delete;
  RemoteInput& operator=(const RemoteInput&) = delete;

  void handlePointerRequest(const OrvoRequest& request) override { pointer_.handlePointerRequest(request); }
  void handleKeyboardText(const std::string& text) override { keyboard_.handleKeyboardText(text); }
  void handleKeyboardCommand(KeyboardCommand command) override { keyboard_.handleKeyboardCommand(command); }
  void resetClickTracking() override;

  PointerInput& pointer() { return pointer_; }
  KeyboardInput& keyboard() { return keyboard_; }

 private:
  platform::InputInjector& injector_;
  PointerInput pointer_;
  KeyboardInput keyboard_;
};

}  // namespace orvo
