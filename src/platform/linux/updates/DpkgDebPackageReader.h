#pragma once

#include <chrono>
#include <string>

#include "platform/PackageReader.h"

namespace orvo::platform {

// Reads the control fields of a .deb with `dpkg-deb --field PACKAGE Package Version` and
// compares versions with `dpkg --compare-versions` (dpkg is part of every Debian system),
// so that "newer" means what it means to apt. The programs' output is bounded (64 KiB) and
// so is their time (`timeout`, then they are killed). Blocks; any thread.
class DpkgDebPackageReader final : public PackageReader {
 public:
  // `program` is run as `program --field PACKAGE Package Version`; tests may put a
  // stand-in there.
  explicit DpkgDebPackageReader(std::string program = "dpkg-deb",
                                   std::chrono::milliseconds timeout = std::chrono::seconds(30));
  std::optional<Fields> readFields(const std::filesystem::path& package, std::string& error) override;
  std::optional<bool> isNewerVersion(const std::string& candidate, const std::string& current,
                                     std::string& error) override;

 private:
  std::string program_;
  std::chrono::milliseconds timeout_;
};

}  // namespace orvo::platform
