#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/SecretStore.h"
#include "platform/SettingsStore.h"

namespace orvo::testing {

// In-memory user defaults.
class FakeSettingsStore final : public platform::SettingsStore {
 public:
  std::optional<json::Json> value(std::string_view key) const override {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(std::string(key));
    if (found == values_.end()) return std::nullopt;
    return found->second;
  }
  void setValue(std::string_view key, json::Json value) override {
    std::lock_guard lock(mutex_);
    values_[std::string(key)] = std::move(value);
    ++writes;
  }
  void removeValue(std::string_view key) override {
    std::lock_guard lock(mutex_);
    values_.erase(std::string(key));
    ++writes;
  }
  std::vector<std::string> keys() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [key, value] : values_) out.push_back(key);
    return out;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    values_.clear();
  }
  std::string location() const override { return "memory"; }
  int writes = 0;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, json::Json> values_;
};

// In-memory secrets with keychain status codes; a test can make the next add or update fail.
class FakeSecretStore final : public platform::SecretStore {
 public:
  std::optional<Bytes> copy(std::string_view service, std::string_view account) override {
    std::lock_guard lock(mutex_);
    const auto found = items_.find(key(service, account));
    if (found == items_.end()) return std::nullopt;
    return found->second;
  }
  int update(std::string_view service, std::string_view account, const Bytes& data) override {
    std::lock_guard lock(mutex_);
    if (failUpdateWith != 0) return std::exchange(failUpdateWith, 0);
    const auto found = items_.find(key(service, account));
    if (found == items_.end()) return platform::kSecItemNotFound;
    found->second = data;
    return platform::kSecSuccess;
  }
  int add(std::string_view service, std::string_view account, const Bytes& data) override {
    std::lock_guard lock(mutex_);
    if (failAddWith != 0) return std::exchange(failAddWith, 0);
    if (!items_.emplace(key(service, account), data).second) return platform::kSecDuplicateItem;
    return platform::kSecSuccess;
  }
  int remove(std::string_view service, std::string_view account) override {
    std::lock_guard lock(mutex_);
    return items_.erase(key(service, account)) ? platform::kSecSuccess : platform::kSecItemNotFound;
  }
  bool contains(std::string_view service, std::string_view account) const {
    std::lock_guard lock(mutex_);
    return items_.count(key(service, account)) > 0;
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }

  int failAddWith = 0;
  int failUpdateWith = 0;

 private:
  static std::pair<std::string, std::string> key(std::string_view service, std::string_view account) {
    return {std::string(service), std::string(account)};
  }
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, Bytes> items_;
};

}  // namespace orvo::testing
