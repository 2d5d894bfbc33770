#include "updates/VersionComparison.h"

#include <cctype>

namespace orvo {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Walks the runs of one version. A run is digits, letters, or the end of the text.
class RunReader {
 public:
  enum class Kind { number, text, end };
  struct Run {
    Kind kind;
    std::string_view text;
  };

  explicit RunReader(std::string_view version) : rest_(version) {}

  Run next() {
    while (!rest_.empty() && !isDigit(rest_.front()) && !isLetter(rest_.front())) rest_.remove_prefix(1);
    if (rest_.empty()) return {Kind::end, {}};
    const bool digits = isDigit(rest_.front());
    std::size_t length = 0;
    while (length < rest_.size() && (digits ? isDigit(rest_[length]) : isLetter(rest_[length]))) ++length;
    Run run{digits ? Kind::number : Kind::text, rest_.substr(0, length)};
    rest_.remove_prefix(length);
    return run;
  }

 private:
  std::string_view rest_;
};

// Numbers of any length: leading zeros dropped, then longer is larger, then digit by digit.
int compareNumbers(std::string_view a, std::string_view b) {
  while (!a.empty() && a.front() == '0') a.remove_prefix(1);
  while (!b.empty() && b.front() == '0') b.remove_prefix(1);
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  const int order = a.compare(b);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

int compareTexts(std::string_view a, std::string_view b) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const char x = lower(a[i]);
    const char y = lower(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

using Kind = RunReader::Kind;

// One pair of runs at the same position. The end of a version acts as 0 against a number
// and as the release against a pre-release text.
int compareRuns(const RunReader::Run& a, const RunReader::Run& b) {
  if (a.kind == Kind::number && b.kind == Kind::number) return compareNumbers(a.text, b.text);
  if (a.kind == Kind::text && b.kind == Kind::text) return compareTexts(a.text, b.text);
  if (a.kind == Kind::end && b.kind == Kind::number) return compareNumbers("0", b.text);
  if (a.kind == Kind::number && b.kind == Kind::end) return compareNumbers(a.text, "0");
  // A pre-release text is older than anything else at its place: a number or the end.
  if (a.kind == Kind::text) return -1;
  return 1;
}

}  // namespace

int compareVersions(std::string_view a, std::string_view b) {
  RunReader left(a);
  RunReader right(b);
  while (true) {
    const auto x = left.next();
    const auto y = right.next();
    if (x.kind == Kind::end && y.kind == Kind::end) return 0;
    if (const int order = compareRuns(x, y)) return order;
  }
}

}  // namespace orvo
