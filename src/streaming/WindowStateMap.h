#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>

namespace orvo {

// Per-window state is keyed by window id. A client can name any 32-bit id, so every map
// it can fill is capped: far more windows than a desktop shows, yet a client that sends
// ever new ids cannot grow the host's memory without limit.
inline constexpr std::size_t maxTrackedWindows = 4096;

template <class T>
using WindowStateMap = std::unordered_map<std::uint32_t, T>;

// Stores the value for the window. A new window in a full map first pushes out an
// arbitrary other entry (only a client naming thousands of windows ever gets there).
template <class T>
void storeWindowState(WindowStateMap<T>& map, std::uint32_t windowId, T value) {
  if (const auto it = map.find(windowId); it != map.end()) {
    it->second = std::move(value);
    return;
  }
  if (map.size() >= maxTrackedWindows) map.erase(map.begin());
  map.emplace(windowId, std::move(value));
}

// The stored value for the window, or the fallback when there is none.
template <class T>
T windowStateOr(const WindowStateMap<T>& map, std::uint32_t windowId, T fallback) {
  const auto it = map.find(windowId);
  return it == map.end() ? fallback : it->second;
}

}  // namespace orvo
