#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/Log.h"

namespace orvo::testing {

// Keeps every log line for the test to inspect; thread-safe.
class RecordingLogger final : public Logger {
 public:
  void write(std::string_view line) override {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }
  // Whether some line equals `line` exactly.
  bool has(std::string_view line) const {
    std::lock_guard lock(mutex_);
    for (const auto& l : lines_) {
      if (l == line) return true;
    }
    return false;
  }
  // The number of lines starting with `prefix`.
  std::size_t countPrefix(std::string_view prefix) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& l : lines_) n += l.rfind(prefix, 0) == 0;
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace orvo::testing
