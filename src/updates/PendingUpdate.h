#pragma once

#include <string>
#include <string_view>

#include "updates/AppcastItem.h"

namespace orvo {

// A found update not yet attended to, as the control panel's reminder shows it.
struct PendingUpdate {
  std::string id;       // the machine version; identifies the update
  std::string version;  // the version shown to people
  std::string title;    // "Orvo Update" when the item has none
  std::string summary;  // the item's description as plain text
  bool operator==(const PendingUpdate&) const = default;

  static PendingUpdate fromItem(const AppcastItem& item);
};

// An item description as plain text: tags removed, runs of three or more line feeds cut to
// two, white space trimmed; "A new Orvo update is available." when nothing is left.
std::string cleanUpdateSummary(std::string_view description);

}  // namespace orvo
