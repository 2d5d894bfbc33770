// The reference client against a real orvo-host whose connection limits are taken: idle
// TCP connections from the client's own address (127.0.0.1) and from 127.0.0.2-4, each
// reopened as soon as the host closes it. The client must tell "host busy" (the host
// closed the connection before its hello) from "refused" (the TLS alert for an unknown
// key): a busy host is asked again with back-off, a stored key is never dropped, and only
// a real refusal exits with status 4. Each case prints what it tried and what it saw.
// (Pairing's busy and refused cases are told apart by the same rule; its unit tests show
// it, as a test without Avahi has no pairing salt to pair with.)
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "abuse/AbuseHarness.h"
#include "pairing/PairingMessages.h"
#include "support/WaitUntil.h"

namespace orvo::testing {
namespace {

using namespace std::chrono_literals;

// Holds `perAddress` idle connections from each source address to a port, reopening any
// the host closes, until stopped. Its own thread; plain sockets only.
class SlotHolder {
 public:
  SlotHolder(std::uint16_t port, std::vector<const char*> sources, int perAddress)
      : thread_([this, port, sources, perAddress] { run(port, sources, perAddress); }) {}
  ~SlotHolder() { stop(); }
  SlotHolder(const SlotHolder&) = delete;
  SlotHolder& operator=(const SlotHolder&) = delete;

  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  int opened() const { return opened_; }

 private:
  void run(std::uint16_t port, const std::vector<const char*>& sources, int perAddress) {
    std::vector<std::pair<const char*, int>> held;
    for (const char* source : sources) {
      for (int i = 0; i < perAddress; ++i) held.emplace_back(source, -1);
    }
    const auto deadline = Clock::now() + 60s;  // bounded whatever happens
    while (running_ && Clock::now() < deadline) {
      for (auto& [source, fd] : held) {
        if (fd >= 0) {
          pollfd p{fd, POLLIN, 0};
          char byte;
          if (::poll(&p, 1, 0) > 0 && ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0) {
            ::close(fd);  // closed by the host: take the slot again
            fd = -1;
          }
        }
        if (fd < 0 && (fd = connectTcpFrom(source, port)) >= 0) ++opened_;
      }
      std::this_thread::sleep_for(20ms);
    }
    for (auto& [source, fd] : held) {
      if (fd >= 0) ::close(fd);
    }
  }

  std::atomic<bool> running_{true};
  std::atomic<int> opened_{0};
  std::thread thread_;
};

class BusyHostClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host = std::make_unique<AbuseHost>("");
    // The client pairs with a token, into directories of its own.
    const Outcome token = host->ctl({"token"});
    ASSERT_EQ(token.exitCode, 0) << token.output;
    const std::string text = token.output.substr(0, token.output.find('\n'));
    std::string error;
    const auto invitation = decodePairingToken(text, &error);
    ASSERT_TRUE(invitation) << error;
    pairingID = invitation->pairingID;
    const Outcome paired = client({"pair", "--token", text});
    ASSERT_EQ(paired.exitCode, 0) << paired.output;
    keyFiles = countKeyFiles();
    ASSERT_EQ(keyFiles, 1);
  }

  Outcome client(std::vector<std::string> args, std::chrono::milliseconds timeout = 60s) const {
    std::vector<std::string> argv = {"env", "XDG_CONFIG_HOME=" + dir.file("client-config"),
                                     "XDG_DATA_HOME=" + dir.file("client-data"), ORVO_CLIENT_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return runToEnd(argv, timeout);
  }

  std::string sessionAddress() const { return "127.0.0.1:" + std::to_string(host->sessionPort()); }

  int countKeyFiles() const {
    int count = 0;
    const auto root = dir.file("client-data");
    if (!std::filesystem::exists(root)) return 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      count += entry.is_regular_file() ? 1 : 0;
    }
    return count;
  }

  TempDir dir;
  std::unique_ptr<AbuseHost> host;
  std::string pairingID;
  int keyFiles = 0;
};

// While the slots are held, the client is turned away unheard: it reports a busy host and
// tries again with back-off, and gets in once they are free; held past its timeout it
// exits 8 ("host busy"), its key kept. An unpaired client is refused (exit 4).
TEST_F(BusyHostClientTest, ABusyHostIsAskedAgainAndOnlyAnUnknownKeyIsARefusal) {
  const std::vector<const char*> sources = {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4"};
  {
    SlotHolder holder(host->sessionPort(), sources, 3);
    std::this_thread::sleep_for(500ms);
    std::optional<Outcome> outcome;
    const auto start = Clock::now();
    std::thread run([&] { outcome = client({"windows", "--host", sessionAddress(), "--timeout", "20", "--verbose"}); });
    std::this_thread::sleep_for(3s);
    const int heldBefore = holder.opened();
    holder.stop();
    run.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::size_t retries = 0;
    for (std::size_t at = 0; (at = outcome->output.find("host busy; trying again", at)) != std::string::npos; ++at) {
      ++retries;
    }
    report("slots held for 3 s by idle connections from 4 addresses (3 each, " + std::to_string(heldBefore) + " opened): " +
           "client exit " + std::to_string(outcome->exitCode) + " after " + std::to_string(seconds) + " s, " +
           std::to_string(retries) + " busy retries");
    EXPECT_EQ(outcome->exitCode, 0) << outcome->output;
    EXPECT_GE(retries, 1u) << outcome->output;
    EXPECT_EQ(outcome->output.find("refused"), std::string::npos) << outcome->output;
    EXPECT_EQ(outcome->output.find("not paired"), std::string::npos) << outcome->output;
  }
  {
    SlotHolder holder(host->sessionPort(), sources, 3);
    std::this_thread::sleep_for(500ms);
    const auto start = Clock::now();
    const Outcome busy = client({"windows", "--host", sessionAddress(), "--timeout", "3"});
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    holder.stop();
    report("slots held past the client's 3 s timeout: exit " + std::to_string(busy.exitCode) + " after " +
           std::to_string(seconds) + " s: " + busy.output.substr(0, busy.output.find('\n')));
    EXPECT_EQ(busy.exitCode, 8) << busy.output;
    EXPECT_NE(busy.output.find("host busy"), std::string::npos) << busy.output;
    EXPECT_EQ(countKeyFiles(), keyFiles);  // the key stays
  }
  // Free again: the kept key still opens a session.
  const Outcome again = client({"windows", "--host", sessionAddress(), "--timeout", "10"});
  EXPECT_EQ(again.exitCode, 0) << again.output;

  // Unpaired: the host's alert for an unknown key is a refusal, exit 4.
  const Outcome devices = host->ctl({"unpair", pairingID});
  ASSERT_EQ(devices.exitCode, 0) << devices.output;
  const Outcome refused = client({"windows", "--host", sessionAddress(), "--timeout", "10"});
  report("after unpairing: exit " + std::to_string(refused.exitCode) + ": " +
         refused.output.substr(0, refused.output.find('\n')));
  EXPECT_EQ(refused.exitCode, 4) << refused.output;
  EXPECT_NE(refused.output.find("refused"), std::string::npos) << refused.output;
  EXPECT_EQ(countKeyFiles(), keyFiles);  // a refusal is reported, the key is not deleted
}

}  // namespace
}  // namespace orvo::testing
