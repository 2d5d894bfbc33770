#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_set>
#include <memory>
#include <vector>

#include "core/Log.h"
#include "platform/InputInjector.h"
#include "platform/linux/input/Keysyms.h"
#include "platform/linux/input/WheelAccumulator.h"
#include "platform/linux/wayland/portal/PortalInputSink.h"

namespace orvo::platform::portal {

class PortalWindowList;


// Synthetic input on a Wayland desktop through its RemoteDesktop portal. A point of the
// host's display space (PortalWindowList) becomes absolute pointer motion on the stream of
// the window there, in the stream's own coordinates; buttons are Linux button codes; pixel
// scrolling becomes wheel steps of WheelAccumulator::pixelsPerClick pixels; keys and
// characters are keysyms, which the compositor types with its own keymap. The compositor
// itself raises and focuses a window that is clicked, and counts multiple clicks.
//
// GNOME drops the first key of a new remote keyboard, so a lone Shift press goes first
// on each new session.
//
// The compositor types a keysym only when its current layout has a key for it, and drops
// the others silently. A character is therefore sent as the keysym the layout uses for it
// (the legacy keysym where one exists: Cyrillic_zhe, not U+0436), and when the desktop's
// keymap (`keymapHas`) says the layout has none, it is typed through the Unicode entry of
// GTK and IBus instead: Ctrl+Shift+U, its hexadecimal code and a space, pressed as key
// codes so that any layout can give them. That entry works in GTK and IBus input only:
// the first time in a session each such character is logged. Without a keymap every
// character goes as its keysym.
//
// Main queue only. Without a sink (no session, or one without input devices) every post
// fails. The window list must outlive the injector.
class PortalInputInjector final : public InputInjector {
 public:
  // Whether the desktop's current layout has a key for a keysym; nothing when not known.
  using KeymapQuery = std::function<std::optional<bool>(Keysym)>;

  PortalInputInjector(const PortalWindowList& windows, Logger& logger, KeymapQuery keymapHas = {})
      : windows_(windows), logger_(logger), keymapHas_(std::move(keymapHas)) {}
  PortalInputInjector(const PortalInputInjector&) = delete;
  PortalInputInjector& operator=(const PortalInputInjector&) = delete;

  // A new session's sink (or none). What the old one held is let go first; the sink must
  // stay alive until it is replaced.
  void setSink(std::shared_ptr<PortalInputSink> sink);

  bool postMouse(MouseEventType type, MouseButton button, Point at, std::int64_t clickCount) override;
  bool postScroll(std::int32_t deltaY, std::int32_t deltaX) override;
  bool postKey(std::uint16_t virtualKeyCode) override;
  bool postCharacter(char32_t scalar) override;
  // Takes characters while the session's queue of calls to the desktop is short
  // (maxBacklog), so that a long paste waits here, in order, instead of overflowing it.
  std::size_t postCharacters(std::u32string_view scalars) override;
  // A character may take some twenty calls (the Unicode entry); this leaves the session's
  // queue (PortalSession::maxQueuedInput, 16384) room for pointer input besides.
  static constexpr std::size_t maxBacklog = 4096;
  void releaseAll() override;

 private:
  bool tap(Keysym keysym);
  void press(Keysym keysym);
  void release(Keysym keysym);
  // The first key of a session: a lone Shift wakes the compositor's new keyboard.
  void wakeKeyboard();
  // Ctrl+Shift+U, the code in hexadecimal, space; as key codes.
  void typeUnicodeEntry(char32_t scalar);
  void tapKeycode(std::int32_t keycode);

  const PortalWindowList& windows_;
  Logger& logger_;
  KeymapQuery keymapHas_;
  // Characters typed through the Unicode entry and logged in this session (bounded).
  std::unordered_set<char32_t> enteredLogged_;
  std::shared_ptr<PortalInputSink> sink_;
  bool keyboardAwake_ = false;
  std::vector<Keysym> heldKeys_;
  std::vector<std::int32_t> heldButtons_;
  WheelAccumulator vertical_;
  WheelAccumulator horizontal_;
};

}  // namespace orvo::platform::portal
