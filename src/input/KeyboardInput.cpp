#include "input/KeyboardInput.h"

#include "core/Log.h"
#include "core/Utf8.h"
#include "host/SessionHandlers.h"
#include "input/WindowFocus.h"
#include "platform/InputInjector.h"

namespace orvo {

KeyboardInput::KeyboardInput(SessionContext& session, WindowFocus& focus, InputTimeRecorder& recorder,
                             platform::InputInjector& injector, Logger& logger)
    : session_(session), focus_(focus), recorder_(recorder), injector_(injector), logger_(logger) {}

void KeyboardInput::handleKeyboardText(const std::string& text) {
  if (!session_.isRemoteControlPermitted()) return;
  if (text.empty()) return;
  recorder_.noteInput(std::nullopt);
  // The focusing runs later on the main queue; the keys of the whole text go first.
  if (const auto active = focus_.clientActiveWindow()) focus_.focusWindow(*active, false);

  for (const char32_t scalar : unicodeScalars(text)) {
    const auto value = static_cast<std::uint32_t>(scalar);
    logLine(logger_, "OrvoHost: scalar from client =", value);
    if (scalar == 0x08 || scalar == 0x7F) {
      logLine(logger_, "OrvoHost: interpreting scalar " + std::to_string(value) + " as BACKSPACE");
      injector_.postKey(backspaceKeyCode);
    } else if (scalar == 0x0A || scalar == 0x0D) {
      logLine(logger_, "OrvoHost: interpreting scalar " + std::to_string(value) + " as ENTER");
      injector_.postKey(returnKeyCode);
    } else {
      // Scalars beyond U+FFFF (emoji and the like) are typed like any other character.
      // A scalar that cannot be typed is skipped silently.
      injector_.postCharacter(scalar);
    }
  }
}

void KeyboardInput::handleKeyboardCommand(KeyboardCommand command) {
  if (!session_.isRemoteControlPermitted()) return;
  recorder_.noteInput(std::nullopt);
  injector_.postKey(keyboardCommandKeyCodes[static_cast<std::size_t>(command)]);
}

}  // namespace orvo
