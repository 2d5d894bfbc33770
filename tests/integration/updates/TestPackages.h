#pragma once

#include <sodium.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "support/ChildProcess.h"

namespace orvo::testing {

// Builds a real Debian package with dpkg-deb in `directory` and returns its bytes: control
// data naming `name` and `version`, and one file of `payloadBytes` random bytes (stored
// uncompressed, so that the package is about that long). Throws std::runtime_error with
// dpkg-deb's output when it cannot be built.
inline std::string buildTestPackage(const std::string& directory, const std::string& name, const std::string& version,
                                    std::size_t payloadBytes = 4096) {
  namespace fs = std::filesystem;
  const std::string root = directory + "/" + name + "_" + version + ".root";
  const std::string deb = directory + "/" + name + "_" + version + "_all.deb";
  fs::remove_all(root);
  fs::create_directories(root + "/DEBIAN");
  fs::create_directories(root + "/usr/share/" + name);
  std::ofstream(root + "/DEBIAN/control") << "Package: " << name << "\nVersion: " << version
                                          << "\nArchitecture: all\nMaintainer: Test <test@localhost>\n"
                                          << "Description: a package made by a test\n";
  std::string payload(payloadBytes, '\0');
  randombytes_buf(payload.data(), payload.size());
  std::ofstream(root + "/usr/share/" + name + "/payload", std::ios::binary) << payload;
  const auto built = runToEnd({"dpkg-deb", "--root-owner-group", "-Znone", "--build", root, deb});
  if (built.exitCode != 0) throw std::runtime_error("dpkg-deb failed: " + built.output);
  fs::remove_all(root);
  return readFile(deb);
}

}  // namespace orvo::testing
