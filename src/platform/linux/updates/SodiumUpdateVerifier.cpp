#include "platform/linux/updates/SodiumUpdateVerifier.h"

#include <sodium.h>

#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "core/Coding.h"

namespace orvo::platform {
namespace {

constexpr std::uintmax_t kMaxFileBytes = 256ull * 1024 * 1024;

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\n' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

SodiumUpdateVerifier::SodiumUpdateVerifier() : ready_(sodium_init() >= 0) {}

bool SodiumUpdateVerifier::verifyFile(const std::filesystem::path& file, std::string_view signatureBase64,
                                      std::string_view publicKeyBase64) {
  if (!ready_) return false;
  const auto key = base64Decode(trimmed(publicKeyBase64));
  const auto signature = base64Decode(trimmed(signatureBase64));
  if (!key || key->size() != crypto_sign_PUBLICKEYBYTES) return false;
  if (!signature || signature->size() != crypto_sign_BYTES) return false;

  std::error_code error;
  const auto size = std::filesystem::file_size(file, error);
  if (error || size > kMaxFileBytes) return false;
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::vector<unsigned char> content(static_cast<std::size_t>(size));
  if (size > 0 && !in.read(reinterpret_cast<char*>(content.data()), static_cast<std::streamsize>(size))) return false;
  if (in.peek() != std::char_traits<char>::eof()) return false;  // the file grew while read
  return crypto_sign_verify_detached(signature->data(), content.data(), content.size(), key->data()) == 0;
}

}  // namespace orvo::platform
