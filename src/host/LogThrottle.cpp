#include "host/LogThrottle.h"

#include <algorithm>
#include <vector>

#include "core/Log.h"

namespace orvo {

LogThrottle::LogThrottle(Logger& logger, double period, int linesPerPeriod,
                         std::function<void(double)> scheduleFlush)
    : logger_(logger), period_(period), linesPerPeriod_(linesPerPeriod), scheduleFlush_(std::move(scheduleFlush)) {}

void LogThrottle::write(const std::string& kind, const std::string& address, const std::string& line, double now) {
  Kind& entry = kinds_[kind];
  if (now - entry.periodStart >= period_) {
    if (entry.leftOut > 0) summarize(kind, entry);
    entry = Kind{.periodStart = now};
  }
  if (entry.written < linesPerPeriod_) {
    ++entry.written;
    logger_.write(line);
    return;
  }
  ++entry.leftOut;
  if (const auto found = entry.addresses.find(address); found != entry.addresses.end()) {
    ++found->second;
  } else if (entry.addresses.size() < kMaxAddresses) {
    entry.addresses.emplace(address, 1);
  } else {
    ++entry.otherAddresses;
  }
  if (!flushScheduled_) {
    flushScheduled_ = true;
    scheduleFlush_(std::max(0.0, entry.periodStart + period_ - now));
  }
}

void LogThrottle::flush(double now) {
  flushScheduled_ = false;
  double nextDue = -1;
  for (auto it = kinds_.begin(); it != kinds_.end();) {
    Kind& entry = it->second;
    const double due = entry.periodStart + period_;
    if (due <= now) {
      if (entry.leftOut > 0) summarize(it->first, entry);
      it = kinds_.erase(it);
      continue;
    }
    if (entry.leftOut > 0 && (nextDue < 0 || due < nextDue)) nextDue = due;
    ++it;
  }
  if (nextDue >= 0) {
    flushScheduled_ = true;
    scheduleFlush_(nextDue - now);
  }
}

void LogThrottle::summarize(const std::string& name, Kind& entry) {
  std::vector<std::pair<std::string, std::size_t>> from(entry.addresses.begin(), entry.addresses.end());
  std::ranges::sort(from, [](const auto& a, const auto& b) { return a.second > b.second; });
  std::string sources;
  for (const auto& [address, count] : from) {
    sources += (sources.empty() ? "" : ", ") + address + " ×" + std::to_string(count);
  }
  if (entry.otherAddresses > 0) sources += ", other addresses ×" + std::to_string(entry.otherAddresses);
  logLine(logger_, "OrvoHost: " + std::to_string(entry.leftOut) + " more “" + name + "” lines in the last " +
                       std::to_string(static_cast<long long>(period_)) + " s (" + sources + ")");
  entry.leftOut = 0;
  entry.addresses.clear();
  entry.otherAddresses = 0;
}

}  // namespace orvo
