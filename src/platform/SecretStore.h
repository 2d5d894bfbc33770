#pragma once

#include <optional>
#include <string_view>

#include "core/Bytes.h"

namespace orvo::platform {

// Status codes of secret-store operations, with the values clients of a keychain know.
inline constexpr int kSecSuccess = 0;
inline constexpr int kSecIOError = -36;
inline constexpr int kSecParam = -50;
inline constexpr int kSecDuplicateItem = -25299;
inline constexpr int kSecItemNotFound = -25300;

// A persistent store of secrets addressed by (service, account), like generic-password
// keychain items. Writes are atomic and secrets readable by the user only. Safe to call
// from any thread.
class SecretStore {
 public:
  virtual ~SecretStore() = default;
  // The item's bytes, or nothing when there is no item or it cannot be read.
  virtual std::optional<Bytes> copy(std::string_view service, std::string_view account) = 0;
  // Replaces an existing item's bytes; kSecItemNotFound when there is none.
  virtual int update(std::string_view service, std::string_view account, const Bytes& data) = 0;
  // Adds a new item; kSecDuplicateItem when one exists.
  virtual int add(std::string_view service, std::string_view account, const Bytes& data) = 0;
  // Deletes the item; kSecItemNotFound when there is none.
  virtual int remove(std::string_view service, std::string_view account) = 0;
};

}  // namespace orvo::platform
