#include <gtest/gtest.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/avahi/AvahiServiceDiscovery.h"
#include "support/AvahiFixture.h"
#include "support/RecordingLogger.h"
#include "support/Unavailable.h"

namespace orvo::platform {
namespace {

using namespace std::chrono_literals;
using testing::AvahiFixture;
using testing::BrowsedService;

const std::string kType = "_orvo._tcp.";
const std::string kDomain = "local.";
const std::string kName = "Orvo on test-host";
const std::string kHostId = "6F1C2A8E-0B7D-4C39-9E51-3D2B8A4F7C10";

const TXTRecord kInitialTXT = {{"hostId", kHostId}, {"hostName", "test-host"}};
const TXTRecord kRefreshedTXT = {{"hostId", kHostId},
                                 {"pairMode", "pin"},
                                 {"pinSalt", "q83vEjRWeJA="},
                                 {"pinExp", "1767225600"},
                                 {"pairPort", "50123"}};
const TXTRecord kRegeneratedTXT = {{"hostId", kHostId},
                                   {"pairMode", "pin"},
                                   {"pinSalt", "ASNFZ4mrze8="},
                                   {"pinExp", "1767226200"},
                                   {"pairPort", "50124"}};

// What a service's delegate heard, in order.
struct Heard {
  std::vector<std::string> published;  // the service's name at each didPublish
  std::vector<std::string> failures;

  NetService::Delegate delegate() {
    return {.didPublish = [this](const NetService& service) { published.push_back(service.name()); },
            .didNotPublish = [this](const NetService&, const std::string& error) { failures.push_back(error); }};
  }
};

// An mDNS response from another host ("other-host", 127.0.0.3) announcing a service of
// its own under `instance`: PTR, SRV (port 9), TXT "peer=1" and the host's address.
std::vector<std::uint8_t> foreignClaim(const std::string& instance) {
  std::vector<std::uint8_t> packet = {0x00, 0x00, 0x84, 0x00, 0, 0, 0, 4, 0, 0, 0, 0};  // response, 4 answers
  auto u16 = [&](unsigned value) {
    packet.push_back(static_cast<std::uint8_t>(value >> 8));
    packet.push_back(static_cast<std::uint8_t>(value));
  };
  auto text = [&](const std::string& string) {  // a length-prefixed string (a label, a TXT string)
    packet.push_back(static_cast<std::uint8_t>(string.size()));
    packet.insert(packet.end(), string.begin(), string.end());
  };
  auto name = [&](const std::vector<std::string>& labels) {
    for (const auto& label : labels) text(label);
    packet.push_back(0);
  };
  // One record; `rdata` appends its data. Unique records carry the cache-flush bit.
  auto record = [&](const std::vector<std::string>& owner, unsigned type, bool unique,
                    const std::function<void()>& rdata) {
    name(owner);
    u16(type);
    u16(unique ? 0x8001 : 0x0001);
    u16(0);
    u16(120);  // TTL
    std::size_t lengthAt = packet.size();
    u16(0);
    rdata();
    std::size_t length = packet.size() - lengthAt - 2;
    packet[lengthAt] = static_cast<std::uint8_t>(length >> 8);
    packet[lengthAt + 1] = static_cast<std::uint8_t>(length);
  };
  const std::vector<std::string> service = {instance, "_orvo", "_tcp", "local"};
  const std::vector<std::string> host = {"other-host", "local"};
  record({"_orvo", "_tcp", "local"}, 12, false, [&] { name(service); });  // PTR
  record(service, 33, true, [&] {                                         // SRV
    u16(0);
    u16(0);
    u16(9);
    name(host);
  });
  record(service, 16, true, [&] { text("peer=1"); });                           // TXT
  record(host, 1, true, [&] { packet.insert(packet.end(), {127, 0, 0, 3}); });  // A
  return packet;
}

const BrowsedService* findNamed(const std::vector<BrowsedService>& services, const std::string& name) {
  auto it = std::find_if(services.begin(), services.end(), [&](const BrowsedService& s) { return s.name == name; });
  return it == services.end() ? nullptr : &*it;
}

class AvahiServiceDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = AvahiFixture::unavailableReason()) ORVO_UNAVAILABLE(*why);
  }

  void start(bool withDaemon = true) {
    avahi_.emplace(withDaemon);
    discovery_ = std::make_unique<AvahiServiceDiscovery>(io_, logger_);
  }

  std::unique_ptr<NetService> service(Heard& heard, const std::string& name = kName, std::uint16_t port = 4711) {
    auto made = discovery_->makeService(kDomain, kType, name, port);
    made->setDelegate(heard.delegate());
    return made;
  }

  // Runs the main queue until `done` holds or the deadline passes.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      io_.restart();
      if (io_.run_for(20ms) == 0) std::this_thread::sleep_for(5ms);
    }
    return true;
  }

  void runFor(std::chrono::milliseconds duration) {
    runUntil([] { return false; }, duration);
  }

  std::vector<BrowsedService> browseUntil(const std::function<bool(const std::vector<BrowsedService>&)>& done) {
    return avahi_->browseUntil("_orvo._tcp", done);
  }

  std::string daemonLog() { return avahi_ ? avahi_->daemonLog() : std::string(); }

  asio::io_context io_;
  orvo::testing::RecordingLogger logger_;
  std::optional<AvahiFixture> avahi_;                 // goes after the discovery below
  std::unique_ptr<AvahiServiceDiscovery> discovery_;  // and its services, made in each test
};

