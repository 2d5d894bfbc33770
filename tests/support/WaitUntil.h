#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace orvo::testing {

// Polls `condition` every 10 ms until it holds or `timeout` passes; returns the last answer.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace orvo::testing
