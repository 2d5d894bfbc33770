#include "platform/linux/stores/StandardPaths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace orvo::platform::linux_paths {
namespace {

std::string home() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/tmp";
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

}  // namespace orvo::platform::linux_paths
