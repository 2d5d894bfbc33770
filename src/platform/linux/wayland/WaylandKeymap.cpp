#include "platform/linux/wayland/WaylandKeymap.h"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstring>
#include <string>

namespace orvo::platform::wayland {
namespace {

void onKeymap(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd, std::uint32_t size) {
  if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) {
    static_cast<WaylandKeymap*>(data)->setKeymap(fd, size);
  }
  ::close(fd);
}
void onEnter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
void onLeave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
void onKey(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
void onModifiers(void* data, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                 std::uint32_t group) {
  static_cast<WaylandKeymap*>(data)->setGroup(group);
}
void onRepeatInfo(void*, wl_keyboard*, std::int32_t, std::int32_t) {}
const wl_keyboard_listener kKeyboardListener = {onKeymap, onEnter, onLeave, onKey, onModifiers, onRepeatInfo};

void onCapabilities(void* data, wl_seat*, std::uint32_t capabilities) {
  static_cast<WaylandKeymap*>(data)->setKeyboard((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0);
}
void onSeatName(void*, wl_seat*, const char*) {}
const wl_seat_listener kSeatListener = {onCapabilities, onSeatName};

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
  auto* keymap = static_cast<WaylandKeymap*>(data);
  if (std::strcmp(interface, wl_seat_interface.name) != 0) return;
  // The first seat is the desktop's.
  const std::uint32_t wanted = version < 5 ? version : 5;
  keymap->setSeat(static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, wanted)));
}
void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

}  // namespace

WaylandKeymap::WaylandKeymap(asio::io_context& context, Logger& logger)
    : logger_(logger),
      xkb_(xkb_context_new(XKB_CONTEXT_NO_FLAGS), &xkb_context_unref),
      keymap_(nullptr, &xkb_keymap_unref) {
  display_ = wl_display_connect(nullptr);
  if (!display_) {
    logLine(logger_, "OrvoHost: cannot reach the Wayland compositor for its keymap: characters are sent as they are");
    return;
  }
  registry_ = wl_display_get_registry(display_);
  wl_registry_add_listener(registry_, &kRegistryListener, this);
  // The seat, its keyboard, then its keymap: each answer of the compositor asks for the next.
  for (int i = 0; i < 3; ++i) wl_display_roundtrip(display_);
  descriptor_.emplace(context, wl_display_get_fd(display_));
  watch();
}

WaylandKeymap::~WaylandKeymap() {
  if (descriptor_) {
    descriptor_->cancel();
    descriptor_->release();  // the display's socket closes with the display
  }
  if (keyboard_) wl_keyboard_destroy(keyboard_);
  if (seat_) wl_seat_destroy(seat_);
  if (registry_) wl_registry_destroy(registry_);
  if (display_) wl_display_disconnect(display_);
}

void WaylandKeymap::setSeat(wl_seat* seat) {
  if (seat_) {
    wl_seat_destroy(seat);
    return;
  }
  seat_ = seat;
  wl_seat_add_listener(seat_, &kSeatListener, this);
}

void WaylandKeymap::setKeyboard(bool present) {
  if (present && !keyboard_) {
    keyboard_ = wl_seat_get_keyboard(seat_);
    wl_keyboard_add_listener(keyboard_, &kKeyboardListener, this);
  } else if (!present && keyboard_) {
    wl_keyboard_destroy(keyboard_);
    keyboard_ = nullptr;
    keymap_.reset();
  }
}

void WaylandKeymap::setKeymap(int fd, std::uint32_t size) {
  void* text = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (text == MAP_FAILED) return;
  // The text ends with its NUL within `size`.
  xkb_keymap* keymap = xkb_keymap_new_from_buffer(xkb_.get(), static_cast<const char*>(text),
                                                  strnlen(static_cast<const char*>(text), size),
                                                  XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
  ::munmap(text, size);
  if (!keymap) return;
  keymap_.reset(keymap);
  group_ = 0;
}

std::optional<bool> WaylandKeymap::hasKeysym(xkb_keysym_t keysym) const {
  if (!keymap_) return std::nullopt;
  xkb_keymap* keymap = keymap_.get();
  for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap); key <= xkb_keymap_max_keycode(keymap); ++key) {
    const xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap, key);
    if (layouts == 0) continue;
    // A key with fewer layouts than the keymap wraps around, as xkbcommon does by default.
    const xkb_layout_index_t layout = group_ % layouts;
    for (xkb_level_index_t level = 0; level < xkb_keymap_num_levels_for_key(keymap, key, layout); ++level) {
      const xkb_keysym_t* syms = nullptr;
      const int count = xkb_keymap_key_get_syms_by_level(keymap, key, layout, level, &syms);
      for (int i = 0; i < count; ++i) {
        if (syms[i] == keysym) return true;
      }
    }
  }
  return false;
}

void WaylandKeymap::watch() {
  if (!descriptor_) return;
  wl_display_flush(display_);
  descriptor_->async_wait(asio::posix::stream_descriptor::wait_read, [this](const std::error_code& error) {
    if (error) return;  // cancelled: the keymap is going
    if (wl_display_dispatch(display_) < 0) return lose("the connection ended");
    watch();
  });
}

void WaylandKeymap::lose(const char* why) {
  logLine(logger_, std::string("OrvoHost: lost the Wayland compositor's keymap (") + why +
                       "): characters are sent as they are");
  keymap_.reset();
  descriptor_->release();
  descriptor_.reset();
}

}  // namespace orvo::platform::wayland
