#pragma once

#include <mutex>
#include <string>

#include "platform/SecretStore.h"

namespace orvo {
class Logger;
}

namespace orvo::platform {

// Secrets as one file per item: <root>/<service>/<account>, by default under
// $XDG_DATA_HOME/orvo-host/secrets. Directories are 0700, files 0600; every write replaces
// the file atomically. Service and account names are percent-encoded into file names, so
// no name can leave the root.
class FileSecretStore final : public SecretStore {
 public:
  FileSecretStore(std::string root, Logger& logger);
  static std::string defaultRoot();
  // Whether the existing secrets directory and its service directories can be read; a
  // description of the first that cannot. A missing directory is fine (nothing stored yet).
  std::optional<std::string> checkReadable() const;

  std::optional<Bytes> copy(std::string_view service, std::string_view account) override;
  int update(std::string_view service, std::string_view account, const Bytes& data) override;
  int add(std::string_view service, std::string_view account, const Bytes& data) override;
  int remove(std::string_view service, std::string_view account) override;

 private:
  std::optional<std::string> itemPath(std::string_view service, std::string_view account) const;
  int write(std::string_view service, std::string_view account, const Bytes& data);

  std::string root_;
  Logger& logger_;
  std::mutex mutex_;
};

}  // namespace orvo::platform
