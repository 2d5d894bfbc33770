#pragma once

#include "platform/UpdateVerifier.h"

namespace orvo::platform {

// ed25519 (RFC 8032, as `openssl pkeyutl -sign -rawin` makes release signatures) over the
// whole file, checked while the file is read in 64 KiB pieces: a signature covers the
// message only through SHA-512(R || A || message), so the hash is computed as the file
// streams by and the curve equation is checked at the end with libsodium's group
// operations. Memory use does not grow with the file. The checks match libsodium's
// crypto_sign_verify_detached: S must be canonical, R and the key valid points of the main
// subgroup, and [S]B - [k]A must encode to exactly R. Files larger than 256 MiB are refused
// without reading them.
class SodiumUpdateVerifier final : public UpdateVerifier {
 public:
  SodiumUpdateVerifier();
  bool verifyFile(const std::filesystem::path& file, std::string_view signatureBase64,
                  std::string_view publicKeyBase64) override;

 private:
  bool ready_ = false;
};

}  // namespace orvo::platform
