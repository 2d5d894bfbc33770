#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace orvo {

// Writes a file so that a crash at any moment leaves either the old or the new content:
// write a temporary file beside it, fsync, set the mode, rename over the target, fsync
// the directory. Returns an error description, or nothing on success.
std::optional<std::string> writeFileAtomically(const std::string& path, std::string_view content, mode_t mode);

// Creates the directory and its missing parents; the last component gets `mode` and is
// tightened to it when it exists with looser permissions. Returns an error description.
std::optional<std::string> makeDirectories(const std::string& path, mode_t mode);

// Reads a whole file. Returns nothing when it does not exist; `error` is set when it
// exists but cannot be read.
std::optional<std::string> readFile(const std::string& path, std::string* error = nullptr);

}  // namespace orvo
