#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "updates/AppcastItem.h"

namespace orvo {

// An RSS 2.0 appcast: the releases on offer, newest or not, in feed order.
//
// Each <item> under <rss><channel> carries <sparkle:version> (the machine version,
// compared), <sparkle:shortVersionString> (shown), <title>, <description> and
// <enclosure url length type sparkle:edSignature>. Both versions may also sit on the
// enclosure as attributes. Items without a machine version or without an enclosure URL
// cannot be installed and are left out.
struct Appcast {
  std::vector<AppcastItem> items;

  // Parses the feed; on failure returns nothing and puts the reason into `error`.
  static std::optional<Appcast> parse(std::string_view xml, std::string& error);

  // The newest item whose machine version is newer than `currentVersion`, if any.
  std::optional<AppcastItem> bestUpdate(std::string_view currentVersion) const;
};

}  // namespace orvo
