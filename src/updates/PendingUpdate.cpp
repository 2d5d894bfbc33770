#include "updates/PendingUpdate.h"

#include <array>
#include <regex>

namespace orvo {
namespace {

// White space and newlines in UTF-8: ASCII, NEL, no-break space, ogham space, the
// typographic spaces U+2000..U+200A, line and paragraph separators, narrow no-break,
// medium mathematical and ideographic spaces.
constexpr std::array<std::string_view, 19> kWideSpaces = {
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

// Length of the white space that starts (or ends) `text`, in bytes; 0 when none.
std::size_t spaceAtFront(std::string_view text) {
  if (text.empty()) return 0;
  if (std::string_view(" \t\n\r\f\v").find(text.front()) != std::string_view::npos) return 1;
  for (auto space : kWideSpaces) {
    if (text.starts_with(space)) return space.size();
  }
  return 0;
}
std::size_t spaceAtBack(std::string_view text) {
  if (text.empty()) return 0;
  if (std::string_view(" \t\n\r\f\v").find(text.back()) != std::string_view::npos) return 1;
  for (auto space : kWideSpaces) {
    if (text.ends_with(space)) return space.size();
  }
  return 0;
}

std::string_view trimmed(std::string_view text) {
  while (const auto n = spaceAtFront(text)) text.remove_prefix(n);
  while (const auto n = spaceAtBack(text)) text.remove_suffix(n);
  return text;
}

}  // namespace

std::string cleanUpdateSummary(std::string_view description) {
  static const std::regex tag("<[^>]+>");
  static const std::regex lineFeeds("\n{3,}");
  std::string text = std::regex_replace(std::string(description), tag, "");
  text = std::regex_replace(text, lineFeeds, "\n\n");
  text = std::string(trimmed(text));
  if (text.empty()) return "A new Orvo update is available.";
  return text;
}

PendingUpdate PendingUpdate::fromItem(const AppcastItem& item) {
  return PendingUpdate{
      .id = item.versionString,
      .version = item.displayVersionString,
      .title = item.title ? *item.title : "Orvo Update",
      .summary = cleanUpdateSummary(item.itemDescription.value_or("")),
  };
}

}  // namespace orvo
