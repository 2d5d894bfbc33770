#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "host/PairingGuard.h"

namespace orvo::testing {
namespace {

using Gate = PairingGuard::Gate;

// A person who mistypes twice and then types the code right pairs within seconds.
TEST(PairingGuard, APersonWhoMistypesIsSlowedBySecondsOnly) {
  PairingGuard guard({}, 0);
  double now = 0;
  for (const double expectedWait : {1.0, 2.0}) {
    ASSERT_EQ(guard.gate("192.0.2.1", now).gate, Gate::open);
    guard.begin("192.0.2.1");
    EXPECT_EQ(guard.gate("192.0.2.1", now).gate, Gate::busy);  // one at a time per address
    EXPECT_FALSE(guard.end("192.0.2.1", /*failed=*/true, now));
    const auto verdict = guard.gate("192.0.2.1", now);
    ASSERT_EQ(verdict.gate, Gate::wait);
    EXPECT_DOUBLE_EQ(verdict.at - now, expectedWait);
    now = verdict.at;
  }
  ASSERT_EQ(guard.gate("192.0.2.1", now).gate, Gate::open);
  guard.begin("192.0.2.1");
  guard.end("192.0.2.1", false, now);
  EXPECT_EQ(guard.failuresSinceRenewal(), 2);
  EXPECT_FALSE(guard.suspended());
}

// One address gets five wrong codes (1, 2, 4, 8 s apart), then none until the person asks
// for a new code; it can never suspend pairing for everyone else.
TEST(PairingGuard, OneAddressAloneIsStoppedAfterFiveAndCannotSuspendPairing) {
  PairingGuard guard({}, 0);
  double now = 0;
  std::vector<double> at;
  for (int i = 0; i < 100; ++i) {
    const auto verdict = guard.gate("198.51.100.9", now);
    if (verdict.gate == Gate::closed) break;
    if (verdict.gate == Gate::wait) now = verdict.at;
    ASSERT_EQ(guard.gate("198.51.100.9", now).gate, Gate::open);
    guard.begin("198.51.100.9");
    at.push_back(now);
    guard.end("198.51.100.9", true, now);
  }
  EXPECT_EQ(at, (std::vector<double>{0, 1, 3, 7, 15}));
  EXPECT_EQ(guard.gate("198.51.100.9", now + 86000).gate, Gate::closed);
  EXPECT_FALSE(guard.suspended());
  EXPECT_EQ(guard.gate("192.0.2.1", now).gate, Gate::open);  // the person's address

  guard.renew(now);
  EXPECT_EQ(guard.gate("198.51.100.9", now).gate, Gate::open);  // a fresh start, delays too
}

// Handshakes in progress hold their share of the budget: twenty addresses at once get
// twenty handshakes, the twenty-first waits, and twenty failures suspend pairing until
// the person asks for a code. The bucket keeps what was spent across that.
TEST(PairingGuard, TwentyFailuresFromManyAddressesSuspendUntilRenewedAndTheBucketRemembers) {
  PairingGuard guard({}, 0);
  for (int i = 0; i < 20; ++i) {
    const std::string address = "10.0.0." + std::to_string(i);
    ASSERT_EQ(guard.gate(address, 0).gate, Gate::open) << i;
    guard.begin(address);
  }
  EXPECT_EQ(guard.gate("10.0.1.1", 0).gate, Gate::busy);
  for (int i = 0; i < 20; ++i) {
    const bool suspended = guard.end("10.0.0." + std::to_string(i), true, 0);
    EXPECT_EQ(suspended, i == 19) << i;
  }
  EXPECT_TRUE(guard.suspended());
  EXPECT_EQ(guard.gate("10.0.1.1", 5000).gate, Gate::closed);
  EXPECT_DOUBLE_EQ(guard.allowance(0), 20);

  guard.renew(10);
  EXPECT_FALSE(guard.suspended());
  EXPECT_EQ(guard.failuresSinceRenewal(), 0);
  EXPECT_EQ(guard.gate("10.0.1.1", 10).gate, Gate::open);
  EXPECT_NEAR(guard.allowance(10), 20 + 10.0 / 1800, 1e-9);
}

// The worst case over a day: an attacker with as many addresses as it likes starts a
// handshake whenever the guard lets one through, every one a wrong code, and the person
// asks for a new code the moment pairing is suspended. In every 24 h no more than 88 codes
// are tried (40 + 86400 / 1800), so the chance of guessing one stays below 10^-4.
TEST(PairingGuard, NoMoreThanEightyEightGuessesInAnyDayFromAnyNumberOfAddresses) {
  PairingGuard guard({}, 0);
  std::deque<double> failures;  // times, over the last 24 h
  std::size_t worstDay = 0;
  std::size_t total = 0;
  int renewals = 0;
  long next = 0;
  double now = 0;
  while (now < 3 * 86400) {
    const std::string address = "a" + std::to_string(next++);
    const auto verdict = guard.gate(address, now);
    if (verdict.gate == Gate::closed) {
      guard.renew(now);
      ++renewals;
      continue;
    }
    if (verdict.gate == Gate::wait) {
      now = verdict.at;
      continue;
    }
    ASSERT_EQ(verdict.gate, Gate::open);
    guard.begin(address);
    guard.end(address, true, now);
    ++total;
    failures.push_back(now);
    while (failures.front() <= now - 86400) failures.pop_front();
    worstDay = std::max(worstDay, failures.size());
    now += 0.001;
  }
  std::printf("[guard] 3 days of attack: %zu wrong codes, %d suspensions, worst 24 h %zu, chance <= %.2e a day\n",
              total, renewals, worstDay, static_cast<double>(worstDay) / (1e6 - static_cast<double>(worstDay)));
  EXPECT_LE(worstDay, 88u);
  EXPECT_LT(static_cast<double>(worstDay) / (1e6 - static_cast<double>(worstDay)), 1e-4);
  EXPECT_GE(renewals, 2);
  EXPECT_LE(guard.trackedAddresses(), 200u);  // addresses that failed, forgotten after a day
}

}  // namespace
}  // namespace orvo::testing
