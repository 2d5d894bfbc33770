#include "platform/linux/stores/StandardPaths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace orvo::platform::linux_paths {
namespace {

std::string home() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && *entry->pw_dir) return entry->pw_dir;
  // No home at all. Any shared place (/tmp) could have been prepared by another user, so
  // there is nowhere safe to keep settings or keys.
  throw UnsafePathError("no home directory: set HOME (or the XDG_*_HOME variables)");
}

std::string fromEnvironment(const char* name, const char* fallbackUnderHome) {
  // The XDG rules ignore relative paths.
  if (const char* value = std::getenv(name); value && *value == '/') return value;
  return home() + fallbackUnderHome;
}

}  // namespace

std::string configHome() { return fromEnvironment("XDG_CONFIG_HOME", "/.config"); }
std::string dataHome() { return fromEnvironment("XDG_DATA_HOME", "/.local/share"); }
std::string cacheHome() { return fromEnvironment("XDG_CACHE_HOME", "/.cache"); }
std::string runtimeDir() {
  const char* value = std::getenv("XDG_RUNTIME_DIR");
  return value && *value == '/' ? value : "";
}

std::string runtimeFallbackDir() { return cacheHome() + "/orvo-host/run"; }

std::optional<std::string> ensurePrivateDirectory(const std::string& path, bool createParents) {
  if (createParents) {
    // Each missing parent is made 0700; existing ones are left as they are (the user's own
    // directories, or / and /home).
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      const std::string parent = path.substr(0, slash);
      if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
        return "cannot create " + parent + ": " + std::strerror(errno);
      }
    }
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return "cannot create " + path + ": " + std::strerror(errno);
  }
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return "cannot inspect " + path + ": " + std::strerror(errno);
  if (S_ISLNK(info.st_mode)) return path + " is a symbolic link; refusing to use it (remove it and start again)";
  if (!S_ISDIR(info.st_mode)) return path + " is not a directory; refusing to use it (remove it and start again)";
  if (info.st_uid != ::getuid()) {
    return path + " belongs to another user (uid " + std::to_string(info.st_uid) +
           "); refusing to use it (remove it and start again)";
  }
  if ((info.st_mode & 07777) != 0700 && ::chmod(path.c_str(), 0700) != 0) {
    return "cannot make " + path + " private: " + std::strerror(errno);
  }
  return std::nullopt;
}

}  // namespace orvo::platform::linux_paths
