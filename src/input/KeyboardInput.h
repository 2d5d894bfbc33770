#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "host/ControlMessages.h"

namespace orvo {

class Clock;
class InputTimeRecorder;
class Logger;
class MainQueue;
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
// Text is bounded, and typed in slices so that the main queue stays free for everything
// else (listeners, pairing, `ctl`): a message may carry at most maxScalarsPerMessage
// scalars; what all messages carry together draws on an allowance of textAllowance
// scalars that refills at scalarsPerSecond; at most maxPendingScalars wait to be typed.
// What goes past a bound is dropped, and the message's one log line says how much. The
// text waits here and is typed sliceScalars at a time, one slice per turn of the main
// queue; an injector that takes fewer than offered (its keys still in use, its queue to
// the desktop full) is offered the rest retryDelay later. The first slice of a message
// that finds nothing waiting is typed at once.
//
// Main queue. All references must outlive the object.
class KeyboardInput {
 public:
  static constexpr std::size_t maxScalarsPerMessage = 4096;
  static constexpr std::size_t textAllowance = 4096;
  static constexpr double scalarsPerSecond = 1024;
  static constexpr std::size_t maxPendingScalars = 8192;
  static constexpr std::size_t sliceScalars = 64;
  static constexpr double retryDelay = 0.02;

  KeyboardInput(SessionContext& session, WindowFocus& focus, InputTimeRecorder& recorder,
                platform::InputInjector& injector, MainQueue& main, const Clock& clock, Logger& logger);
  KeyboardInput(const KeyboardInput&) = delete;
  KeyboardInput& operator=(const KeyboardInput&) = delete;

  // Every Unicode scalar is one key press: backspace and delete as the backspace key,
  // line feed and carriage return as the return key, any other scalar as that character.
  void handleKeyboardText(const std::string& text);
  // A command's key goes after the text still waiting, so the order of messages holds.
  void handleKeyboardCommand(KeyboardCommand command);
  // End of a session: text still waiting is dropped.
  void reset();

  std::size_t pendingScalars() const { return pending_.size() - pendingStart_; }

 private:
  // Types one slice; schedules the next while text waits.
  void typeSlice();
  void scheduleSlice(double delay);
  void refillAllowance();

  SessionContext& session_;
  WindowFocus& focus_;
  InputTimeRecorder& recorder_;
  platform::InputInjector& injector_;
  MainQueue& main_;
  const Clock& clock_;
  Logger& logger_;
  // Scalars waiting to be typed, from pendingStart_ on; a command's key is kept as a
  // scalar of the private use plane (commandMark + its index).
  std::u32string pending_;
  std::size_t pendingStart_ = 0;
  bool sliceScheduled_ = false;
  double allowance_ = textAllowance;
  double allowanceAt_ = 0;
  // Scheduled slices hold this weakly and do nothing once the object is gone.
  std::shared_ptr<KeyboardInput*> self_ = std::make_shared<KeyboardInput*>(this);
};

}  // namespace orvo
