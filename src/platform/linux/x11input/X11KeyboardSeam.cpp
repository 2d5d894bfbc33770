#include "platform/linux/x11input/X11KeyboardSeam.h"

#include "platform/linux/x11input/XcbXkb.h"
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-x11.h>

#include <algorithm>
#include <cstring>

namespace orvo::platform::x11 {

X11KeyboardSeam::X11KeyboardSeam() : context_(xkb_context_new(XKB_CONTEXT_NO_FLAGS), &xkb_context_unref) {
  // A keymap that cannot be read (a display going away) is answered with no layout; the
  // library need not print about it.
  if (context_) xkb_context_set_log_level(context_.get(), XKB_LOG_LEVEL_CRITICAL);
}

X11KeyboardSeam::~X11KeyboardSeam() = default;

void X11KeyboardSeam::attach(std::shared_ptr<X11Display> display) {
  if (display != display_) {
    markStale();
    xkbReady_ = false;
    deviceId_ = -1;
  }
  display_ = std::move(display);
}

void X11KeyboardSeam::markStale() {
  cache_.reset();
  keymap_.reset();
  layout_.reset();
}

void X11KeyboardSeam::handleEvent(const xcb_generic_event_t& event) {
  const std::uint8_t type = event.response_type & 0x7F;
  if (type == XCB_MAPPING_NOTIFY) {
    // Every client hears of keymap changes, its own included (unless it uses XKB).
    const auto& notify = reinterpret_cast<const xcb_mapping_notify_event_t&>(event);
    if (notify.request != XCB_MAPPING_POINTER) markStale();
    return;
  }
  if (xkbReady_ && type == xkbEventBase_) {
    // XKB events share one code; the second byte says which.
    const std::uint8_t xkbType = reinterpret_cast<const std::uint8_t*>(&event)[1];
    if (xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || xkbType == XCB_XKB_MAP_NOTIFY) markStale();
  }
}

bool X11KeyboardSeam::setUpXkb() {
  if (xkbReady_) return true;
  if (!display_ || display_->hasFailed() || !context_) return false;
  xcb_connection_t* c = display_->connection();
  std::uint8_t eventBase = 0;
  if (!xkb_x11_setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                   XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &eventBase, nullptr)) {
    return false;
  }
  const std::int32_t device = xkb_x11_get_core_keyboard_device_id(c);
  if (device < 0) return false;
  // A connection that uses XKB no longer receives core MappingNotify: ask for the XKB
  // notices of keymap changes instead.
  constexpr std::uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
  constexpr std::uint16_t mapParts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS |
                                     XCB_XKB_MAP_PART_MODIFIER_MAP | XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS |
                                     XCB_XKB_MAP_PART_KEY_ACTIONS | XCB_XKB_MAP_PART_VIRTUAL_MODS |
                                     XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
  xcb_xkb_select_events_details_t details{};
  details.affectNewKeyboard = XCB_XKB_NKN_DETAIL_KEYCODES;
  details.newKeyboardDetails = XCB_XKB_NKN_DETAIL_KEYCODES;
  if (checkOf(c, xcb_xkb_select_events_aux_checked(c, static_cast<xcb_xkb_device_spec_t>(device), events, 0, 0,
                                                    mapParts, mapParts, &details))) {
    return false;
  }
  deviceId_ = device;
  xkbEventBase_ = eventBase;
  xkbReady_ = true;
  return true;
}

