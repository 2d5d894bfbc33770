#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvo {

// The download an appcast item offers: the package, its size and its ed25519 signature.
struct AppcastEnclosure {
  std::string url;
  std::optional<std::uint64_t> length;  // bytes; absent when the feed does not say
  std::string type;                     // MIME type, informational
  std::string edSignature;              // base64 of the 64-byte ed25519 signature
  bool operator==(const AppcastEnclosure&) const = default;
};

// One release in the appcast.
struct AppcastItem {
  std::string versionString;         // <sparkle:version>: the machine version that is compared
  std::string displayVersionString;  // <sparkle:shortVersionString>, else the machine version
  std::optional<std::string> title;
  std::optional<std::string> itemDescription;
  std::optional<AppcastEnclosure> enclosure;
  bool operator==(const AppcastItem&) const = default;
};

}  // namespace orvo
