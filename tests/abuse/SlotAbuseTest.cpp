// Abuse runs against the slots and the budget of unauthenticated connections: attackers
// on their own source addresses of 127.0.0.0/8 hold, reopen and close connections to the
// session and pairing listeners, and guess pairing codes, while a paired client connects
// and a person pairs with the code they read. Each case prints what the attackers tried,
// what the host counted and what the client and the person saw.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <regex>
#include <set>
#include <thread>

#include "abuse/AbuseHarness.h"
#include "support/AvahiFixture.h"
#include "support/Unavailable.h"
#include "support/WaitUntil.h"
#include "support/XvfbFixture.h"

namespace orvo::testing {
namespace {

using namespace std::chrono_literals;

std::string fixed(double value, int digits = 2) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

std::string addresses(int first, int count, const std::string& prefix = "127.0.0.") {
  return prefix + std::to_string(first) + "-" + std::to_string(first + count - 1);
}

std::vector<std::string> sourceList(int first, int count, const std::string& prefix) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(prefix + std::to_string(first + i));
  return out;
}

// The host's count of failed pairing attempts, from `ctl status` ("Pairing: open; N of
// 20 failed attempts …"; 20 when suspended).
int hostFailures(const AbuseHost& host) {
  const std::string status = host.ctl({"status"}).output;
  std::smatch match;
  if (std::regex_search(status, match, std::regex("Pairing: open; ([0-9]+) of"))) return std::stoi(match[1]);
  if (status.find("Pairing: suspended after 20") != std::string::npos) return 20;
  return 0;
}

std::string pairingLine(const AbuseHost& host) {
  const std::string status = host.ctl({"status"}).output;
  const auto at = status.find("Pairing: ");
  return at == std::string::npos ? std::string() : status.substr(at, status.find('\n', at) - at);
}

class SlotAbuseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop = std::make_unique<XvfbFixture>(XvfbOptions{.screen = "640x480x24"});
    window = desktop->startTestWindow({"--title", "slot-abuse", "--pattern", "small", "--geometry", "200x100+0+0"});
  }
  void TearDown() override {
    host.reset();
    window = {};
    desktop.reset();
  }

  // The paired client's try: a fresh session to ready. Seconds it took, or a negative
  // number when it did not get there within `limit`.
  double connectOnce(std::uint16_t port, std::chrono::milliseconds limit) {
    const auto start = Clock::now();
    RawSession session(loop, port, credential);
    const bool ready = loop.runUntil([&] { return session.ready() || session.ended(); }, limit) && session.ready();
    return ready ? secondsSince(start) : -1;
  }

  // `tries` connections of the paired client, one after the other with a pause; prints and
  // returns how many were ready within 3 s.
  int tryConnecting(const std::string& label, int tries, std::uint16_t port) {
    std::vector<double> times;
    int within = 0;
    double worst = 0;
    for (int i = 0; i < tries; ++i) {
      const double seconds = connectOnce(port, 5s);
      times.push_back(seconds < 0 ? 99 : seconds);
      within += seconds >= 0 && seconds <= 3.0;
      worst = std::max(worst, seconds < 0 ? 99.0 : seconds);
      loop.runFor(300ms);
    }
    std::string series;
    for (const double t : times) series += " " + fixed(t, 3);
    report(label + ": paired client ready within 3 s in " + std::to_string(within) + " of " + std::to_string(tries) +
           " tries; median " + fixed(median(times), 3) + " s, worst " + fixed(worst, 3) + " s; each:" + series);
    return within;
  }

  ClientLoop loop;
  std::unique_ptr<XvfbFixture> desktop;
  TestWindowProcess window;
  std::unique_ptr<AbuseHost> host;
  HostCredential credential;
};

