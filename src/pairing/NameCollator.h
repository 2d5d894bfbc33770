#pragma once

#include <memory>
#include <string_view>

namespace orvo {

// Localized, case-insensitive ordering of user-visible names (accents still count:
// "Émile" sorts with the E's, after "Emile"). Backed by an ICU collator for the user's
// locale or the given one.
class NameCollator {
 public:
  explicit NameCollator(const char* locale = nullptr);
  ~NameCollator();
  NameCollator(const NameCollator&) = delete;
  NameCollator& operator=(const NameCollator&) = delete;

  // Negative, zero or positive as a sorts before, with or after b.
  int compare(std::string_view a, std::string_view b) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvo
