#include "platform/linux/desktop/XdgAutostartEntry.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "core/AtomicFile.h"
#include "platform/linux/stores/LinuxHostInfo.h"
#include "platform/linux/stores/StandardPaths.h"

namespace orvo::platform {
namespace {

constexpr const char* kEntryName = "orvo-host.desktop";

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The values of the keys of the [Desktop Entry] group (localized keys left out).
struct EntryKeys {
  std::optional<std::string> exec;
  std::optional<std::string> hidden;
  std::optional<std::string> gnomeEnabled;
};

EntryKeys readEntryKeys(const std::string& content) {
  EntryKeys keys;
  std::istringstream lines(content);
  std::string line;
  bool inMainGroup = false;
  while (std::getline(lines, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inMainGroup = line == "[Desktop Entry]";
      continue;
    }
    if (!inMainGroup) continue;
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const auto key = trim(line.substr(0, equals));
    auto value = trim(line.substr(equals + 1));
    if (key == "Exec") keys.exec = value;
    if (key == "Hidden") keys.hidden = value;
    if (key == "X-GNOME-Autostart-enabled") keys.gnomeEnabled = value;
  }
  return keys;
}

// Undoes the escapes of a desktop-entry string value (\s \n \t \r \\).
std::string unescapeValue(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    const char next = value[++i];
    switch (next) {
      case 's': out += ' '; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      default: out += next; break;  // "\\" and anything unknown
    }
  }
  return out;
}

// The program path as one argument of an Exec line, quoted where the format asks for it,
// then escaped as a string value.
std::string execArgument(const std::string& path) {
  static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string argument;
  for (char c : path) {
    if (c == '%') argument += "%%";
    else argument += c;
  }
  if (argument.find_first_of(kReserved) != std::string::npos) {
    std::string quoted = "\"";
    for (char c : argument) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
      quoted += c;
    }
    argument = quoted + "\"";
  }
  std::string escaped;
  for (char c : argument) {
    if (c == '\\') escaped += "\\\\";
    else escaped += c;
  }
  return escaped;
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string autostartEntryText(const std::string& executablePath) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Orvo Host\n"
         "Comment=Mirror desktop windows to paired tablets and headsets\n"
         "Exec=" + execArgument(executablePath) + "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

std::optional<std::string> desktopExecProgram(const std::string& execValue) {
  const std::string line = unescapeValue(execValue);
  std::size_t i = line.find_first_not_of(" \t");
  if (i == std::string::npos) return std::nullopt;
  std::string program;
  if (line[i] == '"') {
    bool closed = false;
    for (++i; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        program += line[++i];
      } else if (line[i] == '"') {
        closed = true;
        break;
      } else {
        program += line[i];
      }
    }
    if (!closed) return std::nullopt;
  } else {
    const auto end = line.find_first_of(" \t", i);
    program = line.substr(i, end == std::string::npos ? std::string::npos : end - i);
  }
  std::string out;
  for (std::size_t k = 0; k < program.size(); ++k) {
    out += program[k];
    if (program[k] == '%' && k + 1 < program.size() && program[k + 1] == '%') ++k;
  }
  if (out.empty()) return std::nullopt;
  return out;
}

XdgAutostartEntry::XdgAutostartEntry(std::string configHome, std::function<std::optional<std::string>()> executablePath)
    : directory_(std::move(configHome) + "/autostart"),
      entryPath_(directory_ + "/" + kEntryName),
      executablePath_(std::move(executablePath)) {}

XdgAutostartEntry XdgAutostartEntry::forCurrentUser() {
  return XdgAutostartEntry(linux_paths::configHome(), [] { return LinuxHostInfo().executablePath(); });
}

LoginItemStatus XdgAutostartEntry::status() {
  const auto content = readFile(entryPath_);
  if (!content) return LoginItemStatus::notRegistered;
  const auto keys = readEntryKeys(*content);
  if (keys.hidden == "true" || keys.gnomeEnabled == "false") return LoginItemStatus::notRegistered;
  const auto program = keys.exec ? desktopExecProgram(*keys.exec) : std::nullopt;
  if (!program) return LoginItemStatus::notFound;
  // A bare name is looked up on PATH by the session; only an absolute path can be checked.
  if ((*program)[0] == '/' && !isExecutableFile(*program)) return LoginItemStatus::notFound;
  return LoginItemStatus::enabled;
}

std::optional<std::string> XdgAutostartEntry::registerItem() {
  const auto executable = executablePath_ ? executablePath_() : std::nullopt;
  if (!executable || executable->empty() || (*executable)[0] != '/') {
    return "Cannot find the path of the running program";
  }
  if (executable->find_first_of("\n\r") != std::string::npos) {
    return "The program's path " + *executable + " cannot be written into an autostart entry";
  }
  std::error_code error;
  std::filesystem::create_directories(directory_, error);
  if (error) return "Cannot create " + directory_ + ": " + error.message();
  return writeFileAtomically(entryPath_, autostartEntryText(*executable), 0644);
}

std::optional<std::string> XdgAutostartEntry::unregisterItem() {
  if (::unlink(entryPath_.c_str()) != 0 && errno != ENOENT) {
    return "Cannot remove " + entryPath_ + ": " + std::strerror(errno);
  }
  return std::nullopt;
}

}  // namespace orvo::platform
