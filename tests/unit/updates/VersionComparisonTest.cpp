#include "updates/VersionComparison.h"

#include <gtest/gtest.h>

namespace orvo {
namespace {

TEST(CompareVersions, OrdersReleasesAndPreReleases) {
  struct Case {
    const char* older;
    const char* newer;
  };
  const Case ordered[] = {
      {"1.9", "1.10"},
      {"1.0", "1.0.1"},
      {"1.0.0", "1.0.0.1"},
      {"0.9.9", "1.0"},
      {"1.2b1", "1.2"},
      {"1.2b1", "1.2b2"},
      {"1.2b9", "1.2b10"},
      {"1.2a3", "1.2b1"},
      {"1.2b1", "1.2rc1"},
      {"1.2RC1", "1.2"},
      {"1.2", "1.2.1b1"},
      {"1.0.0b1", "1.0"},
      {"2", "10"},
      {"99999999999999999999", "100000000000000000000"},
      {"", "0.1"},
  };
  for (const auto& c : ordered) {
    EXPECT_LT(compareVersions(c.older, c.newer), 0) << c.older << " < " << c.newer;
    EXPECT_GT(compareVersions(c.newer, c.older), 0) << c.newer << " > " << c.older;
  }
  const Case same[] = {
      {"1.0", "1.0.0"}, {"1.0", "1.0"}, {"1.01", "1.1"}, {"1.2-b1", "1.2b1"}, {"1.2rc1", "1.2RC1"}, {"", "0"},
      {" 1.0 ", "1.0"},
  };
  for (const auto& c : same) {
    EXPECT_EQ(compareVersions(c.older, c.newer), 0) << c.older << " == " << c.newer;
    EXPECT_EQ(compareVersions(c.newer, c.older), 0) << c.newer << " == " << c.older;
  }
}

}  // namespace
}  // namespace orvo
