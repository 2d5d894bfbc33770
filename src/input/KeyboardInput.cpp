#include "input/KeyboardInput.h"

#include <algorithm>

#include "core/Clock.h"
#include "core/Log.h"
#include "core/Queues.h"
#include "core/Utf8.h"
#include "host/SessionHandlers.h"
#include "input/WindowFocus.h"
#include "platform/InputInjector.h"

namespace orvo {
namespace {

// Commands waiting behind text: code points of plane 16's private use area, which
// unicodeScalars never yields from a message here (they are taken out first).
constexpr char32_t kCommandMark = 0x10FF00;

bool isCommand(char32_t scalar) { return scalar >= kCommandMark && scalar < kCommandMark + 0x10; }
bool isBackspace(char32_t scalar) { return scalar == 0x08 || scalar == 0x7F; }
bool isReturn(char32_t scalar) { return scalar == 0x0A || scalar == 0x0D; }

}  // namespace

KeyboardInput::KeyboardInput(SessionContext& session, WindowFocus& focus, InputTimeRecorder& recorder,
                             platform::InputInjector& injector, MainQueue& main, const Clock& clock, Logger& logger)
    : session_(session),
      focus_(focus),
      recorder_(recorder),
      injector_(injector),
      main_(main),
      clock_(clock),
      logger_(logger),
      allowanceAt_(clock.now()) {}

void KeyboardInput::refillAllowance() {
  const double now = clock_.now();
  allowance_ = std::min<double>(textAllowance, allowance_ + std::max(now - allowanceAt_, 0.0) * scalarsPerSecond);
  allowanceAt_ = now;
}

void KeyboardInput::handleKeyboardText(const std::string& text) {
  if (!session_.isRemoteControlPermitted()) return;
  if (text.empty()) return;
  recorder_.noteInput(std::nullopt);
  // The focusing runs later on the main queue; the first slice goes first.
  if (const auto active = focus_.clientActiveWindow()) focus_.focusWindow(*active, false);

  const auto scalars = unicodeScalars(text);
  refillAllowance();
  std::size_t accepted = std::min(scalars.size(), maxScalarsPerMessage);
  accepted = std::min(accepted, static_cast<std::size_t>(allowance_));
  accepted = std::min(accepted, maxPendingScalars - std::min(maxPendingScalars, pendingScalars()));
  allowance_ -= static_cast<double>(accepted);
  // What was typed is let go once it is most of the buffer.
  if (pendingStart_ > 0 && pendingStart_ >= pending_.size() / 2) {
    pending_.erase(0, pendingStart_);
    pendingStart_ = 0;
  }
  for (std::size_t i = 0; i < accepted; ++i) {
    // A scalar that looks like a queued command is typed as U+FFFD instead.
    pending_.push_back(isCommand(scalars[i]) ? char32_t{0xFFFD} : scalars[i]);
  }

  // One line per message, however long.
  if (accepted == scalars.size()) {
    logLine(logger_, "OrvoHost: keyboardText of", scalars.size(), "characters");
  } else {
    const char* why = accepted == maxScalarsPerMessage ? "longer than one message may be" : "typing rate or backlog";
    logLine(logger_, "OrvoHost: keyboardText of", scalars.size(), "characters;", scalars.size() - accepted,
            std::string("dropped (") + why + ")");
  }
  if (accepted == 0) return;
  // Nothing was waiting: the first slice now, as the keys of a short text always were.
  if (!sliceScheduled_ && pendingScalars() == accepted) {
    typeSlice();
  }
}

void KeyboardInput::handleKeyboardCommand(KeyboardCommand command) {
  if (!session_.isRemoteControlPermitted()) return;
  recorder_.noteInput(std::nullopt);
  const auto index = static_cast<std::size_t>(command);
  if (pendingScalars() == 0) {
    injector_.postKey(keyboardCommandKeyCodes[index]);
    return;
  }
  if (pendingScalars() >= maxPendingScalars) return;
  pending_.push_back(kCommandMark + static_cast<char32_t>(index));
}

void KeyboardInput::reset() {
  pending_.clear();
  pendingStart_ = 0;
}

void KeyboardInput::scheduleSlice(double delay) {
  if (sliceScheduled_) return;
  sliceScheduled_ = true;
  auto task = [weak = std::weak_ptr(self_)] {
    const auto self = weak.lock();
    if (!self) return;
    (*self)->sliceScheduled_ = false;
    (*self)->typeSlice();
  };
  if (delay > 0) {
    main_.asyncAfter(delay, std::move(task));
  } else {
    main_.async(std::move(task));
  }
}

void KeyboardInput::typeSlice() {
  if (pendingScalars() == 0) return;
  // Permission withdrawn while text waited: the rest is not typed.
  if (!session_.isRemoteControlPermitted()) {
    reset();
    return;
  }
  std::size_t done = 0;
  while (done < sliceScalars && pendingScalars() > 0) {
    const char32_t first = pending_[pendingStart_];
    if (isCommand(first)) {
      injector_.postKey(keyboardCommandKeyCodes[first - kCommandMark]);
    } else if (isBackspace(first)) {
      injector_.postKey(backspaceKeyCode);
    } else if (isReturn(first)) {
      injector_.postKey(returnKeyCode);
    } else {
      // A run of characters up to the next key or the slice's end, given in one call.
      std::size_t end = pendingStart_;
      const std::size_t limit = std::min(pending_.size(), pendingStart_ + (sliceScalars - done));
      while (end < limit && !isCommand(pending_[end]) && !isBackspace(pending_[end]) && !isReturn(pending_[end])) {
        ++end;
      }
      const std::u32string_view run(pending_.data() + pendingStart_, end - pendingStart_);
      // Scalars beyond U+FFFF (emoji and the like) are typed like any other character;
      // one that cannot be typed is skipped silently.
      const std::size_t taken = std::min(injector_.postCharacters(run), run.size());
      pendingStart_ += taken;
      done += taken;
      if (taken < run.size()) {
        scheduleSlice(retryDelay);
        return;
      }
      continue;
    }
    ++pendingStart_;
    ++done;
  }
  if (pendingScalars() == 0) {
    reset();
  } else {
    scheduleSlice(0);
  }
}

}  // namespace orvo
