#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace orvo::platform {

// Reads what a package file says about itself. It runs a program and blocks, so it belongs
// on a worker thread; safe to call from any thread.
class PackageReader {
 public:
  struct Fields {
    std::string package;  // the package's name ("Package:")
    std::string version;  // its version ("Version:")
    bool operator==(const Fields&) const = default;
  };
  virtual ~PackageReader() = default;
  // The name and version in the package's control data; nothing, with the reason in
  // `error`, when the file is no package or they cannot be read.
  virtual std::optional<Fields> readFields(const std::filesystem::path& package, std::string& error) = 0;
  // Whether the package manager takes `candidate` for a newer version than `current` (its
  // own ordering, which the installer goes by); nothing, with the reason in `error`, when
  // it cannot compare them.
  virtual std::optional<bool> isNewerVersion(const std::string& candidate, const std::string& current,
                                             std::string& error) = 0;
};

}  // namespace orvo::platform