// One address keeps 64 idle connections to the session port and reopens each the moment
// the host closes it. The host gives that address two handshakes at most and closes
// silent ones after 2 s, so the paired client on 127.0.0.1 connects at once every time;
// the log gets a few lines and a summary every 10 s, not a line per refusal.
TEST_F(SlotAbuseTest, OneAddressHoldingAndReopeningConnectionsCannotKeepAPairedClientOut) {
  host = std::make_unique<AbuseHost>(desktop->display());
  credential = host->pair();
  const std::uint16_t port = host->sessionPort();
  tryConnecting("session, no attacker", 3, port);

  const std::size_t logBefore = host->log().size();
  const std::size_t linesBefore = host->countLog("");
  const auto attackStart = Clock::now();
  ConnectionHolder attacker("127.0.0.2", port, 64);
  loop.runFor(3s);  // every connection held or refused, the first ones past their 2 s
  const int within = tryConnecting("session, 1 attacking address (127.0.0.2, 64 held and reopened)", 20, port);
  // At least 15 s of attack, as long as the flood that once wrote 15 MB of log.
  while (secondsSince(attackStart) < 15.0) loop.runFor(100ms);
  const double attackSeconds = secondsSince(attackStart);
  attacker.stop();
  // The summary of the last period comes once it is over.
  waitUntil([&] { return host->countLog("more “too many handshakes from one address” lines") >= 2; }, 12s);
  const std::string logText = host->log();
  const std::size_t logBytes = logText.size() - logBefore;
  const std::size_t logLines = host->countLog("") - linesBefore;
  report("session attacker: " + std::to_string(attacker.opened.load()) + " connections opened in " +
         fixed(attackSeconds, 1) + " s (" + fixed(static_cast<double>(attacker.opened) / attackSeconds, 0) +
         "/s), " + std::to_string(attacker.closedByHost.load()) + " closed by the host");
  report("session log during the attack: " + std::to_string(logLines) + " lines, " + std::to_string(logBytes) +
         " bytes (" + fixed(static_cast<double>(logBytes) / attackSeconds, 0) + " B/s); summaries: " +
         std::to_string(host->countLog("more “too many handshakes from one address” lines")));
  if (const auto at = logText.rfind("OrvoHost: ", logText.rfind(" more “too many handshakes from one address”"));
      at != std::string::npos) {
    report("session log, a summary: " + logText.substr(at, logText.find('\n', at) - at));
  }
  EXPECT_EQ(within, 20);
  EXPECT_GT(attacker.closedByHost.load(), 1000);  // the attack really ran: the host kept closing
  EXPECT_LT(logBytes, 64u * 1024);
  EXPECT_GE(host->countLog("more “too many handshakes from one address” lines in the last 10 s (127.0.0.2 ×"), 2u);
}

// Eight addresses hold two handshakes each, more than the eight slots, and reopen what the
// host closes. A newcomer from an address with none in progress takes the oldest slot, so
// the paired client still connects.
TEST_F(SlotAbuseTest, EightAddressesFillingEverySlotCannotKeepAPairedClientOut) {
  host = std::make_unique<AbuseHost>(desktop->display());
  credential = host->pair();
  const std::uint16_t port = host->sessionPort();
  std::vector<std::unique_ptr<ConnectionHolder>> attackers;
  for (const auto& source : sourceList(2, 8, "127.0.0.")) {
    attackers.push_back(std::make_unique<ConnectionHolder>(source, port, 4));
  }
  loop.runFor(3s);
  const int within = tryConnecting("session, 8 attacking addresses (" + addresses(2, 8) + ", 4 each)", 10, port);
  long opened = 0, closed = 0;
  for (auto& attacker : attackers) {
    attacker->stop();
    opened += attacker->opened;
    closed += attacker->closedByHost;
  }
  const std::size_t evictions = host->countLog("handshake given up for a newer address");
  report("session attackers: " + std::to_string(opened) + " connections opened, " + std::to_string(closed) +
         " closed by the host; eviction lines " + std::to_string(evictions) + " (throttled)");
  EXPECT_EQ(within, 10);
  EXPECT_GE(evictions, 1u);
}

