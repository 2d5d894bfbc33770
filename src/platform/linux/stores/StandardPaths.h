#pragma once

#include <string>

namespace orvo::platform::linux_paths {

// $XDG_CONFIG_HOME, else ~/.config.
std::string configHome();
// $XDG_DATA_HOME, else ~/.local/share.
std::string dataHome();
// $XDG_CACHE_HOME, else ~/.cache.
std::string cacheHome();
// $XDG_RUNTIME_DIR when set, else empty.
std::string runtimeDir();

}  // namespace orvo::platform::linux_paths