// The host's flow: initial record, publish, immediate refresh; later a regenerated code.
TEST_F(AvahiServiceDiscoveryTest, PublishesAdvertisementAndUpdatesTXTInPlace) {
  start();
  Heard heard;
  auto advertised = service(heard);
  advertised->setTXTRecord(kInitialTXT);
  advertised->publish();
  advertised->setTXTRecord(kRefreshedTXT);
  ASSERT_TRUE(runUntil([&] { return !heard.published.empty(); })) << daemonLog();
  EXPECT_EQ(heard.published, std::vector<std::string>{kName});
  EXPECT_TRUE(heard.failures.empty());
  EXPECT_EQ(advertised->name(), kName);
  EXPECT_EQ(advertised->type(), kType);
  EXPECT_EQ(advertised->domain(), kDomain);
  EXPECT_EQ(advertised->port(), 4711);

  auto seen = browseUntil([](const auto& services) {
    auto found = findNamed(services, kName);
    return found && found->txt == kRefreshedTXT;
  });
  const BrowsedService* found = findNamed(seen, kName);
  ASSERT_NE(found, nullptr) << daemonLog();
  EXPECT_EQ(found->type, "_orvo._tcp");
  EXPECT_EQ(found->domain, "local");
  EXPECT_EQ(found->interface, "lo");
  EXPECT_EQ(found->protocol, "IPv4");
  EXPECT_EQ(found->address, "127.0.0.1");
  EXPECT_EQ(found->port, 4711);
  EXPECT_EQ(found->txt, kRefreshedTXT);
  EXPECT_EQ(found->txtValue("hostName"), nullptr);

  // Updating a registered service changes its record without a new registration.
  advertised->setTXTRecord(kRegeneratedTXT);
  seen = browseUntil([](const auto& services) {
    auto updated = findNamed(services, kName);
    return updated && updated->txt == kRegeneratedTXT;
  });
  ASSERT_NE(findNamed(seen, kName), nullptr);
  EXPECT_EQ(findNamed(seen, kName)->txt, kRegeneratedTXT);
  runFor(100ms);
  EXPECT_EQ(heard.published.size(), 1u);
  EXPECT_EQ(logger_.countPrefix("OrvoHost: service name collision"), 0u);
}

TEST_F(AvahiServiceDiscoveryTest, NameCollisionPublishesUnderAlternativeName) {
  start();
  Heard first, second;
  auto one = service(first, kName, 4711);
  auto two = service(second, kName, 4712);
  one->setTXTRecord(kRefreshedTXT);
  two->setTXTRecord(kRefreshedTXT);
  one->publish();
  two->publish();
  ASSERT_TRUE(runUntil([&] { return !first.published.empty() && !second.published.empty(); })) << daemonLog();

  const std::string renamed = kName + " #2";
  EXPECT_EQ(first.published, std::vector<std::string>{kName});
  EXPECT_EQ(second.published, std::vector<std::string>{renamed});
  EXPECT_EQ(two->name(), renamed);
  EXPECT_TRUE(logger_.has("OrvoHost: service name collision, renamed to " + renamed));
  EXPECT_EQ(logger_.countPrefix("OrvoHost: service name collision"), 1u);

  auto seen =
      browseUntil([&](const auto& services) { return findNamed(services, kName) && findNamed(services, renamed); });
  ASSERT_NE(findNamed(seen, kName), nullptr);
  ASSERT_NE(findNamed(seen, renamed), nullptr);
  EXPECT_EQ(findNamed(seen, kName)->port, 4711);
  EXPECT_EQ(findNamed(seen, renamed)->port, 4712);
}