const KeyboardMapping* X11KeyboardSeam::mapping() {
  if (cache_) return &*cache_;
  if (!display_ || display_->hasFailed()) return nullptr;
  xcb_connection_t* c = display_->connection();
  const xcb_setup_t* setup = xcb_get_setup(c);
  const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  // Both requests go out before either reply is awaited: one round trip.
  const auto keyboardCookie = xcb_get_keyboard_mapping(c, setup->min_keycode, count);
  const auto modifierCookie = xcb_get_modifier_mapping(c);
  auto keyboard = replyOf(c, xcb_get_keyboard_mapping_reply, keyboardCookie);
  auto modifiers = replyOf(c, xcb_get_modifier_mapping_reply, modifierCookie);
  if (!keyboard || !modifiers) return nullptr;

  KeyboardMapping mapping;
  mapping.minKeycode = setup->min_keycode;
  mapping.keysymsPerKeycode = keyboard->keysyms_per_keycode;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(keyboard.get());
  mapping.keysyms.assign(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(keyboard.get()));
  const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(modifiers.get());
  const int perModifier = modifiers->keycodes_per_modifier;
  for (int modifier = 0; modifier < 8; ++modifier) {
    for (int i = 0; i < perModifier; ++i) {
      const xcb_keycode_t keycode = keycodes[modifier * perModifier + i];
      if (keycode != 0) mapping.modifierKeys[static_cast<std::size_t>(modifier)].push_back(keycode);
    }
  }
  cache_ = std::move(mapping);
  return &*cache_;
}

const KeyboardLayout* X11KeyboardSeam::layout() {
  if (!setUpXkb()) return nullptr;
  xcb_connection_t* c = display_->connection();
  const auto device = static_cast<xcb_xkb_device_spec_t>(deviceId_);
  // The state goes out first; the keymap, when it must be read again, follows.
  const auto stateCookie = xcb_xkb_get_state(c, device);
  if (!keymap_) {
    keymap_ = adoptKeymap(
        xkb_x11_keymap_new_from_device(context_.get(), c, deviceId_, XKB_KEYMAP_COMPILE_NO_FLAGS));
  }
  auto reply = replyOf(c, xcb_xkb_get_state_reply, stateCookie);
  if (!keymap_ || !reply) return nullptr;
  const KeyboardState state{.lockedModifiers = reply->lockedMods, .group = reply->group};
  if (!layout_ || layout_->state() != state) layout_.emplace(keymap_, state);
  return &*layout_;
}

void X11KeyboardSeam::setKey(Keycode keycode, bool pressed) {
  if (!display_) return;
  xcb_test_fake_input(display_->connection(), pressed ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME,
                      XCB_NONE, 0, 0, 0);
}

void X11KeyboardSeam::remap(std::span<const KeyRemap> keys) {
  if (!display_ || keys.empty()) return;
  if (keys.size() == 1 || !remapWithXkb(keys)) {
    // One key, or a server whose XKB refused the batch: a core change per key.
    for (const auto& key : keys) {
      std::vector<Keysym> keysyms = key.keysyms;
      if (keysyms.empty()) keysyms.push_back(kNoSymbol);
      xcb_change_keyboard_mapping(display_->connection(), 1, key.keycode, static_cast<std::uint8_t>(keysyms.size()),
                                  keysyms.data());
    }
  }
  markStale();
}

namespace {

// The XKB canonical key types every keymap starts with.
constexpr std::uint8_t kOneLevel = 0;
constexpr std::uint8_t kTwoLevel = 1;
constexpr std::uint8_t kAlphabetic = 2;

void appendWire(std::vector<std::uint8_t>& out, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  out.insert(out.end(), bytes, bytes + size);
}

// A key's XKB symbol map on the wire for these keysyms (trailing NoSymbols dropped): one
// group of ONE_LEVEL, TWO_LEVEL, or ALPHABETIC for a (lower, upper) pair, as the server
// itself would read them from a core mapping. False for more than two keysyms.
bool appendSymbolMap(std::vector<std::uint8_t>& out, std::vector<Keysym> keysyms) {
  while (!keysyms.empty() && keysyms.back() == kNoSymbol) keysyms.pop_back();
  if (keysyms.size() > 2) return false;
  xcb_xkb_key_sym_map_t map{};
  if (keysyms.size() == 1) {
    map.kt_index[0] = kOneLevel;
  } else if (keysyms.size() == 2) {
    const bool casePair = keysyms[0] != keysyms[1] && xkb_keysym_to_upper(keysyms[0]) == keysyms[1] &&
                          xkb_keysym_to_lower(keysyms[1]) == keysyms[0];
    map.kt_index[0] = casePair ? kAlphabetic : kTwoLevel;
  }
  map.groupInfo = keysyms.empty() ? 0 : 1;
  map.width = static_cast<std::uint8_t>(keysyms.size());
  map.nSyms = static_cast<std::uint16_t>(keysyms.size());
  appendWire(out, &map, sizeof map);
  appendWire(out, keysyms.data(), keysyms.size() * sizeof(Keysym));
  return true;
}

}  // namespace

