#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvo::platform {

struct RunningApplication {
  std::int32_t pid = 0;
  std::optional<std::string> localizedName;
};

// Bringing applications and windows forward, and whether input may be injected at all.
// An application is a process; its windows are the top-level windows that name its
// process id. Result codes: 0 success, anything else a failure to report. Main queue.
class WindowActivation {
 public:
  virtual ~WindowActivation() = default;
  // Whether input injection is available on this display (the process is "trusted").
  virtual bool isTrusted() = 0;
  // The running application of a process, when it has windows or is otherwise known.
  virtual std::optional<RunningApplication> runningApplication(std::int32_t pid) = 0;
  // Makes the application's frontmost window the active window, ignoring other apps.
  virtual bool activate(std::int32_t pid) = 0;
  // The application's windows, front first, by window number.
  virtual int applicationWindows(std::int32_t pid, std::vector<std::uint32_t>& windows) = 0;
  // Makes the window the application's focused window.
  virtual int setFocusedWindow(std::int32_t pid, std::uint32_t window) = 0;
  // Raises the window above its siblings.
  virtual int raise(std::uint32_t window) = 0;
};

}  // namespace orvo::platform