// Another host on the link claims the name after we registered it.
TEST_F(AvahiServiceDiscoveryTest, ConflictFromTheNetworkRenamesAndRegistersAgain) {
  start();
  Heard heard;
  auto advertised = service(heard);
  advertised->setTXTRecord(kRefreshedTXT);
  advertised->publish();
  ASSERT_TRUE(runUntil([&] { return heard.published.size() == 1; })) << daemonLog();

  // Avahi answers a claim on an established name by probing again, and yields when the
  // claim comes while it probes: the peer repeats its claim, as a host defending its
  // name answers probes.
  const auto claim = foreignClaim(kName);
  auto nextClaim = std::chrono::steady_clock::now();
  ASSERT_TRUE(runUntil([&] {
    if (std::chrono::steady_clock::now() >= nextClaim) {
      avahi_->sendFromPeer(claim);
      nextClaim += 100ms;
    }
    return heard.published.size() == 2;
  })) << daemonLog();
  const std::string renamed = kName + " #2";
  EXPECT_EQ(heard.published.back(), renamed);
  EXPECT_EQ(advertised->name(), renamed);
  EXPECT_TRUE(heard.failures.empty());
  EXPECT_TRUE(logger_.has("OrvoHost: service name collision, renamed to " + renamed));

  // The record set later goes to the renamed entry.
  advertised->setTXTRecord(kRegeneratedTXT);
  auto seen = browseUntil([&](const auto& services) {
    auto ours = findNamed(services, renamed);
    auto theirs = findNamed(services, kName);
    return ours && ours->txt == kRegeneratedTXT && theirs && theirs->address == "127.0.0.3";
  });
  ASSERT_NE(findNamed(seen, renamed), nullptr);
  EXPECT_EQ(findNamed(seen, renamed)->port, 4711);
  EXPECT_EQ(findNamed(seen, renamed)->txt, kRegeneratedTXT);
  // The name now belongs to the other host alone.
  ASSERT_NE(findNamed(seen, kName), nullptr);
  EXPECT_EQ(findNamed(seen, kName)->address, "127.0.0.3");
  EXPECT_EQ(findNamed(seen, kName)->port, 9);
}

// After a conflict the service does not keep the alternative name for good: once the
// other claimant has gone quiet, it asks for its own name again and is published under it.
// While the claim goes on, it keeps the alternative.
TEST_F(AvahiServiceDiscoveryTest, ARenamedServiceTakesItsOwnNameBackWhenTheConflictEnds) {
  avahi_.emplace(true);
  discovery_ = std::make_unique<AvahiServiceDiscovery>(io_, logger_, /*reclaimDelay=*/2.0);
  Heard heard;
  auto advertised = service(heard);
  advertised->setTXTRecord(kRefreshedTXT);
  advertised->publish();
  ASSERT_TRUE(runUntil([&] { return heard.published.size() == 1; })) << daemonLog();

  const auto claim = foreignClaim(kName);
  const std::string renamed = kName + " #2";
  auto claimUntil = [&](const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto nextClaim = std::chrono::steady_clock::now();
    return runUntil([&] {
      if (std::chrono::steady_clock::now() >= nextClaim) {
        avahi_->sendFromPeer(claim);
        nextClaim += 100ms;
      }
      return done();
    }, timeout);
  };
  ASSERT_TRUE(claimUntil([&] { return heard.published.size() == 2; }, 10s)) << daemonLog();
  EXPECT_EQ(advertised->name(), renamed);
  // The claim goes on past the first try to take the name back: still the alternative.
  claimUntil([] { return false; }, 3500ms);
  EXPECT_EQ(advertised->name(), renamed);
  EXPECT_EQ(heard.published.back(), renamed);
  EXPECT_TRUE(logger_.has("OrvoHost: asking for the service name " + kName + " again"));

  // The claimant is gone: the next try (4 s after the first) gets the name back.
  ASSERT_TRUE(runUntil([&] { return heard.published.back() == kName; }, 20s)) << daemonLog();
  EXPECT_EQ(advertised->name(), kName);
  auto seen = browseUntil([&](const auto& services) {
    auto ours = findNamed(services, kName);
    return ours && ours->address == "127.0.0.1" && findNamed(services, renamed) == nullptr;
  });
  ASSERT_NE(findNamed(seen, kName), nullptr);
  EXPECT_EQ(findNamed(seen, kName)->port, 4711);
  EXPECT_TRUE(heard.failures.empty());
}

