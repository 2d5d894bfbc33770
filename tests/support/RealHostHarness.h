#pragma once

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/AsioQueues.h"
#include "core/Clock.h"
#include "core/Coding.h"
#include "fakes/FakePlatform.h"
#include "fakes/FakeServiceDiscovery.h"
#include "fakes/FakeStores.h"
#include "host/OrvoHost.h"
#include "pairing/NameCollator.h"
#include "pairing/OrvoPairingStore.h"
#include "platform/linux/net/AsioNetwork.h"
#include "support/ChildProcess.h"
#include "support/RecordingLogger.h"

namespace orvo::testing {

// Counts window-list requests: proof that a control line went through dispatch.
class CountingWindowList final : public WindowListHandler {
 public:
  void handleWindowListRequest() override { ++requests; }
  bool admitsFrames(std::uint32_t) override { return false; }
  std::atomic<int> requests = 0;
};

// A host with real TLS listeners on 127.0.0.1 and its main queue on the test thread
// (run by runUntil); stores and the desktop are fakes, and so is service discovery
// unless a test brings its own.
class RealHostTest : public ::testing::Test {
 protected:
  void SetUp() override { startHost(discovery); }
  void TearDown() override { stopHost(); }

  void startHost(platform::ServiceDiscovery& serviceDiscovery, bool waitForAdvertisement = true) {
    host = OrvoHost::create(OrvoHostServices{main, queues, clock, logger, random, settings, secrets, hostInfo, network,
                                             serviceDiscovery, activation, sleep, collator, powerEvents});
    host->attachHandlers({.windowList = &windowList});
    advertises = waitForAdvertisement;
    statusWatch = host->statusText().subscribe(
        [this](const std::string& text) { statuses.push_back({text, pairedIds()}); });
    ASSERT_TRUE(runUntil([&] { return host->pairingListenerPort().has_value() && host->listenerPort(); }));
    if (waitForAdvertisement) {
      ASSERT_TRUE(runUntil([&] { return host->statusText()->rfind("Bonjour published", 0) == 0; }))
          << *host->statusText();
    }
  }
  void stopHost() {
    if (!host) return;
    statusWatch.cancel();
    host->shutdown();
    runFor(std::chrono::milliseconds(50));
    host.reset();
    queues.join();
  }

  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      context.run_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  void runFor(std::chrono::milliseconds duration) { runUntil([] { return false; }, duration); }

  std::uint16_t sessionPort() const { return *host->listenerPort(); }

  // The session listener is rebuilt, on a later turn of the main queue, whenever the peer
  // list is announced (a device paired, renamed by its hello, or revoked). Take a mark
  // before such a change; waitForListenerRebuild(mark) then waits until a listener was
  // started after the mark, the newest one was started with the devices the store has
  // now, and it listens and (when the host advertises) is advertised, so that its keys
  // are the store's and the status text has settled.
  std::size_t listenerMark() const { return statuses.size(); }
  [[nodiscard]] bool waitForListenerRebuild(std::size_t mark) {
    return runUntil([&] {
      std::optional<std::size_t> started;
      for (std::size_t i = mark; i < statuses.size(); ++i) {
        if (statuses[i].text == "Starting listener…") started = i;
      }
      if (!started || statuses[*started].pairedIds != pairedIds()) return false;
      for (std::size_t i = *started + 1; i < statuses.size(); ++i) {
        if (statuses[i].text.rfind("Starting listener", 0) == 0) return false;
        if (statuses[i].text.rfind("Listening on port ", 0) != 0) continue;
        if (!advertises) return true;
        for (std::size_t j = i + 1; j < statuses.size(); ++j) {
          if (statuses[j].text.rfind("Bonjour ", 0) == 0) return true;
        }
      }
      return false;
    });
  }
  // The ids of the paired devices, in the store's order.
  std::string pairedIds() const {
    std::string ids;
    for (const auto& peer : host->pairingStore().paired().get()) ids += peer.id + "\n";
    return ids;
  }

  // Stores a paired device with a key of printable bytes (so that s_client can present it),
  // and waits until the session listener holds its key.
  Bytes pairPrintable(const std::string& id, char fill) {
    const Bytes key(32, static_cast<std::uint8_t>(fill));
    const auto mark = listenerMark();
    host->pairingStore().upsertPeer("Device " + id, "device-" + id, std::nullopt, id, key);
    EXPECT_TRUE(waitForListenerRebuild(mark)) << *host->statusText();
    return key;
  }

  // s_client presenting `identity` as the PSK identity and the UTF-8 of `secret` as the key.
  static std::vector<std::string> sClient(std::uint16_t port, const Bytes& identity, const std::string& secret) {
    return {"openssl",     "s_client", "-connect", "127.0.0.1:" + std::to_string(port), "-nocommands", "-tls1_2",
            "-cipher",     "PSK-AES128-GCM-SHA256",  "-psk",  hexEncode(toBytes(secret)),
            "-psk_identity", std::string(identity.begin(), identity.end())};
  }

  RecordingLogger logger;
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
  AsioMainQueue main{context, logger};
  AsioQueueFactory queues{logger, 2};
  SystemClock clock;
  OpenSslRandom random;
  FakeSettingsStore settings;
  FakeSecretStore secrets;
  FakeHostInfo hostInfo;
  platform::AsioNetwork network{context, "127.0.0.1", logger};
  FakeServiceDiscovery discovery{main};
  FakeWindowActivation activation;
  FakeSleepInhibitor sleep;
  FakePowerLockEvents powerEvents;
  NameCollator collator{"en"};
  CountingWindowList windowList;
  std::shared_ptr<OrvoHost> host;
  // Every status text the host has shown, in order, with the paired devices at that moment;
  // and whether the host advertises its listener.
  struct Status {
    std::string text;
    std::string pairedIds;
  };
  std::vector<Status> statuses;
  Subscription statusWatch;
  bool advertises = true;
};

}  // namespace orvo::testing
