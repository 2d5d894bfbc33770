#pragma once

#include <mutex>
#include <vector>

#include "platform/WindowServer.h"

namespace orvo::testing {

// A desktop whose windows the test lists front to back.
class FakeWindowServer final : public platform::WindowServer {
 public:
  struct Window {
    platform::WindowInfo info;
    bool onScreen = true;
  };

  std::vector<platform::WindowInfo> copyWindowInfo(platform::WindowListOption option) override {
    std::lock_guard lock(mutex_);
    ++listCopies;
    std::vector<platform::WindowInfo> out;
    for (const auto& w : windows) {
      if (option == platform::WindowListOption::all || w.onScreen) out.push_back(w.info);
    }
    return out;
  }

  // Adds a normal window behind the ones already there.
  void add(std::uint32_t id, Rect bounds, std::string owner = "App", std::string title = "", std::int32_t pid = 100,
           std::int64_t layer = 0, bool onScreen = true) {
    std::lock_guard lock(mutex_);
    windows.push_back({platform::WindowInfo{layer, id, owner, pid, title, bounds}, onScreen});
  }

  std::vector<Window> windows;
  int listCopies = 0;  // copyWindowInfo calls

 private:
  std::mutex mutex_;
};

}  // namespace orvo::testing
