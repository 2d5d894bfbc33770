#include "platform/linux/stores/LinuxHostInfo.h"

#include <limits.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "core/AtomicFile.h"

namespace orvo::platform {

LinuxHostInfo::LinuxHostInfo(std::string machineInfoPath) : machineInfoPath_(std::move(machineInfoPath)) {}

std::optional<std::string> prettyHostnameFromMachineInfo(const std::string& content) {
  std::istringstream lines(content);
  std::string line;
  std::optional<std::string> result;
  while (std::getline(lines, line)) {
    constexpr std::string_view kKey = "PRETTY_HOSTNAME=";
    if (line.rfind(kKey, 0) != 0) continue;
    std::string value = line.substr(kKey.size());
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      const char quote = value.front();
      value = value.substr(1, value.size() - 2);
      if (quote == '"') {
        std::string unescaped;
        for (std::size_t i = 0; i < value.size(); ++i) {
          if (value[i] == '\\' && i + 1 < value.size()) ++i;
          unescaped += value[i];
        }
        value = unescaped;
      }
    }
    result = value.empty() ? std::nullopt : std::optional(value);
  }
  return result;
}

std::optional<std::string> LinuxHostInfo::localizedName() {
  if (const auto content = readFile(machineInfoPath_)) {
    if (auto pretty = prettyHostnameFromMachineInfo(*content)) return pretty;
  }
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return std::string(name);
  return std::nullopt;
}

std::int64_t LinuxHostInfo::processId() { return ::getpid(); }

std::optional<std::string> LinuxHostInfo::executablePath() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  return path.string();
}

std::optional<std::string> LinuxHostInfo::bundlePath() {
  const auto executable = executablePath();
  if (!executable) return std::nullopt;
  return std::filesystem::path(*executable).parent_path().string();
}

}  // namespace orvo::platform
