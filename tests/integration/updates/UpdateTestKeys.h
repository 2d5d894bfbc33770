#pragma once

#include <sodium.h>

#include <array>
#include <string>

#include "core/Coding.h"

namespace orvo::testing {

// An ed25519 key pair made for one test; it signs what the test serves.
class UpdateTestKeys {
 public:
  UpdateTestKeys() {
    if (sodium_init() < 0) std::abort();
    crypto_sign_keypair(publicKey_.data(), secretKey_.data());
  }
  std::string publicKeyBase64() const { return base64Encode(publicKey_); }
  std::string sign(const std::string& content) const {
    std::array<std::uint8_t, crypto_sign_BYTES> signature{};
    crypto_sign_detached(signature.data(), nullptr, reinterpret_cast<const unsigned char*>(content.data()),
                         content.size(), secretKey_.data());
    return base64Encode(signature);
  }

 private:
  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> publicKey_{};
  std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> secretKey_{};
};

}  // namespace orvo::testing
