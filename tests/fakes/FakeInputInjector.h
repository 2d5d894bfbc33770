#pragma once

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
  void releaseAll() override { ++releases; }

  std::vector<Post> posts;
  bool failMouse = false;
  int releases = 0;
};

}  // namespace orvo::testing
