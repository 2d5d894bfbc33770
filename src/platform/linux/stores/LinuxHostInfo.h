#pragma once

#include "platform/HostInfo.h"

namespace orvo::platform {

// The pretty host name of /etc/machine-info (PRETTY_HOSTNAME), else gethostname().
class LinuxHostInfo final : public HostInfo {
 public:
  explicit LinuxHostInfo(std::string machineInfoPath = "/etc/machine-info");
  std::optional<std::string> localizedName() override;
  std::int64_t processId() override;
  std::optional<std::string> executablePath() override;
  std::optional<std::string> bundlePath() override;

 private:
  std::string machineInfoPath_;
};

// PRETTY_HOSTNAME from the text of a machine-info file (shell-style assignments,
// optionally quoted), or nothing.
std::optional<std::string> prettyHostnameFromMachineInfo(const std::string& content);

}  // namespace orvo::platform
