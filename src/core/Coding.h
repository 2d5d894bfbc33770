#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/Bytes.h"

namespace orvo {

// Standard base64 with padding and no line breaks.
std::string base64Encode(std::span<const std::uint8_t> bytes);
// Strict standard base64: length a multiple of 4, padding only at the end, no white space.
std::optional<Bytes> base64Decode(std::string_view text);

// Lower-case hexadecimal, two digits per byte.
std::string hexEncode(std::span<const std::uint8_t> bytes);

// Source of cryptographically strong random bytes. The real one is OpenSSL's RAND_bytes.
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  virtual void fill(std::span<std::uint8_t> out) = 0;
};

class OpenSslRandom final : public RandomSource {
 public:
  void fill(std::span<std::uint8_t> out) override;
};

Bytes randomBytes(RandomSource& random, std::size_t count);

// Key bytes without a 0x00 byte: TLS stacks carry a PSK identity as a C string, so a key
// that serves as one must not contain a NUL. Each zero byte is drawn again.
Bytes randomKeyBytes(RandomSource& random, std::size_t count);

// A random (version 4) UUID in its canonical upper-case 36-character form.
std::string makeUUIDString(RandomSource& random);

// Trims white space and newlines from both ends (ASCII white space and the Unicode
// white space and line separators that can appear in typed text).
std::string trimWhitespace(std::string_view text);

}  // namespace orvo