// Pairing runs with a private avahi-daemon: the client learns the salt from the advertisement.
class PairingAbuseTest : public SlotAbuseTest {
 protected:
  void SetUp() override {
    if (auto reason = AvahiFixture::unavailableReason()) ORVO_UNAVAILABLE(*reason);
    SlotAbuseTest::SetUp();
    avahi = std::make_unique<AvahiFixture>();
    host = std::make_unique<AbuseHost>(desktop->display(),
                                       std::vector<std::pair<std::string, std::string>>{
                                           {"DBUS_SYSTEM_BUS_ADDRESS", avahi->busAddress()}});
    ASSERT_FALSE(avahi->browseUntil("_orvopair._tcp", [](const std::vector<BrowsedService>& services) {
                        return !services.empty() && services.front().txtValue("pinSalt") != nullptr;
                      }).empty())
        << host->log();
  }
  void TearDown() override {
    host.reset();  // before the bus it uses goes
    avahi.reset();
    SlotAbuseTest::TearDown();
  }

  // A person reads the code, waits `delay`, and pairs with what they read.
  bool personPairs(const std::string& name, std::chrono::milliseconds delay, double& seconds, std::string& pin) {
    pin = shownPin(*host);
    if (pin.empty()) return false;
    std::this_thread::sleep_for(delay);
    const PairingRun run = pairWithClient(pin, name);
    seconds = run.seconds;
    if (run.outcome.exitCode != 0) report("pairing failed: " + run.outcome.output);
    return run.outcome.exitCode == 0;
  }

  std::unique_ptr<AvahiFixture> avahi;
};

// The pairing port under the same attacks: one address holds 64 idle connections and
// reopens them; another opens connections, sends a whole record and closes them at once
// (which used to keep slots taken, the queued connections never being read). A person
// pairs with the right code every time.
TEST_F(PairingAbuseTest, HeldAndClosedPairingConnectionsDoNotKeepAPersonFromPairing) {
  const std::uint16_t port = host->pairingPort();
  ConnectionHolder holder("127.0.0.2", port, 64);
  std::atomic<bool> stop = false;
  std::atomic<long> closedAtOnce = 0;
  ::signal(SIGPIPE, SIG_IGN);
  std::thread closer([&] {
    const std::string record = {0x16, 0x03, 0x01, 0x00, 0x04, 'a', 'b', 'c', 'd'};
    while (!stop) {
      const int fd = connectTcpFrom("127.0.0.3", port);
      if (fd >= 0) {
        (void)!::write(fd, record.data(), record.size());
        ::close(fd);
        ++closedAtOnce;
      }
      std::this_thread::sleep_for(5ms);
    }
  });
  std::this_thread::sleep_for(3s);
  int paired = 0;
  std::vector<double> times;
  for (int i = 0; i < 10; ++i) {
    double seconds = 0;
    std::string pin;
    // Two seconds to type the code (and for the advertisement to carry the new salt).
    paired += personPairs("slot-person-" + std::to_string(i), 2s, seconds, pin);
    times.push_back(seconds);
  }
  stop = true;
  closer.join();
  holder.stop();
  std::string series;
  for (const double t : times) series += " " + fixed(t, 2);
  report("pairing under attack: 127.0.0.2 held 64 connections (" + std::to_string(holder.opened.load()) +
         " opened, " + std::to_string(holder.closedByHost.load()) + " closed by the host), 127.0.0.3 opened and closed " +
         std::to_string(closedAtOnce.load()) + "; right-code pairings " + std::to_string(paired) +
         " of 10, seconds each:" + series);
  report("pairing under attack: pairing port " + std::to_string(port) + " → " + std::to_string(host->pairingPort()) +
         "; " + pairingLine(*host));
  EXPECT_EQ(paired, 10);
  EXPECT_EQ(host->pairingPort(), port);
}

