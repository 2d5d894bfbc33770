#pragma once

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
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
    ASSERT_TRUE(runUntil([&] { return host->pairingListenerPort().has_value() && host->listenerPort(); }));
    if (waitForAdvertisement) {
      ASSERT_TRUE(runUntil([&] { return host->statusText()->rfind("Bonjour published", 0) == 0; }))
          << *host->statusText();
    }
  }
  void stopHost() {
    if (!host) return;
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

  // Stores a paired device with a key of printable bytes (so that s_client can present it).
  Bytes pairPrintable(const std::string& id, char fill) {
    const Bytes key(32, static_cast<std::uint8_t>(fill));
    host->pairingStore().upsertPeer("Device " + id, "device-" + id, std::nullopt, id, key);
    runFor(std::chrono::milliseconds(20));  // the listener is rebuilt with the new key
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
};

}  // namespace orvo::testing
