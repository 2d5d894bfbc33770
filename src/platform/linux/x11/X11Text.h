#pragma once

// Text of X window properties as UTF-8. Titles and class names come from other programs,
// so anything may be in them: these functions accept every byte string and always return
// valid UTF-8 (bad input becomes U+FFFD). A property's text ends at its first NUL byte,
// as the X text conventions use NUL to separate list items. Pure functions; any thread.

#include <string>
#include <string_view>

namespace orvo::platform::x11 {

// UTF-8 with every invalid sequence (stray continuation byte, overlong form, surrogate,
// value above U+10FFFF, truncated sequence) replaced by U+FFFD.
std::string sanitizeUtf8(std::string_view bytes);

// ISO 8859-1 (the STRING type) as UTF-8.
std::string latin1ToUtf8(std::string_view bytes);

// COMPOUND_TEXT, best effort: ASCII and ISO 8859-1 in their default and designated sets,
// UTF-8 segments (ESC % G ... ESC % @); characters of other character sets become U+FFFD.
std::string compoundTextToUtf8(std::string_view bytes);

}  // namespace orvo::platform::x11
