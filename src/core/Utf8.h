#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvo {

// Whether the bytes are well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

// The Unicode scalars of well-formed UTF-8 text (call isValidUtf8 first; malformed
// sequences become U+FFFD).
std::vector<char32_t> unicodeScalars(std::string_view text);

// UTF-8 encoding of one scalar.
std::string utf8Encode(char32_t scalar);

// Latin-1 (ISO 8859-1) bytes as UTF-8.
std::string latin1ToUtf8(std::string_view text);

// Well-formed UTF-8: every malformed sequence replaced by U+FFFD.
std::string sanitizeUtf8(std::string_view text);

// At most `maxBytes` bytes of UTF-8 text, cut before a whole scalar (the text is sanitized
// first), so the result is well-formed.
std::string truncateUtf8(std::string_view text, std::size_t maxBytes);

}  // namespace orvo
