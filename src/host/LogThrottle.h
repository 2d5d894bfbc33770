#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>

namespace orvo {

class Logger;

// Log lines that strangers can cause at will (refused, evicted and failed connections)
// go through this, so that a flood of connections cannot flood the log. Each kind of
// line is written as it comes `linesPerPeriod` times a period; past that the lines are
// counted, and when the period ends one summary says how many were left out, from which
// addresses ("OrvoHost: 1234 more “too many handshakes from one address” lines in the
// last 10 s (127.0.0.2 ×1200, 127.0.0.3 ×34)"). Memory is bounded: a few kinds, and at
// most kMaxAddresses addresses named per kind.
//
// Main queue. `scheduleFlush(seconds)` must call flush() once that much time has passed.
class LogThrottle {
 public:
  static constexpr std::size_t kMaxAddresses = 4;

  LogThrottle(Logger& logger, double period, int linesPerPeriod, std::function<void(double)> scheduleFlush);

  // `kind` names the line in the summary; `address` is the remote address it is about.
  void write(const std::string& kind, const std::string& address, const std::string& line, double now);
  // Writes the summaries of the periods that are over.
  void flush(double now);

 private:
  struct Kind {
    double periodStart = 0;
    int written = 0;
    std::size_t leftOut = 0;
    std::map<std::string, std::size_t> addresses;
    std::size_t otherAddresses = 0;  // left-out lines from addresses beyond kMaxAddresses
  };
  void summarize(const std::string& name, Kind& kind);

  Logger& logger_;
  const double period_;
  const int linesPerPeriod_;
  std::function<void(double)> scheduleFlush_;
  bool flushScheduled_ = false;
  std::map<std::string, Kind> kinds_;
};

}  // namespace orvo
