#include "updates/Appcast.h"

#include <charconv>
#include <pugixml.hpp>

#include "updates/VersionComparison.h"

namespace orvo {
namespace {

// All text inside a node, in document order (plain text and CDATA sections alike). Walks
// the tree without recursion: a feed can nest elements as deep as its size allows, far
// deeper than the stack would hold.
void collectText(const pugi::xml_node& node, std::string& out) {
  pugi::xml_node current = node.first_child();
  while (current) {
    if (current.type() == pugi::node_pcdata || current.type() == pugi::node_cdata) {
      out += current.value();
    } else if (current.type() == pugi::node_element && current.first_child()) {
      current = current.first_child();
      continue;
    }
    // On to the next node in document order that is still inside `node`.
    while (!current.next_sibling()) {
      current = current.parent();
      if (current == node) return;
    }
    current = current.next_sibling();
  }
}

// The text of a child element, or nothing when it is absent.
std::optional<std::string> childText(const pugi::xml_node& node, const char* name) {
  const auto child = node.child(name);
  if (!child) return std::nullopt;
  std::string text;
  collectText(child, text);
  return text;
}

std::string trimmed(std::string text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::optional<std::uint64_t> parseLength(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<AppcastItem> readItem(const pugi::xml_node& node) {
  const auto enclosureNode = node.child("enclosure");
  AppcastItem item;
  item.versionString = trimmed(childText(node, "sparkle:version").value_or(""));
  if (item.versionString.empty()) item.versionString = trimmed(enclosureNode.attribute("sparkle:version").as_string());
  item.displayVersionString = trimmed(childText(node, "sparkle:shortVersionString").value_or(""));
  if (item.displayVersionString.empty()) {
    item.displayVersionString = trimmed(enclosureNode.attribute("sparkle:shortVersionString").as_string());
  }
  if (item.displayVersionString.empty()) item.displayVersionString = item.versionString;
  if (auto title = childText(node, "title")) item.title = trimmed(std::move(*title));
  item.itemDescription = childText(node, "description");

  const std::string url = trimmed(enclosureNode.attribute("url").as_string());
  if (item.versionString.empty() || url.empty()) return std::nullopt;
  item.enclosure = AppcastEnclosure{
      .url = url,
      .length = parseLength(trimmed(enclosureNode.attribute("length").as_string())),
      .type = enclosureNode.attribute("type").as_string(),
      .edSignature = trimmed(enclosureNode.attribute("sparkle:edSignature").as_string()),
  };
  return item;
}

}  // namespace

std::optional<Appcast> Appcast::parse(std::string_view xml, std::string& error) {
  pugi::xml_document document;
  // No entity expansion beyond the predefined ones: pugixml does not read DTDs.
  const auto result = document.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!result) {
    error = std::string(result.description()) + " at byte " + std::to_string(result.offset);
    return std::nullopt;
  }
  const auto channel = document.child("rss").child("channel");
  if (!channel) {
    error = "no <rss><channel> element";
    return std::nullopt;
  }
  Appcast appcast;
  for (const auto& node : channel.children("item")) {
    if (auto item = readItem(node)) appcast.items.push_back(std::move(*item));
  }
  return appcast;
}

std::optional<AppcastItem> Appcast::bestUpdate(std::string_view currentVersion) const {
  const AppcastItem* best = nullptr;
  for (const auto& item : items) {
    if (compareVersions(item.versionString, currentVersion) <= 0) continue;
    if (!best || compareVersions(item.versionString, best->versionString) > 0) best = &item;
  }
  if (!best) return std::nullopt;
  return *best;
}

}  // namespace orvo
