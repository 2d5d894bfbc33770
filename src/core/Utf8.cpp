#include "core/Utf8.h"

namespace orvo {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one scalar at `i`; returns its length, or 0 when the sequence is malformed.
std::size_t decodeOne(std::string_view s, std::size_t i, char32_t& out) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  std::size_t length;
  char32_t value;
  char32_t minimum;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2, value = b0 & 0x1F, minimum = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3, value = b0 & 0x0F, minimum = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4, value = b0 & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    value = (value << 6) | (b & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  out = value;
  return length;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    char32_t c;
    const auto length = decodeOne(text, i, c);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::vector<char32_t> unicodeScalars(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t c;
    const auto length = decodeOne(text, i, c);
    out.push_back(length ? c : kReplacement);
    i += length ? length : 1;
  }
  return out;
}

std::string utf8Encode(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

std::string latin1ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) out += utf8Encode(static_cast<unsigned char>(c));
  return out;
}

std::string sanitizeUtf8(std::string_view text) {
  if (isValidUtf8(text)) return std::string(text);
  std::string out;
  for (const auto c : unicodeScalars(text)) out += utf8Encode(c);
  return out;
}

std::string truncateUtf8(std::string_view text, std::size_t maxBytes) {
  std::string clean = sanitizeUtf8(text);
  if (clean.size() <= maxBytes) return clean;
  std::size_t end = maxBytes;
  // Back to the first byte of the scalar that would be cut.
  while (end > 0 && (static_cast<unsigned char>(clean[end]) & 0xC0) == 0x80) --end;
  clean.resize(end);
  return clean;
}

}  // namespace orvo
