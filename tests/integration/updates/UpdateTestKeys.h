#pragma once

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

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

  // The same signature as sign() of the file's content (ed25519 is deterministic), made
  // while reading the file twice in pieces, so that a test can sign a file larger than it
  // wants to hold: r = H(prefix || M), R = [r]B, k = H(R || A || M), S = r + k·a.
  std::string signFile(const std::string& path) const {
    std::array<unsigned char, 64> expanded{};
    crypto_hash_sha512(expanded.data(), secretKey_.data(), 32);  // the secret key starts with the seed
    expanded[0] &= 248;
    expanded[31] &= 127;
    expanded[31] |= 64;
    std::array<unsigned char, 64> digest{};
    std::array<unsigned char, 32> r{};
    std::array<unsigned char, 32> k{};
    std::array<std::uint8_t, 64> signature{};
    hashWithFile(expanded.data() + 32, 32, nullptr, 0, path, digest.data());
    crypto_core_ed25519_scalar_reduce(r.data(), digest.data());
    if (crypto_scalarmult_ed25519_base_noclamp(signature.data(), r.data()) != 0) std::abort();
    hashWithFile(signature.data(), 32, publicKey_.data(), 32, path, digest.data());
    crypto_core_ed25519_scalar_reduce(k.data(), digest.data());
    std::array<unsigned char, 32> ka{};
    crypto_core_ed25519_scalar_mul(ka.data(), k.data(), expanded.data());
    crypto_core_ed25519_scalar_add(signature.data() + 32, r.data(), ka.data());
    return base64Encode(signature);
  }

 private:
  // SHA-512(first || second || the file's content).
  static void hashWithFile(const unsigned char* first, std::size_t firstSize, const unsigned char* second,
                           std::size_t secondSize, const std::string& path, unsigned char* out) {
    crypto_hash_sha512_state state;
    crypto_hash_sha512_init(&state);
    crypto_hash_sha512_update(&state, first, firstSize);
    if (second) crypto_hash_sha512_update(&state, second, secondSize);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) std::abort();
    std::vector<unsigned char> piece(1 << 16);
    for (ssize_t n; (n = ::read(fd, piece.data(), piece.size())) > 0;) {
      crypto_hash_sha512_update(&state, piece.data(), static_cast<unsigned long long>(n));
    }
    ::close(fd);
    crypto_hash_sha512_final(&state, out);
  }

  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> publicKey_{};
  std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> secretKey_{};
};

}  // namespace orvo::testing
