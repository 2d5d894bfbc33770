#include "pairing/Keychain.h"

namespace orvo {

std::optional<Bytes> loadPSK(platform::SecretStore& store, std::string_view service, std::string_view account) {
  return store.copy(service, account);
}

std::optional<KeychainError> savePSK(platform::SecretStore& store, const Bytes& key, std::string_view service,
                                     std::string_view account) {
  const int updated = store.update(service, account, key);
  if (updated == platform::kSecSuccess) return std::nullopt;
  if (updated == platform::kSecItemNotFound) {
    const int added = store.add(service, account, key);
    if (added == platform::kSecSuccess) return std::nullopt;
    return KeychainError{added, "Keychain add failed: " + std::to_string(added)};
  }
  return KeychainError{updated, "Keychain update failed: " + std::to_string(updated)};
}

void deletePSK(platform::SecretStore& store, std::string_view service, std::string_view account) {
  store.remove(service, account);
}

}  // namespace orvo
