#pragma once

#include <gmock/gmock.h>

#include <algorithm>
#include <memory>
#include <string>

#include "core/testing/VirtualLoop.h"
#include "fakes/FakeNetwork.h"
#include "fakes/FakePlatform.h"
#include "fakes/FakeServiceDiscovery.h"
#include "fakes/FakeStores.h"
#include "host/OrvoHost.h"
#include "pairing/Keychain.h"
#include "pairing/NameCollator.h"
#include "pairing/OrvoPairingStore.h"
#include "support/RecordingLogger.h"

namespace orvo::testing {

class MockWindowListHandler : public WindowListHandler {
 public:
  MOCK_METHOD(void, handleWindowListRequest, (), (override));
  MOCK_METHOD(bool, admitsFrames, (std::uint32_t), (override));
};
class MockStreamHandler : public StreamHandler {
 public:
  MOCK_METHOD(void, handleSnapshotRequest, (std::optional<std::uint32_t>), (override));
  MOCK_METHOD(void, setCaptureMode, (std::uint32_t, CaptureMode), (override));
  MOCK_METHOD(void, resetStreamState, (), (override));
};
class MockFocusHandler : public FocusHandler {
 public:
  MOCK_METHOD(void, setClientActiveWindow, (std::uint32_t), (override));
};
class MockInputHandler : public InputHandler {
 public:
  MOCK_METHOD(void, handlePointerRequest, (const OrvoRequest&), (override));
  MOCK_METHOD(void, handleKeyboardText, (const std::string&), (override));
  MOCK_METHOD(void, handleKeyboardCommand, (KeyboardCommand), (override));
  MOCK_METHOD(void, resetClickTracking, (), (override));
};

// Every value the status text takes, in order.
struct StatusHistory {
  explicit StatusHistory(const OrvoHost& host)
      : subscription(host.statusText().subscribe([this](const std::string& s) { values.push_back(s); })) {}
  bool saw(const std::string& value) const { return std::find(values.begin(), values.end(), value) != values.end(); }
  std::vector<std::string> values;
  Subscription subscription;
};

// A host on the virtual loop with every platform service faked.
struct HostHarness {
  VirtualLoop loop;
  RecordingLogger logger;
  ScriptedRandom random;
  FakeSettingsStore settings;
  FakeSecretStore secrets;
  FakeHostInfo hostInfo;
  FakeNetwork network{loop.main()};
  FakeServiceDiscovery discovery{loop.main()};
  FakeWindowActivation activation;
  FakeSleepInhibitor sleep;
  FakePowerLockEvents powerEvents;
  NameCollator collator{"en"};
  ::testing::NiceMock<MockWindowListHandler> windowList;
  ::testing::NiceMock<MockStreamHandler> stream;
  ::testing::NiceMock<MockFocusHandler> focus;
  ::testing::NiceMock<MockInputHandler> input;
  std::shared_ptr<OrvoHost> host;

  void start(bool withHandlers = true) {
    host = OrvoHost::create(OrvoHostServices{loop.main(), loop, loop.clock(), logger, random, settings, secrets,
                                             hostInfo, network, discovery, activation, sleep, collator, powerEvents});
    // Every window is listed unless a test says otherwise.
    ON_CALL(windowList, admitsFrames(::testing::_)).WillByDefault(::testing::Return(true));
    if (withHandlers) host->attachHandlers({&windowList, &stream, &focus, &input});
    loop.drain();
  }

  // Pairs a device directly in the store (id, key) as a pairing would.
  void pair(const std::string& id, const std::string& name = "iPad") {
    host->pairingStore().upsertPeer(name, "device-" + id, std::nullopt, id, Bytes(32, 0x41));
    loop.drain();
  }

  std::shared_ptr<FakeListener> sessionListener() const { return network.latestSession(); }
  std::shared_ptr<FakeListener> pairingListener() const { return network.latestWithSecret("orvo-pin"); }

  // A client whose TLS handshake succeeds: the current session afterwards.
  std::shared_ptr<FakeConnection> connectClient(const std::string& endpoint = "192.0.2.7:50000") {
    auto connection = sessionListener()->accept(endpoint);
    loop.drain();
    connection->deliverState(platform::ConnectionStateKind::ready);
    loop.drain();
    return connection;
  }

  void send(FakeConnection& connection, const std::string& bytes) {
    connection.deliver(bytes);
    loop.drain();
  }

  std::string status() const { return *host->statusText(); }
};

}  // namespace orvo::testing
