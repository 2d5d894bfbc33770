#include <gtest/gtest.h>

#include "host/LogThrottle.h"
#include "support/RecordingLogger.h"

namespace orvo::testing {
namespace {

// A flood of one kind of line: five lines as they come, then one summary a period with
// the count and the busiest addresses; another kind keeps its own five.
TEST(LogThrottle, FiveLinesAPeriodThenOneSummaryWithCountsAndAddresses) {
  RecordingLogger logger;
  std::vector<double> flushes;
  LogThrottle throttle(logger, 10, 5, [&](double seconds) { flushes.push_back(seconds); });
  for (int i = 0; i < 1000; ++i) {
    const std::string address = i % 10 == 0 ? "127.0.0." + std::to_string(2 + i / 10 % 6) : "127.0.0.2";
    throttle.write("too many handshakes", address, "refusing " + std::to_string(i), 1.0 + i * 0.001);
  }
  throttle.write("handshake timed out", "192.0.2.1", "timed out", 2.0);
  EXPECT_EQ(logger.lines().size(), 6u);
  EXPECT_EQ(logger.countPrefix("refusing "), 5u);
  ASSERT_EQ(flushes.size(), 1u);  // one flush asked for, at the end of the period
  EXPECT_NEAR(flushes[0], 10.0 - 1.005, 1e-6);

  throttle.flush(11.0);
  ASSERT_EQ(logger.lines().size(), 7u);
  const std::string summary = logger.lines().back();
  EXPECT_EQ(summary.rfind("OrvoHost: 995 more “too many handshakes” lines in the last 10 s (127.0.0.2 ×", 0), 0u)
      << summary;
  EXPECT_NE(summary.find("other addresses ×"), std::string::npos) << summary;  // at most four named
  EXPECT_TRUE(flushes.size() == 1u);

  // A new period writes lines again.
  throttle.write("too many handshakes", "127.0.0.2", "refusing again", 12.0);
  EXPECT_TRUE(logger.has("refusing again"));
}

}  // namespace
}  // namespace orvo::testing
