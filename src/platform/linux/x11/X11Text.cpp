#include "platform/linux/x11/X11Text.h"

#include <cstdint>

namespace orvo::platform::x11 {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

std::string_view untilNul(std::string_view bytes) { return bytes.substr(0, bytes.find('\0')); }

void appendScalar(std::string& out, std::uint32_t scalar) {
  if (scalar < 0x80) {
    out += static_cast<char>(scalar);
  } else if (scalar < 0x800) {
    out += static_cast<char>(0xC0 | (scalar >> 6));
    out += static_cast<char>(0x80 | (scalar & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (scalar >> 12));
    out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (scalar & 0x3F));
  }
}

// Appends the valid UTF-8 of `bytes` (no NUL handling).
void appendSanitized(std::string& out, std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<std::uint8_t>(bytes[i]);
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
    int length = 0;
    std::uint32_t scalar = 0;
    std::uint32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
      length = 2, scalar = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, scalar = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, scalar = lead & 0x07, minimum = 0x10000;
    }
    int taken = 1;
    bool valid = length > 0;
    while (valid && taken < length) {
      if (i + static_cast<std::size_t>(taken) >= bytes.size()) {
        valid = false;
        break;
      }
      const auto next = static_cast<std::uint8_t>(bytes[i + static_cast<std::size_t>(taken)]);
      if ((next & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      scalar = (scalar << 6) | (next & 0x3F);
      ++taken;
    }
    valid = valid && scalar >= minimum && scalar <= 0x10FFFF && !(scalar >= 0xD800 && scalar < 0xE000);
    if (valid) {
      out.append(bytes.substr(i, static_cast<std::size_t>(length)));
      i += static_cast<std::size_t>(length);
    } else {
      // One replacement for the lead byte and the continuation bytes that followed it.
      out += kReplacement;
      i += static_cast<std::size_t>(taken);
    }
  }
}

}  // namespace

std::string sanitizeUtf8(std::string_view bytes) {
  std::string out;
  appendSanitized(out, untilNul(bytes));
  return out;
}

std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  for (const char c : untilNul(bytes)) appendScalar(out, static_cast<std::uint8_t>(c));
  return out;
}

std::string compoundTextToUtf8(std::string_view input) {
  const std::string_view bytes = untilNul(input);
  std::string out;
  // What the left (GL) and right (GR) halves hold now, and how many bytes make one
  // character of a set we cannot decode.
  bool leftIsAscii = true;
  bool rightIsLatin1 = true;
  std::size_t leftWidth = 1;
  std::size_t rightWidth = 1;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<std::uint8_t>(bytes[i]);
    if (b == 0x1B) {  // ESC, intermediate bytes 0x20-0x2F, one final byte 0x30-0x7E
      std::size_t end = i + 1;
      while (end < bytes.size() && static_cast<std::uint8_t>(bytes[end]) >= 0x20 &&
             static_cast<std::uint8_t>(bytes[end]) <= 0x2F) {
        ++end;
      }
      if (end >= bytes.size()) break;
      const std::string_view sequence = bytes.substr(i + 1, end + 1 - (i + 1));
      i = end + 1;
      if (sequence == "%G") {  // UTF-8 until ESC % @
        const std::size_t stop = bytes.find("\x1B%@", i);
        appendSanitized(out, bytes.substr(i, stop == std::string_view::npos ? std::string_view::npos : stop - i));
        i = stop == std::string_view::npos ? bytes.size() : stop + 3;
      } else if (sequence.size() == 3 && sequence.substr(0, 2) == "%/") {
        // An extended segment: two length bytes M L, then (M-128)*128 + (L-128) bytes
        // in a character set we do not decode.
        if (i + 2 > bytes.size()) break;
        const std::size_t length = (static_cast<std::uint8_t>(bytes[i]) & 0x7F) * 128u +
                                   (static_cast<std::uint8_t>(bytes[i + 1]) & 0x7F);
        i += 2 + length;
        out += kReplacement;
      } else if (sequence.size() == 2 && sequence[0] == '(') {
        leftIsAscii = sequence[1] == 'B';
        leftWidth = 1;
      } else if (sequence.size() == 2 && (sequence[0] == ')' || sequence[0] == '-')) {
        rightIsLatin1 = sequence == "-A";
        rightWidth = 1;
      } else if (sequence.size() == 3 && sequence[0] == '$') {
        const bool left = sequence[1] == '(';
        (left ? leftIsAscii : rightIsLatin1) = false;
        (left ? leftWidth : rightWidth) = 2;
      }
      continue;
    }
    if (b == 0x9B) {  // CSI: direction and similar controls, parameters up to a final byte
      ++i;
      while (i < bytes.size() && !(static_cast<std::uint8_t>(bytes[i]) >= 0x40 &&
                                   static_cast<std::uint8_t>(bytes[i]) <= 0x7E)) {
        ++i;
      }
      ++i;
      continue;
    }
    if (b == '\t' || b == '\n') {
      out += static_cast<char>(b);
      ++i;
    } else if (b >= 0x20 && b < 0x7F) {
      if (leftIsAscii) {
        out += static_cast<char>(b);
        ++i;
      } else {
        out += kReplacement;
        i += leftWidth;
      }
    } else if (b >= 0xA0) {
      if (rightIsLatin1) {
        appendScalar(out, b);
        ++i;
      } else {
        out += kReplacement;
        i += rightWidth;
      }
    } else {
      ++i;  // other controls carry no text
    }
  }
  return out;
}

}  // namespace orvo::platform::x11
