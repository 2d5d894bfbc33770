#include "platform/linux/input/Keysyms.h"

#include <xkbcommon/xkbcommon-keysyms.h>

namespace orvo::platform {

std::optional<Keysym> keysymForScalar(char32_t scalar) {
  switch (scalar) {
    case 0x08: return XKB_KEY_BackSpace;
    case 0x09: return XKB_KEY_Tab;
    case 0x0A:
    case 0x0D: return XKB_KEY_Return;
    case 0x1B: return XKB_KEY_Escape;
    case 0x7F: return XKB_KEY_Delete;
    default: break;
  }
  if (scalar < 0x20 || (scalar >= 0x7F && scalar < 0xA0)) return std::nullopt;
  if (scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) return std::nullopt;
  if (scalar <= 0xFF) return static_cast<Keysym>(scalar);
  return 0x01000000u + static_cast<Keysym>(scalar);
}

bool hasOwnKey(char32_t scalar) {
  return scalar == 0x08 || scalar == 0x09 || scalar == 0x0A || scalar == 0x0D || scalar == 0x1B || scalar == 0x7F;
}

char32_t controlBase(char32_t scalar) { return scalar <= 0x1A ? scalar + 0x60 : scalar + 0x40; }

std::optional<Keysym> keysymForVirtualKey(std::uint16_t virtualKeyCode) {
  switch (virtualKeyCode) {
    case 51: return XKB_KEY_BackSpace;
    case 36: return XKB_KEY_Return;
    case 53: return XKB_KEY_Escape;
    case 123: return XKB_KEY_Left;
    case 124: return XKB_KEY_Right;
    case 126: return XKB_KEY_Up;
    case 125: return XKB_KEY_Down;
    default: return std::nullopt;
  }
}

}  // namespace orvo::platform
