#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvo::platform {

// Facts about the machine and the process the host runs as.
class HostInfo {
 public:
  virtual ~HostInfo() = default;
  // The computer's user-visible name, when the system gives one.
  virtual std::optional<std::string> localizedName() = 0;
  virtual std::int64_t processId() = 0;
  // The path of the running executable, when known.
  virtual std::optional<std::string> executablePath() = 0;
  // The directory of the installed program (the "bundle"), when known.
  virtual std::optional<std::string> bundlePath() = 0;
};

// Holds off idle sleep and display blanking while held. Main queue.
class SleepInhibitor {
 public:
  virtual ~SleepInhibitor() = default;
  virtual void begin(const std::string& reason) = 0;
  virtual void end() = 0;
};

}  // namespace orvo::platform
