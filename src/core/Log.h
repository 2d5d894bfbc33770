#pragma once

#include <concepts>
#include <string>
#include <string_view>
#include <type_traits>

namespace orvo {

// Where the host's log lines go: plain lines, no levels, no timestamps. Implementations
// are safe to call from any thread and never interleave two lines.
class Logger {
 public:
  virtual ~Logger() = default;
  virtual void write(std::string_view line) = 0;
};

// Standard output, one write and one flush per line.
class StdoutLogger final : public Logger {
 public:
  void write(std::string_view line) override;
};

// A double as the log shows it: the shortest text that reads back as the same value,
// with ".0" kept on integral values ("500.0", "0.7229", "1e+20").
std::string formatDouble(double value);

// Text that a client sent, made safe for a log line: control characters (C0, DEL, C1)
// become visible escapes such as "\n" or "\x1b", so a client cannot forge log lines.
std::string escapeForLog(std::string_view text);

namespace detail {
inline std::string logItem(std::string_view text) { return std::string(text); }
inline std::string logItem(const char* text) { return std::string(text); }
inline std::string logItem(const std::string& text) { return text; }
inline std::string logItem(bool value) { return value ? "true" : "false"; }
inline std::string logItem(double value) { return formatDouble(value); }
template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>)
std::string logItem(T value) {
  return std::to_string(value);
}
}  // namespace detail

// Writes the items as one line, joined by one blank.
template <class... Items>
void logLine(Logger& logger, const Items&... items) {
  std::string line;
  bool first = true;
  ((line += (first ? "" : " "), line += detail::logItem(items), first = false), ...);
  logger.write(line);
}

}  // namespace orvo
