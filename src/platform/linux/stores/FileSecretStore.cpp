#include "platform/linux/stores/FileSecretStore.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "core/AtomicFile.h"
#include "core/Log.h"
#include "platform/linux/stores/StandardPaths.h"

namespace orvo::platform {
namespace {

// File-name-safe form of a name: letters, digits, '-', '_' and '.' stay (except a leading
// '.'), every other byte becomes %XX.
std::string encodeName(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '_' || (c == '.' && i > 0);
    if (safe) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

}  // namespace

FileSecretStore::FileSecretStore(std::string root, Logger& logger) : root_(std::move(root)), logger_(logger) {}

std::string FileSecretStore::defaultRoot() { return linux_paths::dataHome() + "/orvo-host/secrets"; }

std::optional<std::string> FileSecretStore::checkReadable() const {
  struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
  };
  const auto unreadable = [](const std::string& path) {
    return "the secrets directory " + path + " exists but cannot be read (" + std::strerror(errno) +
           "); it was left as it is. Fix its permissions, then start again.";
  };
  struct stat info {};
  if (::stat(root_.c_str(), &info) != 0) {
    if (errno == ENOENT) return std::nullopt;
    return unreadable(root_);
  }
  std::unique_ptr<DIR, DirCloser> root(::opendir(root_.c_str()));
  if (!root) return unreadable(root_);
  std::vector<std::string> services;
  while (const dirent* entry = ::readdir(root.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") services.push_back(root_ + "/" + name);
  }
  for (const auto& service : services) {
    if (::stat(service.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    std::unique_ptr<DIR, DirCloser> directory(::opendir(service.c_str()));
    if (!directory) return unreadable(service);
  }
  return std::nullopt;
}

std::optional<std::string> FileSecretStore::itemPath(std::string_view service, std::string_view account) const {
  if (service.empty() || account.empty()) return std::nullopt;
  return root_ + "/" + encodeName(service) + "/" + encodeName(account);
}

std::optional<Bytes> FileSecretStore::copy(std::string_view service, std::string_view account) {
  std::lock_guard lock(mutex_);
  const auto path = itemPath(service, account);
  if (!path) return std::nullopt;
  std::string error;
  const auto content = readFile(*path, &error);
  if (!content) {
    if (!error.empty()) logLine(logger_, "OrvoHost: cannot read secret:", error);
    return std::nullopt;
  }
  return toBytes(*content);
}

int FileSecretStore::write(std::string_view service, std::string_view account, const Bytes& data) {
  const auto path = itemPath(service, account);
  if (auto error = makeDirectories(root_, 0700)) {
    logLine(logger_, "OrvoHost: cannot store secret:", *error);
    return kSecIOError;
  }
  if (auto error = makeDirectories(root_ + "/" + encodeName(service), 0700)) {
    logLine(logger_, "OrvoHost: cannot store secret:", *error);
    return kSecIOError;
  }
  const std::string_view content(reinterpret_cast<const char*>(data.data()), data.size());
  if (auto error = writeFileAtomically(*path, content, 0600)) {
    logLine(logger_, "OrvoHost: cannot store secret:", *error);
    return kSecIOError;
  }
  return kSecSuccess;
}

int FileSecretStore::update(std::string_view service, std::string_view account, const Bytes& data) {
  std::lock_guard lock(mutex_);
  const auto path = itemPath(service, account);
  if (!path) return kSecParam;
  if (::access(path->c_str(), F_OK) != 0) return kSecItemNotFound;
  return write(service, account, data);
}

int FileSecretStore::add(std::string_view service, std::string_view account, const Bytes& data) {
  std::lock_guard lock(mutex_);
  const auto path = itemPath(service, account);
  if (!path) return kSecParam;
  if (::access(path->c_str(), F_OK) == 0) return kSecDuplicateItem;
  return write(service, account, data);
}

int FileSecretStore::remove(std::string_view service, std::string_view account) {
  std::lock_guard lock(mutex_);
  const auto path = itemPath(service, account);
  if (!path) return kSecParam;
  if (::unlink(path->c_str()) == 0) return kSecSuccess;
  if (errno == ENOENT) return kSecItemNotFound;
  logLine(logger_, "OrvoHost: cannot delete secret", *path + ":", std::strerror(errno));
  return kSecIOError;
}

}  // namespace orvo::platform