// One address sends wrong-code pairing handshakes without pause. The code is never
// replaced for that: a person who reads it and types it 6 s later pairs, 10 times of 10.
// The address gets five guesses, 1, 2, 4 and 8 s apart, then none.
TEST_F(PairingAbuseTest, WrongCodesFromOneAddressLetAPersonPairSixSecondsAfterReading) {
  const std::uint16_t port = host->pairingPort();
  WrongCodeGuessers guesser({"127.0.0.2"}, port);
  std::set<std::string> codes;
  int paired = 0;
  const auto start = Clock::now();
  for (int i = 0; i < 10; ++i) {
    double seconds = 0;
    std::string pin;
    const bool ok = personPairs("patient-person-" + std::to_string(i), 6s, seconds, pin);
    report("person " + std::to_string(i) + ": code " + pin + " read, typed 6 s later: " +
           (ok ? "paired in " + fixed(seconds) + " s" : std::string("refused")) + "; guesses so far " +
           std::to_string(guesser.attempts.load()) + ", judged " + std::to_string(guesser.refusedInHandshake.load()));
    paired += ok;
    codes.insert(pin);
  }
  const double elapsed = secondsSince(start);
  guesser.stop();
  report("one guessing address (127.0.0.2): " + std::to_string(guesser.attempts.load()) + " handshakes tried in " +
         fixed(elapsed, 1) + " s, " + std::to_string(guesser.refusedInHandshake.load()) +
         " judged as wrong codes by the host; host: " + pairingLine(*host));
  report("person reading the code and typing it 6 s later: paired " + std::to_string(paired) + " of 10 (" +
         std::to_string(codes.size()) + " codes read; replaced only by the pairings themselves); \"pairing code "
         "replaced\" log lines: " + std::to_string(host->countLog("pairing code replaced")));
  EXPECT_EQ(paired, 10);
  EXPECT_EQ(guesser.refusedInHandshake.load(), 5);
  EXPECT_EQ(hostFailures(*host), 5);
  EXPECT_EQ(host->countLog("pairing code replaced"), 0u);
}

// Forty addresses guess codes as fast as the host lets them. The twentieth wrong code
// suspends pairing (ctl pin, ctl status and one log line say so); asking for a new code
// gives twenty more, and then the day's budget is spent: no guess is judged until it
// refills, one every 30 min. At most 88 guesses in any 24 h: a chance of 8.8e-5 a day.
TEST_F(PairingAbuseTest, GuessesFromFortyAddressesAreBoundedAndSuspendPairing) {
  const std::uint16_t port = host->pairingPort();
  const auto sources = sourceList(1, 40, "127.0.1.");
  std::vector<std::string> phases;
  long judgedBefore = 0;
  auto guesser = std::make_unique<WrongCodeGuessers>(sources, port);
  for (int phase = 1; phase <= 3; ++phase) {
    const auto start = Clock::now();
    const bool suspended = waitUntil([&] { return shownPin(*host).empty(); }, 15s);
    const double seconds = secondsSince(start);
    const long judged = guesser->refusedInHandshake.load() - judgedBefore;
    judgedBefore = guesser->refusedInHandshake.load();
    const std::string pin = host->ctl({"pin"}).output;
    phases.push_back("phase " + std::to_string(phase) + ": " + std::to_string(judged) + " wrong codes judged in " +
                     fixed(seconds, 1) + " s (" + fixed(static_cast<double>(judged) / seconds, 2) + "/s), " +
                     (suspended ? "suspended" : "not suspended") + "; " + pairingLine(*host));
    report("40 guessing addresses (" + addresses(1, 40, "127.0.1.") + "), " + phases.back());
    if (phase < 3) {
      EXPECT_TRUE(suspended);
      EXPECT_EQ(judged, 20);
      EXPECT_EQ(pin.rfind("Pairing suspended after 20 failed attempts", 0), 0u) << pin;
      EXPECT_EQ(host->countLog("pairing suspended after 20 failed attempts"), static_cast<std::size_t>(phase));
    } else {
      EXPECT_FALSE(suspended);
      EXPECT_EQ(judged, 0);
      EXPECT_NE(pairingLine(*host).find("the next attempt can start in 30 min"), std::string::npos);
    }
    host->ctl({"regenerate-pin"});  // the person asks for a new code
  }
  guesser->stop();
  const long attempts = guesser->attempts.load();
  report("40 guessing addresses: " + std::to_string(attempts) + " handshakes tried, " +
         std::to_string(guesser->refusedInHandshake.load()) +
         " judged; the budget allows 40 + 86400/1800 = 88 in any 24 h, so the chance of guessing a code is at most " +
         "88/10^6 = 8.8e-5 a day");
  EXPECT_EQ(guesser->refusedInHandshake.load(), 40);
}

}  // namespace
}  // namespace orvo::testing
