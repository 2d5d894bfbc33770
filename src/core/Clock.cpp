#include "core/Clock.h"

#include <chrono>

namespace orvo {

double SystemClock::now() const {
  const auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(sinceUnixEpoch).count() - kSecondsFrom1970To2001;
}

}  // namespace orvo
