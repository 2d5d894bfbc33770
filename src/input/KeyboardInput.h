#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "host/ControlMessages.h"

namespace orvo {

class InputTimeRecorder;
class Logger;
class SessionContext;
class WindowFocus;
namespace platform {
class InputInjector;
}

// The virtual key code of each keyboard command, in the order of the enumeration.
inline constexpr std::array<std::uint16_t, 7> keyboardCommandKeyCodes = {51, 36, 53, 123, 124, 126, 125};
inline constexpr std::uint16_t backspaceKeyCode = 51;
inline constexpr std::uint16_t returnKeyCode = 36;

// The client's typing: free text ("keyboardText") typed scalar by scalar into whatever has
// keyboard focus, after focusing the client's active window, and the editing and
// navigation keys of "keyboardCommand".
//
// Main queue. All references must outlive the object.
class KeyboardInput {
 public:
  KeyboardInput(SessionContext& session, WindowFocus& focus, InputTimeRecorder& recorder,
                platform::InputInjector& injector, Logger& logger);
  KeyboardInput(const KeyboardInput&) = delete;
  KeyboardInput& operator=(const KeyboardInput&) = delete;

  // Every Unicode scalar is one key press: backspace and delete as the backspace key,
  // line feed and carriage return as the return key, any other scalar as that character.
  void handleKeyboardText(const std::string& text);
  void handleKeyboardCommand(KeyboardCommand command);

 private:
  SessionContext& session_;
  WindowFocus& focus_;
  InputTimeRecorder& recorder_;
  platform::InputInjector& injector_;
  Logger& logger_;
};

}  // namespace orvo
