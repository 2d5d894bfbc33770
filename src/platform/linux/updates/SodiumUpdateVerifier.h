#pragma once

#include "platform/UpdateVerifier.h"

namespace orvo::platform {

// ed25519 through libsodium (crypto_sign_verify_detached over the whole file, as release
// signatures are made). Files larger than 256 MiB are refused without reading them.
class SodiumUpdateVerifier final : public UpdateVerifier {
 public:
  SodiumUpdateVerifier();
  bool verifyFile(const std::filesystem::path& file, std::string_view signatureBase64,
                  std::string_view publicKeyBase64) override;

 private:
  bool ready_ = false;
};

}  // namespace orvo::platform
