// Crash safety: the real host, on its real files in private XDG directories, is killed with
// SIGKILL at random moments while `orvo-host ctl` pairs devices (token), unpairs them and
// switches discoverability (a settings write), 50 times. After each kill the stored peer
// list decodes, every listed peer has its key, and the host id is the first one; the
// restarted host serves exactly the stored list.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "abuse/AbuseHarness.h"
#include "core/Json.h"
#include "pairing/OrvoPairedPeer.h"
#include "pairing/PairingMessages.h"
#include "support/WaitUntil.h"

namespace orvo::testing {
namespace {

using namespace std::chrono_literals;

// What the files say after a crash, or why they cannot be read.
struct StoredState {
  std::string fault;  // empty when consistent
  std::string hostId;
  std::set<std::string> peers;
  int keyFiles = 0;
};

StoredState readStoredState(const std::string& home) {
  StoredState state;
  const std::string settingsPath = home + "/config/orvo-host/defaults.json";
  const std::string keys = home + "/data/orvo-host/secrets/com.corvane.orvo.psk.host/";
  const std::string text = readFile(settingsPath);
  std::string error;
  const auto document = json::parse(text, &error);
  if (!document || !document->is_object()) {
    state.fault = "the settings file does not decode (" + error + "): " + text.substr(0, 200);
    return state;
  }
  for (const auto& item : document->items()) {
    if (item.key().find("unreadable") != std::string::npos) state.fault = "a value was kept aside: " + item.key();
  }
  if (document->contains("OrvoHost.hostId")) state.hostId = document->at("OrvoHost.hostId").get<std::string>();
  if (document->contains("OrvoPairedPeers.host")) {
    const auto peers = decodePeers(document->at("OrvoPairedPeers.host"));
    if (!peers) {
      state.fault = "the peer list does not decode: " + json::encode(document->at("OrvoPairedPeers.host"));
      return state;
    }
    for (const auto& peer : *peers) {
      state.peers.insert(peer.id);
      const std::string key = readFile(keys + peer.id);
      if (key.size() != 32) state.fault = "listed peer " + peer.id + " has no key (" + std::to_string(key.size()) + " bytes)";
    }
  }
  if (std::filesystem::exists(keys)) {
    for (const auto& entry : std::filesystem::directory_iterator(keys)) {
      state.keyFiles += entry.path().filename().string().find(".tmp.") == std::string::npos;
    }
  }
  return state;
}

// The ids that `ctl devices` lists.
std::set<std::string> listedDevices(const AbuseHost& host) {
  std::set<std::string> ids;
  const std::string output = host.ctl({"devices"}).output;
  const std::regex id("(^|\n)([0-9A-F-]{36})  ");
  for (auto it = std::sregex_iterator(output.begin(), output.end(), id); it != std::sregex_iterator(); ++it) {
    ids.insert((*it)[2]);
  }
  return ids;
}

TEST(CrashSafety, KilledWhilePairingUnpairingAndSavingSettings) {
  TempDir home;
  std::mt19937 random(static_cast<std::mt19937::result_type>(::getpid()));
  std::string firstHostId;
  {
    AbuseHost host("", {}, home.path());
    const auto token = decodePairingToken(host.ctl({"token"}).output);
    ASSERT_TRUE(token && token->hostId) << host.log();
    firstHostId = *token->hostId;
  }

  int operations = 0, tokens = 0, unpairs = 0, settingWrites = 0, leftoverTemps = 0;
  std::size_t maxPeers = 0;
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    AbuseHost host("", {}, home.path());
    const StoredState atStart = readStoredState(home.path());
    ASSERT_EQ(listedDevices(host), atStart.peers) << host.log();

    // Three `ctl` commands in flight at any moment until the kill, chosen at random.
    std::vector<std::string> known(atStart.peers.begin(), atStart.peers.end());
    std::vector<std::unique_ptr<ChildProcess>> running;
    const auto killAt = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 400)(random));
    while (std::chrono::steady_clock::now() < killAt) {
      std::erase_if(running, [](const auto& process) { return process->exitStatus().has_value(); });
      while (running.size() < 3) {
        std::vector<std::string> args = {ORVO_HOST_PATH, "ctl"};
        const int choice = std::uniform_int_distribution<int>(0, 9)(random);
        if (choice < 4 || known.empty()) {
          args.push_back("token");
          ++tokens;
        } else if (choice < 7) {
          const auto index = std::uniform_int_distribution<std::size_t>(0, known.size() - 1)(random);
          args.insert(args.end(), {"unpair", known[index]});
          known.erase(known.begin() + static_cast<std::ptrdiff_t>(index));
          ++unpairs;
        } else {
          args.insert(args.end(), {"discoverable", choice == 7 ? "off" : "on"});
          ++settingWrites;
        }
        running.push_back(std::make_unique<ChildProcess>(args));
        ++operations;
      }
      std::this_thread::sleep_for(1ms);
    }
    host.killNow();
    running.clear();

    const StoredState state = readStoredState(home.path());
    ASSERT_EQ(state.fault, "") << host.log();
    ASSERT_EQ(state.hostId, firstHostId);
    maxPeers = std::max(maxPeers, state.peers.size());
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path())) {
    leftoverTemps += entry.path().filename().string().find(".tmp.") != std::string::npos;
  }

  // The last restart: the host serves the stored list under the same id.
  AbuseHost host("", {}, home.path());
  const StoredState last = readStoredState(home.path());
  EXPECT_EQ(listedDevices(host), last.peers);
  const auto token = decodePairingToken(host.ctl({"token"}).output);
  ASSERT_TRUE(token && token->hostId);
  EXPECT_EQ(*token->hostId, firstHostId);
  std::printf("[abuse] crash safety: 50 SIGKILLs at random moments among %d ctl commands (%d tokens, %d unpairs, "
              "%d discoverability writes); after every kill the peer list decoded, every listed peer had its key, the "
              "host id stayed %s; up to %zu peers stored; %d temporary files left by kills mid-write; %d key files "
              "for %zu listed peers at the end\n",
              operations, tokens, unpairs, settingWrites, firstHostId.c_str(), maxPeers, leftoverTemps, last.keyFiles,
              last.peers.size());
}

}  // namespace
}  // namespace orvo::testing
