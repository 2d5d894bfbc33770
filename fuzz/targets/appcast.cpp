// An appcast as the update feed serves it: the parser reads its items, then the newest
// update is chosen for a few running versions. Version comparison must be a consistent
// order on whatever versions the feed names.
#include <algorithm>

#include "FuzzSupport.h"
#include "updates/Appcast.h"
#include "updates/VersionComparison.h"

using namespace orvo;

namespace {
int sign(int value) { return (value > 0) - (value < 0); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string error;
  const auto appcast = Appcast::parse(fuzz::text(data, size), error);
  if (!appcast) {
    fuzz::check(!error.empty(), "a feed was refused without a reason");
    return 0;
  }
  for (const char* running : {"0", "1.0", "1.2b1", "99999999999999999999.1"}) {
    if (const auto best = appcast->bestUpdate(running)) {
      fuzz::check(compareVersions(best->versionString, running) > 0, "the chosen update is not newer");
    }
  }
  const auto& items = appcast->items;
  const std::size_t count = std::min<std::size_t>(items.size(), 8);
  for (std::size_t i = 0; i < count; ++i) {
    const auto& a = items[i].versionString;
    fuzz::check(!a.empty() && items[i].enclosure && !items[i].enclosure->url.empty(), "an item cannot be installed");
    fuzz::check(compareVersions(a, a) == 0, "a version differs from itself");
    fuzz::check(!appcast->bestUpdate(a) || compareVersions(appcast->bestUpdate(a)->versionString, a) > 0,
                "an update to a version is not newer than it");
    for (std::size_t j = 0; j < count; ++j) {
      const auto& b = items[j].versionString;
      fuzz::check(sign(compareVersions(a, b)) == -sign(compareVersions(b, a)), "version order is not antisymmetric");
      for (std::size_t k = 0; k < count; ++k) {
        const auto& c = items[k].versionString;
        if (compareVersions(a, b) < 0 && compareVersions(b, c) < 0) {
          fuzz::check(compareVersions(a, c) < 0, "version order is not transitive");
        }
      }
    }
  }
  return 0;
}
