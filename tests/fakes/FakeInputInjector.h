#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/InputInjector.h"

namespace orvo::testing {

// Records every post in order. Posts of a kind can be made to fail.
class FakeInputInjector final : public platform::InputInjector {
 public:
  struct Post {
    std::string kind;  // "mouse", "scroll", "key", "character"
    platform::MouseEventType type = platform::MouseEventType::down;
    platform::MouseButton button = platform::MouseButton::primary;
    Point at;
    std::int64_t clickCount = 0;
    std::int32_t deltaY = 0;
    std::int32_t deltaX = 0;
    std::uint16_t keyCode = 0;
    char32_t scalar = 0;
  };

  bool postMouse(platform::MouseEventType type, platform::MouseButton button, Point at,
                 std::int64_t clickCount) override {
    if (failMouse) return false;
    posts.push_back({.kind = "mouse", .type = type, .button = button, .at = at, .clickCount = clickCount});
    return true;
  }
  bool postScroll(std::int32_t deltaY, std::int32_t deltaX) override {
    posts.push_back({.kind = "scroll", .deltaY = deltaY, .deltaX = deltaX});
    return true;
  }
  bool postKey(std::uint16_t virtualKeyCode) override {
    posts.push_back({.kind = "key", .keyCode = virtualKeyCode});
    return true;
  }
  bool postCharacter(char32_t scalar) override {
    posts.push_back({.kind = "character", .scalar = scalar});
    return true;
  }
  // Takes at most `runLimit` characters per call (all by default), as an injector whose
  // keys or queue are busy would; each call is written down in `runs`.
  std::size_t postCharacters(std::u32string_view scalars) override {
    const std::size_t taken = std::min(scalars.size(), runLimit);
    for (std::size_t i = 0; i < taken; ++i) postCharacter(scalars[i]);
    runs.push_back(taken);
    return taken;
  }
  void releaseAll() override { ++releases; }

  std::vector<Post> posts;
  std::vector<std::size_t> runs;
  std::size_t runLimit = SIZE_MAX;
  bool failMouse = false;
  int releases = 0;
};

}  // namespace orvo::testing
