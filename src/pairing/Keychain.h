#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/Bytes.h"
#include "platform/SecretStore.h"

namespace orvo {

struct KeychainError {
  int status = 0;
  std::string description;  // "Keychain update failed: <status>" or "Keychain add failed: <status>"
};

// The item's bytes, or nothing on any failure (the peer is then simply not admitted).
std::optional<Bytes> loadPSK(platform::SecretStore& store, std::string_view service, std::string_view account);

// Replaces the item's bytes, or adds the item when there is none.
std::optional<KeychainError> savePSK(platform::SecretStore& store, const Bytes& key, std::string_view service,
                                     std::string_view account);

// Deletes the item; a missing item is not an error.
void deletePSK(platform::SecretStore& store, std::string_view service, std::string_view account);

}  // namespace orvo
