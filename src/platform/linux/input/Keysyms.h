#pragma once

#include <cstdint>
#include <optional>

namespace orvo::platform {

// Keysyms (X11 and xkbcommon numbering) for what the client asks to type. Shared by every
// desktop backend: X11 presses keys for them, a Wayland desktop takes them as they are.
using Keysym = std::uint32_t;

// The keysym that types a character: the Latin-1 keysym up to U+00FF, else the Unicode
// keysym 0x01000000 + code point. Control characters that have a key of their own
// (backspace, tab, line feed and carriage return, escape, delete) give that key's keysym;
// other control characters and non-scalars give none.
std::optional<Keysym> keysymForScalar(char32_t scalar);
// Whether a control character is typed with a key of its own (see keysymForScalar).
bool hasOwnKey(char32_t scalar);
// The character whose key, with Control held, types a C0 control character: ^A is 'a'
// (0x01 + 0x60), ^\ ^] ^^ ^_ are '\\' ']' '^' '_' (0x1C + 0x40 ...).
char32_t controlBase(char32_t scalar);
// The keys the client names by their virtual key code (51 backspace, 36 return, 53 escape,
// 123 left, 124 right, 126 up, 125 down).
std::optional<Keysym> keysymForVirtualKey(std::uint16_t virtualKeyCode);

}  // namespace orvo::platform