// The host starts without a daemon; once it runs, the service and the browse carry on
// without any new call.
TEST_F(AvahiServiceDiscoveryTest, RegistersOnceTheDaemonStarts) {
  start(/*withDaemon=*/false);
  Heard heard;
  auto advertised = service(heard);
  advertised->setTXTRecord(kRefreshedTXT);
  advertised->publish();
  std::vector<ResolvedService> found;
  std::vector<std::string> browseErrors;
  auto browser = discovery_->browse(
      "_orvo._tcp", [&](const ResolvedService& s) { found.push_back(s); },
      [&](const std::string& error) { browseErrors.push_back(error); });

  ASSERT_TRUE(runUntil([&] { return !heard.failures.empty() && !browseErrors.empty(); }));
  EXPECT_EQ(heard.failures, std::vector<std::string>{"Daemon not running"});
  EXPECT_EQ(browseErrors, std::vector<std::string>{"Daemon not running"});
  EXPECT_TRUE(heard.published.empty());

  avahi_->startDaemon();
  ASSERT_TRUE(runUntil([&] { return !heard.published.empty() && !found.empty(); })) << daemonLog();
  EXPECT_EQ(heard.published, std::vector<std::string>{kName});
  EXPECT_EQ(heard.failures.size(), 1u);
  EXPECT_EQ(found.front().name, kName);
  EXPECT_EQ(found.front().txt, kRefreshedTXT);
  auto seen = browseUntil([](const auto& services) { return findNamed(services, kName) != nullptr; });
  EXPECT_NE(findNamed(seen, kName), nullptr);
}

// A daemon restart drops every registration; the services come back with the record
// they hold now, including a change made while the daemon was away.
TEST_F(AvahiServiceDiscoveryTest, RegistersAgainAfterDaemonRestart) {
  start();
  Heard heard;
  auto advertised = service(heard);
  advertised->setTXTRecord(kRefreshedTXT);
  advertised->publish();
  ASSERT_TRUE(runUntil([&] { return heard.published.size() == 1; })) << daemonLog();

  avahi_->stopDaemon();
  ASSERT_TRUE(runUntil([&] { return logger_.countPrefix("OrvoHost: Avahi daemon connection lost:") == 1; }));
  advertised->setTXTRecord(kRegeneratedTXT);
  avahi_->startDaemon();
  ASSERT_TRUE(runUntil([&] { return heard.published.size() == 2; })) << daemonLog();
  EXPECT_TRUE(heard.failures.empty());

  auto seen = browseUntil([](const auto& services) {
    auto found = findNamed(services, kName);
    return found && found->txt == kRegeneratedTXT;
  });
  ASSERT_NE(findNamed(seen, kName), nullptr);
  EXPECT_EQ(findNamed(seen, kName)->txt, kRegeneratedTXT);
}

