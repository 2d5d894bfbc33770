#include "core/Log.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace orvo {

void StdoutLogger::write(std::string_view line) {
  std::string text(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::string formatDouble(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, error == std::errc() ? end : buffer);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::string escapeForLog(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // C1 controls arrive as the two UTF-8 bytes C2 80 to C2 9F.
    if (byte == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        out += "\\u{";
        out += kHex[next >> 4];
        out += kHex[next & 0xF];
        out += '}';
        ++i;
        continue;
      }
    }
    switch (byte) {
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      default: break;
    }
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

}  // namespace orvo
