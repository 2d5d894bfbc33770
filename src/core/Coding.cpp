#include "core/Coding.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdio>
#include <stdexcept>

namespace orvo {

std::string base64Encode(std::span<const std::uint8_t> bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3), '\0');
  if (bytes.empty()) return out;
  if (bytes.size() > static_cast<std::size_t>(INT_MAX / 4 * 3)) throw std::length_error("base64 input too large");
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                      static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(written));
  return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0 || text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  if (text.empty()) return Bytes{};
  std::size_t padding = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '+' || c == '/';
    if (c == '=') {
      if (i < text.size() - 2) return std::nullopt;
      ++padding;
    } else if (!alphabet || padding > 0) {
      return std::nullopt;
    }
  }
  Bytes out(text.size() / 4 * 3);
  const int written = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
  if (written < 0) return std::nullopt;
  // EVP_DecodeBlock counts the padding as zero bytes; drop them.
  out.resize(static_cast<std::size_t>(written) - padding);
  return out;
}

std::string hexEncode(std::span<const std::uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const auto byte : bytes) {
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  return out;
}

void OpenSslRandom::fill(std::span<std::uint8_t> out) {
  if (out.empty()) return;
  if (RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) {
    throw std::runtime_error("RAND_bytes failed");
  }
}

Bytes randomBytes(RandomSource& random, std::size_t count) {
  Bytes out(count);
  random.fill(out);
  return out;
}

Bytes randomKeyBytes(RandomSource& random, std::size_t count) {
  Bytes out = randomBytes(random, count);
  for (auto& byte : out) {
    while (byte == 0) random.fill(std::span(&byte, 1));
  }
  return out;
}

std::string makeUUIDString(RandomSource& random) {
  Bytes raw = randomBytes(random, 16);
  raw[6] = static_cast<std::uint8_t>((raw[6] & 0x0F) | 0x40);  // version 4
  raw[8] = static_cast<std::uint8_t>((raw[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                raw[0], raw[1], raw[2], raw[3], raw[4], raw[5], raw[6], raw[7], raw[8], raw[9], raw[10],
                raw[11], raw[12], raw[13], raw[14], raw[15]);
  return text;
}

namespace {

bool isUnicodeWhitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Decodes the well-formed UTF-8 scalar starting at `i`; returns its length, 0 if malformed.
std::size_t decodeAt(std::string_view s, std::size_t i, char32_t& out) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t length = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || i + length > s.size()) return 0;
  out = length == 1 ? b0 : length == 2 ? (b0 & 0x1F) : length == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (std::size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b >> 6) != 0x2) return 0;
    out = (out << 6) | (b & 0x3F);
  }
  return length;
}

}  // namespace

std::string trimWhitespace(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    char32_t c;
    const auto length = decodeAt(text, begin, c);
    if (length == 0 || !isUnicodeWhitespace(c)) break;
    begin += length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last scalar.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) >> 6) == 0x2) --start;
    char32_t c;
    const auto length = decodeAt(text, start, c);
    if (length == 0 || start + length != end || !isUnicodeWhitespace(c)) break;
    end = start;
  }
  return std::string(text.substr(begin, end - begin));
}

}  // namespace orvo
