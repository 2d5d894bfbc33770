#include "platform/linux/updates/SodiumUpdateVerifier.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <vector>

#include "core/Coding.h"

namespace orvo::platform {
namespace {

constexpr std::uint64_t kMaxFileBytes = 256ull * 1024 * 1024;
constexpr std::size_t kPieceBytes = 64 * 1024;

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\n' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// S < L, the order of the group: reducing S leaves it as it is.
bool isCanonicalScalar(const unsigned char* s) {
  std::array<unsigned char, 64> wide{};
  std::copy(s, s + 32, wide.begin());
  std::array<unsigned char, 32> reduced{};
  crypto_core_ed25519_scalar_reduce(reduced.data(), wide.data());
  return sodium_memcmp(reduced.data(), s, 32) == 0;
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
  const unsigned char* publicKey = key->data();
  const unsigned char* r = signature->data();
  const unsigned char* s = signature->data() + 32;
  // What libsodium refuses before it hashes: a key or an R that is no point of the main
  // subgroup (small-order points included), an S that is not reduced.
  if (!crypto_core_ed25519_is_valid_point(publicKey) || !crypto_core_ed25519_is_valid_point(r) ||
      !isCanonicalScalar(s)) {
    return false;
  }

  FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (static_cast<std::uint64_t>(info.st_size) > kMaxFileBytes) return false;

  // k = SHA-512(R || A || message), the message streamed.
  crypto_hash_sha512_state hash;
  crypto_hash_sha512_init(&hash);
  crypto_hash_sha512_update(&hash, r, 32);
  crypto_hash_sha512_update(&hash, publicKey, 32);
  std::vector<unsigned char> piece(kPieceBytes);
  std::uint64_t total = 0;
  for (;;) {
    const ssize_t n = ::read(fd.get(), piece.data(), piece.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    total += static_cast<std::uint64_t>(n);
    if (total > kMaxFileBytes) return false;  // it grew while read
    crypto_hash_sha512_update(&hash, piece.data(), static_cast<unsigned long long>(n));
  }
  std::array<unsigned char, crypto_hash_sha512_BYTES> digest{};
  crypto_hash_sha512_final(&hash, digest.data());
  std::array<unsigned char, 32> k{};
  crypto_core_ed25519_scalar_reduce(k.data(), digest.data());

  // [S]B - [k]A must be R, byte for byte.
  std::array<unsigned char, 32> sB{};
  std::array<unsigned char, 32> kA{};
  std::array<unsigned char, 32> expectedR{};
  if (crypto_scalarmult_ed25519_base_noclamp(sB.data(), s) != 0) return false;
  if (crypto_scalarmult_ed25519_noclamp(kA.data(), k.data(), publicKey) != 0) return false;
  if (crypto_core_ed25519_sub(expectedR.data(), sB.data(), kA.data()) != 0) return false;
  return crypto_verify_32(expectedR.data(), r) == 0;
}

}  // namespace orvo::platform
