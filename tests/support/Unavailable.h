#pragma once

// The one way a test gives up because the machine lacks something it needs (a program, a
// daemon, root): it skips with the reason, or, when ORVO_REQUIRE_ALL=1 (as scripts/test.sh
// sets it), fails with that reason, so a suite can never pass by skipping.
//
//   if (auto why = AvahiFixture::unavailableReason()) ORVO_UNAVAILABLE(*why);
//
// Usable in a test body, SetUp, or SetUpTestSuite (it returns from the function).

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace orvo::testing {

// Whether every component must be present (ORVO_REQUIRE_ALL set to anything but "" or "0").
inline bool requireAllComponents() {
  const char* value = std::getenv("ORVO_REQUIRE_ALL");
  return value && *value && std::strcmp(value, "0") != 0;
}

}  // namespace orvo::testing

#define ORVO_UNAVAILABLE(reason)                                                            \
  do {                                                                                      \
    const std::string orvoUnavailableReason_ = (reason);                                    \
    if (::orvo::testing::requireAllComponents()) {                                          \
      GTEST_FAIL() << orvoUnavailableReason_ << " (ORVO_REQUIRE_ALL is set: a missing "     \
                   << "component fails the test)";                                          \
    }                                                                                       \
    GTEST_SKIP() << orvoUnavailableReason_;                                                 \
  } while (false)
