#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace orvo::platform {

// Hands a verified package to whatever installs packages on this system. Main queue.
class PackageInstaller {
 public:
  struct Result {
    std::optional<std::string> error;
    std::string message;  // for the user: what happened, and how to install by hand
  };
  virtual ~PackageInstaller() = default;
  virtual Result install(const std::filesystem::path& package) = 0;
};

}  // namespace orvo::platform
