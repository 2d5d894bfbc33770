#pragma once

#include <string_view>

namespace orvo {

// Compares two machine versions: negative when `a` is older than `b`, 0 when they are the
// same version, positive when `a` is newer.
//
// A version is read as runs of digits (compared as numbers, of any length) and runs of
// letters (compared case-insensitively); dots and any other characters only separate
// runs. A missing part counts as 0, so "1.0" == "1.0.0" and "1.10" > "1.9". A run of
// letters marks a pre-release, which comes before the release it leads up to:
// "1.2b1" < "1.2" < "1.2.1", and "1.2a3" < "1.2b1" < "1.2rc1".
int compareVersions(std::string_view a, std::string_view b);

}  // namespace orvo