TEST_F(AvahiServiceDiscoveryTest, StopAndDestructionWithdrawWithoutCallbacks) {
  start();
  Heard stoppedHeard, destroyedHeard, earlyHeard, keptHeard;
  auto stopped = service(stoppedHeard, "Orvo stopped", 4711);
  auto destroyed = service(destroyedHeard, "Orvo destroyed", 4712);
  stopped->publish();
  destroyed->publish();
  ASSERT_TRUE(runUntil([&] { return !stoppedHeard.published.empty() && !destroyedHeard.published.empty(); }))
      << daemonLog();
  ASSERT_NE(
      findNamed(browseUntil([](const auto& s) { return findNamed(s, "Orvo destroyed") != nullptr; }), "Orvo destroyed"),
      nullptr);

  stopped->stop();
  destroyed.reset();
  // Stopped before its registration completes: it must stay silent.
  auto early = service(earlyHeard, "Orvo early", 4713);
  early->publish();
  early->stop();
  // Published after the early one, so once this one is up the early one would have been.
  auto kept = service(keptHeard, "Orvo kept", 4714);
  kept->publish();
  ASSERT_TRUE(runUntil([&] { return !keptHeard.published.empty(); })) << daemonLog();
  runFor(200ms);

  EXPECT_TRUE(earlyHeard.published.empty());
  EXPECT_TRUE(earlyHeard.failures.empty());
  EXPECT_EQ(stoppedHeard.published.size(), 1u);
  auto seen = browseUntil([](const auto& services) {
    return findNamed(services, "Orvo kept") && !findNamed(services, "Orvo stopped") &&
           !findNamed(services, "Orvo destroyed");
  });
  EXPECT_NE(findNamed(seen, "Orvo kept"), nullptr);
  EXPECT_EQ(findNamed(seen, "Orvo stopped"), nullptr);
  EXPECT_EQ(findNamed(seen, "Orvo destroyed"), nullptr);
  EXPECT_EQ(findNamed(seen, "Orvo early"), nullptr);
}

TEST_F(AvahiServiceDiscoveryTest, BrowseResolvesServicesWithTheirRecord) {
  start();
  Heard heard;
  auto advertised = service(heard, kName, 4711);
  advertised->setTXTRecord(kRefreshedTXT);
  advertised->publish();
  Heard otherHeard;
  auto pairing = discovery_->makeService(kDomain, "_orvopair._tcp.", "Orvo Pair on test-host", 4800);
  pairing->setDelegate(otherHeard.delegate());
  pairing->publish();

  std::vector<ResolvedService> found;
  std::vector<std::string> errors;
  auto browser = discovery_->browse(
      "_orvo._tcp", [&](const ResolvedService& s) { found.push_back(s); },
      [&](const std::string& error) { errors.push_back(error); });
  ASSERT_TRUE(runUntil([&] { return !found.empty() && !otherHeard.published.empty(); })) << daemonLog();
  const ResolvedService& service = found.front();
  EXPECT_EQ(service.name, kName);
  EXPECT_EQ(service.type, kType);
  EXPECT_EQ(service.domain, kDomain);
  EXPECT_EQ(service.address, "127.0.0.1");
  EXPECT_EQ(service.port, 4711);
  EXPECT_FALSE(service.hostName.empty());
  EXPECT_EQ(service.txt, kRefreshedTXT);

  // A changed record is reported again; the other type never shows up.
  advertised->setTXTRecord(kRegeneratedTXT);
  ASSERT_TRUE(runUntil([&] { return found.back().txt == kRegeneratedTXT; }));
  for (const auto& each : found) EXPECT_EQ(each.name, kName);
  EXPECT_TRUE(errors.empty());
}

// Bad names, types and records are refused with Avahi's reason; nothing crashes and
// the refused service is not retried.
TEST_F(AvahiServiceDiscoveryTest, RefusedRegistrationsReportAReason) {
  start();
  struct Case {
    std::string type;
    std::string name;
    TXTRecord txt;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"orvo.tcp.", kName, {}, "Invalid service type"},
      {kType, "", {}, "Invalid service name"},
      {kType, std::string(64, 'x'), {}, "Invalid service name"},
      // A TXT string holds at most 255 bytes.
      {kType, kName, {{"pinSalt", std::string(300, 'q')}}, "Invalid record"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("type '" + c.type + "' name '" + c.name + "' with " + std::to_string(c.txt.size()) + " TXT entries");
    Heard heard;
    auto refused = discovery_->makeService(kDomain, c.type, c.name, 4711);
    refused->setDelegate(heard.delegate());
    refused->setTXTRecord(c.txt);
    refused->publish();
    ASSERT_TRUE(runUntil([&] { return !heard.failures.empty(); }));
    EXPECT_EQ(heard.failures, std::vector<std::string>{c.error});
    EXPECT_TRUE(heard.published.empty());
  }
}

}  // namespace
}  // namespace orvo::platform
