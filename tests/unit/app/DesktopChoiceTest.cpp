#include "app/DesktopChoice.h"

#include <gtest/gtest.h>

#include <map>

namespace orvo {
namespace {

TEST(DesktopChoiceTest, TheSessionTypeChoosesUnlessOrvoBackendSaysOtherwise) {
  using Kind = DesktopChoice::Kind;
  struct Case {
    std::map<std::string, std::string> environment;
    std::optional<Kind> kind;  // nothing: refused
    std::string reason;
  };
  const Case cases[] = {
      {{}, Kind::x11, "not a Wayland session"},
      {{{"DISPLAY", ":0"}}, Kind::x11, "not a Wayland session"},
      {{{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}}, Kind::waylandPortal, "WAYLAND_DISPLAY is set"},
      {{{"XDG_SESSION_TYPE", "wayland"}}, Kind::waylandPortal, "XDG_SESSION_TYPE is wayland"},
      {{{"XDG_SESSION_TYPE", "x11"}, {"WAYLAND_DISPLAY", ""}}, Kind::x11, "not a Wayland session"},
      {{{"WAYLAND_DISPLAY", "wayland-0"}, {"ORVO_BACKEND", "x11"}}, Kind::x11, "ORVO_BACKEND=x11"},
      {{{"ORVO_BACKEND", "wayland"}}, Kind::waylandPortal, "ORVO_BACKEND=wayland"},
      {{{"ORVO_BACKEND", "mir"}}, std::nullopt, "ORVO_BACKEND must be x11 or wayland, not “mir”"},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto choice = chooseDesktop(error, [&](const char* name) -> const char* {
      const auto it = c.environment.find(name);
      return it == c.environment.end() ? nullptr : it->second.c_str();
    });
    ASSERT_EQ(choice.has_value(), c.kind.has_value()) << c.reason;
    if (choice) {
      EXPECT_EQ(choice->kind, *c.kind);
      EXPECT_EQ(choice->reason, c.reason);
    } else {
      EXPECT_EQ(error, c.reason);
    }
  }
}

}  // namespace
}  // namespace orvo
