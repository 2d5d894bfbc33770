#pragma once

#include <xkbcommon/xkbcommon.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/Log.h"

struct wl_display;
struct wl_registry;
struct wl_seat;
struct wl_keyboard;

namespace orvo::platform::wayland {

// The keymap a Wayland compositor gives its clients, so the host knows which characters
// the desktop's layout can type. A compositor asked to type a keysym through a remote
// desktop (GNOME's RemoteDesktop portal) looks for it in its keymap's current layout and
// drops it silently when it is not there; knowing the keymap lets the host choose another
// way for those characters and say what it could not type.
//
// A client of $WAYLAND_DISPLAY (with a seat's keyboard and nothing else: no surface, so it
// never takes focus), driven by the main queue's io_context. The compositor sends the
// keymap when the keyboard is made and again when the layout changes; the current layout
// group comes with modifier events, which only the focused client receives, so it is the
// first group until told otherwise.
//
// Main queue only. A compositor that cannot be reached or goes away leaves no keymap:
// hasKeysym() then answers nothing.
class WaylandKeymap {
 public:
  WaylandKeymap(asio::io_context& context, Logger& logger);
  ~WaylandKeymap();
  WaylandKeymap(const WaylandKeymap&) = delete;
  WaylandKeymap& operator=(const WaylandKeymap&) = delete;

  // Whether a key of the current layout group (at any shift level) types `keysym`;
  // nothing while no keymap is known.
  std::optional<bool> hasKeysym(xkb_keysym_t keysym) const;

  // For the compositor's callbacks.
  void setKeymap(int fd, std::uint32_t size);
  void setGroup(std::uint32_t group) { group_ = group; }
  void setKeyboard(bool present);
  wl_registry* registry() const { return registry_; }
  void setSeat(wl_seat* seat);

 private:
  void watch();
  void lose(const char* why);

  Logger& logger_;
  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  wl_seat* seat_ = nullptr;
  wl_keyboard* keyboard_ = nullptr;
  std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> xkb_;
  std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap_;
  std::uint32_t group_ = 0;
  std::optional<asio::posix::stream_descriptor> descriptor_;
};

}  // namespace orvo::platform::wayland
