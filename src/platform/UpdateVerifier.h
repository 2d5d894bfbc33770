#pragma once

#include <filesystem>
#include <string_view>

namespace orvo::platform {

// Checks the ed25519 signature of a downloaded update. Safe to call from any thread.
class UpdateVerifier {
 public:
  virtual ~UpdateVerifier() = default;
  // True when `signatureBase64` (64 bytes in base64) is a valid ed25519 signature of the
  // whole content of `file` under `publicKeyBase64` (32 bytes in base64). Anything
  // malformed (key, signature, unreadable file) is false.
  virtual bool verifyFile(const std::filesystem::path& file, std::string_view signatureBase64,
                          std::string_view publicKeyBase64) = 0;
};

}  // namespace orvo::platform