bool X11KeyboardSeam::remapWithXkb(std::span<const KeyRemap> keys) {
  if (!setUpXkb()) return false;
  xcb_connection_t* c = display_->connection();
  const auto device = static_cast<xcb_xkb_device_spec_t>(deviceId_);
  Keycode first = 255, last = 0;
  for (const auto& key : keys) {
    first = std::min(first, key.keycode);
    last = std::max(last, key.keycode);
  }
  const auto count = static_cast<std::uint8_t>(last - first + 1);
  // The keys between ours go back exactly as read; no other client may change them
  // between the read and the write.
  xcb_grab_server(c);
  struct Ungrab {
    xcb_connection_t* c;
    ~Ungrab() {
      xcb_ungrab_server(c);
      xcb_flush(c);
    }
  } ungrab{c};
  auto reply = replyOf(c, xcb_xkb_get_map_reply,
                       xcb_xkb_get_map(c, device, 0, XCB_XKB_MAP_PART_KEY_SYMS, 0, 0, first, count, 0, 0, 0, 0, 0, 0,
                                       0, 0, 0, 0, 0));
  if (!reply || !(reply->present & XCB_XKB_MAP_PART_KEY_SYMS) || reply->firstKeySym != first ||
      reply->nKeySyms != count) {
    return false;
  }
  // The reply's symbol maps, one per keycode of the range, each followed by its keysyms.
  const auto* in = static_cast<const std::uint8_t*>(xcb_xkb_get_map_map(reply.get()));
  const auto* end = reinterpret_cast<const std::uint8_t*>(reply.get()) + 32 + std::size_t{reply->length} * 4;
  std::vector<std::uint8_t> values;
  std::size_t totalSyms = 0;
  for (int keycode = first; keycode <= last; ++keycode) {
    if (in + sizeof(xcb_xkb_key_sym_map_t) > end) return false;
    xcb_xkb_key_sym_map_t map;
    std::memcpy(&map, in, sizeof map);
    const std::size_t size = sizeof map + std::size_t{map.nSyms} * 4;
    if (in + size > end) return false;
    const auto ours = std::find_if(keys.begin(), keys.end(), [&](const KeyRemap& k) { return k.keycode == keycode; });
    const std::size_t before = values.size();
    if (ours != keys.end()) {
      if (!appendSymbolMap(values, ours->keysyms)) return false;
    } else {
      appendWire(values, in, size);
    }
    xcb_xkb_key_sym_map_t written;
    std::memcpy(&written, values.data() + before, sizeof written);
    totalSyms += written.nSyms;
    in += size;
  }
  const auto error = checkOf(
      c, xcb_xkb_set_map_checked(c, device, XCB_XKB_MAP_PART_KEY_SYMS, 0, reply->minKeyCode, reply->maxKeyCode, 0, 0,
                                 first, count, static_cast<std::uint16_t>(totalSyms), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 0, 0, 0, 0, 0, 0, values.data()));
  return !error;
}

void X11KeyboardSeam::flush() {
  if (display_) xcb_flush(display_->connection());
}

void X11KeyboardSeam::sync() {
  if (!display_) return;
  xcb_connection_t* c = display_->connection();
  replyOf(c, xcb_get_input_focus_reply, xcb_get_input_focus(c));
}

}  // namespace orvo::platform::x11
