#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace orvo::platform::linux_paths {

// A place that another user could have prepared for us (a symlink, or a directory of
// theirs under /tmp) and that we therefore refuse to use.
class UnsafePathError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// $XDG_CONFIG_HOME, else ~/.config.
std::string configHome();
// $XDG_DATA_HOME, else ~/.local/share.
std::string dataHome();
// $XDG_CACHE_HOME, else ~/.cache.
std::string cacheHome();
// $XDG_RUNTIME_DIR when set, else empty.
std::string runtimeDir();

// Where the host keeps its runtime files (the control socket) when $XDG_RUNTIME_DIR is not
// set: $XDG_CACHE_HOME/orvo-host/run, else ~/.cache/orvo-host/run. A place under the
// user's own directories, never a shared one such as /tmp, where another user could create
// the directory first. Only the path; see ensurePrivateDirectory.
std::string runtimeFallbackDir();

// Makes sure `path` is a directory of ours that only we can enter: created 0700 when
// missing; when it exists it must be a real directory (lstat, not a symlink) owned by this
// user, and its mode is tightened to 0700. Returns a description of the fault otherwise.
// With `createParents`, missing parents are created first (0700, as the user's own).
std::optional<std::string> ensurePrivateDirectory(const std::string& path, bool createParents = false);

}  // namespace orvo::platform::linux_paths
