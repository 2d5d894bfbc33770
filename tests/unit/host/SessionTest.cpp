#include <gtest/gtest.h>

#include "unit/host/HostHarness.h"

namespace orvo::testing {
namespace {

using ::testing::_;
using ::testing::Field;
using ::testing::Optional;
using ::testing::Return;

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override { h.start(); }
  HostHarness h;
};

TEST_F(SessionTest, HandshakeThenReadyMakesTheSession) {
  auto connection = h.sessionListener()->accept("192.0.2.7:50000");
  h.loop.drain();
  EXPECT_TRUE(connection->started);
  EXPECT_TRUE(h.logger.has("OrvoHost: new connection from 192.0.2.7:50000"));
  EXPECT_EQ(h.host->currentConnection(), nullptr);  // not a session before its handshake
  connection->deliverState(platform::ConnectionStateKind::ready);
  h.loop.drain();
  EXPECT_EQ(h.host->currentConnection(), connection);
  EXPECT_EQ(h.status(), "Client connected");
  EXPECT_TRUE(h.logger.has("OrvoHost: connection ready: 192.0.2.7:50000"));
  EXPECT_TRUE(connection->hasPendingReceive());
  EXPECT_EQ(connection->receiveMinimum, 1u);
  EXPECT_EQ(connection->receiveMaximum, 65536u);
  EXPECT_TRUE(h.sleep.held);
  EXPECT_EQ(h.logger.countPrefix("Display sleep prevention enabled"), 1u);
}

TEST_F(SessionTest, FailedHandshakeWithoutSessionSetsTheStatus) {
  auto connection = h.sessionListener()->accept();
  connection->deliverState(platform::ConnectionStateKind::failed, "PSK identity not found");
  h.loop.drain();
  EXPECT_EQ(h.status(), "Connection failed: PSK identity not found");
  EXPECT_TRUE(h.logger.has("OrvoHost: connection failed: PSK identity not found"));
}

TEST_F(SessionTest, NewerClientReplacesTheCurrentOneOnlyAfterItsHandshake) {
  auto first = h.connectClient("192.0.2.7:1");
  h.send(*first, "{\"type\":\"clientHello\",\"deviceName\":\"iPad\",\"platform\":\"iPadOS\",\"pairingID\":\"A\"}\n");
  EXPECT_EQ(h.status(), "Connected: iPad");
  EXPECT_CALL(h.stream, resetStreamState()).Times(0);

  // Unauthenticated attempts, failing or stalling, leave the session alone.
  for (int i = 0; i < 10; ++i) {
    auto stranger = h.sessionListener()->accept("198.51.100.9:" + std::to_string(i));
    stranger->deliverState(platform::ConnectionStateKind::failed, "handshake failure");
  }
  auto staller = h.sessionListener()->accept("198.51.100.9:99");
  h.loop.advance(10.5);
  EXPECT_TRUE(staller->cancelled);
  EXPECT_TRUE(h.logger.has("OrvoHost: handshake timed out: 198.51.100.9:99"));
  EXPECT_EQ(h.host->currentConnection(), first);
  EXPECT_FALSE(first->cancelled);
  EXPECT_EQ(h.status(), "Connected: iPad");

  // Ping to stay alive across the time advanced above, then a real second client.
  auto second = h.sessionListener()->accept("192.0.2.8:2");
  h.loop.drain();
  EXPECT_EQ(h.host->currentConnection(), first);
  second->deliverState(platform::ConnectionStateKind::ready);
  h.loop.drain();
  EXPECT_EQ(h.host->currentConnection(), second);
  EXPECT_TRUE(first->cancelled);
  EXPECT_EQ(h.status(), "Client connected");  // no "Client disconnected" from the replaced one
  EXPECT_EQ(*h.host->connectedClientPairingID(), "A");  // kept until the new client says hello
}

// Eight handshakes in progress at most, two from one address. When all eight are taken, a
// connection from an address with none in progress takes the place of the oldest; one from
// an address that has one already is refused.
TEST_F(SessionTest, HandshakeSlotsArePerAddressAndANewAddressEvictsTheOldest) {
  auto first = h.sessionListener()->accept("198.51.100.1:1");
  auto second = h.sessionListener()->accept("198.51.100.1:2");
  auto third = h.sessionListener()->accept("198.51.100.1:3");
  EXPECT_FALSE(first->cancelled || second->cancelled);
  EXPECT_TRUE(third->cancelled);
  EXPECT_FALSE(third->started);
  EXPECT_TRUE(h.logger.has("OrvoHost: too many handshakes from 198.51.100.1 in progress; refusing 198.51.100.1:3"));

  std::vector<std::shared_ptr<FakeConnection>> others;
  for (int i = 2; i <= 7; ++i) others.push_back(h.sessionListener()->accept("198.51.100." + std::to_string(i) + ":1"));
  for (const auto& c : others) EXPECT_FALSE(c->cancelled);
  // All eight taken. An address with one in progress is refused...
  auto refused = h.sessionListener()->accept("198.51.100.7:2");
  EXPECT_TRUE(refused->cancelled);
  EXPECT_TRUE(h.logger.has("OrvoHost: too many handshakes in progress; refusing 198.51.100.7:2"));
  // ...a new one evicts the oldest, and its handshake runs to the session.
  auto client = h.sessionListener()->accept("192.0.2.50:1");
  EXPECT_TRUE(first->cancelled);
  EXPECT_FALSE(second->cancelled);
  EXPECT_TRUE(client->started);
  EXPECT_TRUE(h.logger.has("OrvoHost: handshake given up for a newer address: 198.51.100.1:1"));
  client->deliverState(platform::ConnectionStateKind::ready);
  h.loop.drain();
  EXPECT_EQ(h.host->currentConnection(), client);
  // A slot freed by a failure is taken by anyone.
  others[0]->deliverState(platform::ConnectionStateKind::failed, "x");
  auto next = h.sessionListener()->accept("198.51.100.1:4");
  EXPECT_FALSE(next->cancelled);
}

// A peer whose first TLS record has not come whole 2 s after it connected is closed; one
// whose record came keeps the 10 s bound of the whole handshake.
TEST_F(SessionTest, FirstRecordMustArriveWithinTwoSeconds) {
  auto silent = h.sessionListener()->accept("198.51.100.1:1");
  silent->firstRecord = false;
  auto speaking = h.sessionListener()->accept("198.51.100.2:1");
  speaking->firstRecord = false;
  h.loop.advance(1.9);
  EXPECT_FALSE(silent->cancelled);
  speaking->firstRecord = true;
  h.loop.advance(0.2);
  EXPECT_TRUE(silent->cancelled);
  EXPECT_FALSE(speaking->cancelled);
  EXPECT_TRUE(h.logger.has("OrvoHost: no TLS record within 2.0 s; closing 198.51.100.1:1"));
  h.loop.advance(8.0);
  EXPECT_TRUE(speaking->cancelled);
  EXPECT_TRUE(h.logger.has("OrvoHost: handshake timed out: 198.51.100.2:1"));
}

// Refusals come faster than anyone reads: five lines of a kind per 10 s, then a summary.
TEST_F(SessionTest, RefusalLinesAreSummarizedEveryTenSeconds) {
  h.sessionListener()->accept("198.51.100.1:1");
  h.sessionListener()->accept("198.51.100.1:2");
  for (int i = 0; i < 500; ++i) h.sessionListener()->accept("198.51.100.1:" + std::to_string(100 + i));
  EXPECT_EQ(h.logger.countPrefix("OrvoHost: too many handshakes from 198.51.100.1 in progress"), 5u);
  h.loop.advance(10.0);
  EXPECT_TRUE(h.logger.has(
      "OrvoHost: 495 more “too many handshakes from one address” lines in the last 10 s (198.51.100.1 ×495)"));
}

TEST_F(SessionTest, SwitchingDiscoverableOffCancelsHandshakesInProgress) {
  auto pending = h.sessionListener()->accept();
  h.host->setDiscoverable(false);
  EXPECT_TRUE(pending->cancelled);
  pending->deliverState(platform::ConnectionStateKind::ready);  // too late: ignored
  h.loop.drain();
  EXPECT_EQ(h.host->currentConnection(), nullptr);
  EXPECT_EQ(h.status(), "Not discoverable");
}

TEST_F(SessionTest, FinalLineBeforeThePeerClosesIsHandledBeforeTheReset) {
  auto client = h.connectClient();
  ::testing::InSequence order;
  EXPECT_CALL(h.windowList, handleWindowListRequest());
  EXPECT_CALL(h.stream, resetStreamState());
  client->deliver("{\"type\":\"requestWindowList\"}\n", /*isComplete=*/true);
  h.loop.drain();
  EXPECT_TRUE(h.logger.has("OrvoHost: connection completed by peer"));
  EXPECT_EQ(h.host->currentConnection(), nullptr);
}

TEST_F(SessionTest, ReceiveErrorEndsTheSession) {
  auto client = h.connectClient();
  EXPECT_CALL(h.input, resetClickTracking());
  client->deliver("", false, "Connection reset by peer");
  h.loop.drain();
  EXPECT_TRUE(h.logger.has("OrvoHost: receive error: Connection reset by peer"));
  EXPECT_EQ(h.host->currentConnection(), nullptr);
  EXPECT_FALSE(h.host->clientIsVisible());
  EXPECT_FALSE(h.sleep.held);
}

TEST_F(SessionTest, LinesAreSplitAcrossChunksAndEmptyLinesAndCarriageReturnsAreHandled) {
  auto client = h.connectClient();
  ::testing::InSequence order;
  EXPECT_CALL(h.focus, setClientActiveWindow(7));
  EXPECT_CALL(h.focus, setClientActiveWindow(8));
  EXPECT_CALL(h.focus, setClientActiveWindow(9));
  h.send(*client, "{\"type\":\"clientActiveWindow\",\"windowId\":7}\n\n{\"type\":\"clientActive");
  h.send(*client, "Window\",\"windowId\":8}");
  h.send(*client, "\r\n\n\n{\"type\":\"clientActiveWindow\",\"windowId\":9}\n");
  // Invalid UTF-8 is dropped without a word.
  h.send(*client, "{\"type\":\"clientActiveWindow\",\"windowId\":10,\"x\":\"\xff\"}\n");
  EXPECT_EQ(h.logger.countPrefix("OrvoHost: failed to decode"), 0u);
  EXPECT_TRUE(client->hasPendingReceive());
}

TEST_F(SessionTest, PartialLineOfMoreThanOneMebibyteClosesTheConnection) {
  auto client = h.connectClient();
  const std::string chunk(65536, 'x');
  for (int i = 0; i < 16; ++i) h.send(*client, chunk);  // exactly 1 MiB: still open
  EXPECT_EQ(h.host->currentConnection(), client);
  h.send(*client, "x");
  EXPECT_EQ(h.host->currentConnection(), nullptr);
  EXPECT_TRUE(client->cancelled);
  EXPECT_EQ(h.status(), "Client disconnected (control line too long)");
}

TEST_F(SessionTest, SendLineKeepsOrderAndIsDroppedWithoutAClient) {
  h.host->sendLine("{\"dropped\":true}");
  h.loop.drain();
  auto client = h.connectClient();
  for (int i = 0; i < 5; ++i) h.host->sendLine("{\"n\":" + std::to_string(i) + "}");
  h.host->sendMessage(InputRejectedMessage{.windowId = 3, .reason = "r", .timestamp = 60});
  h.loop.drain();
  EXPECT_EQ(client->sentText(), "{\"n\":0}\n{\"n\":1}\n{\"n\":2}\n{\"n\":3}\n{\"n\":4}\n"
                                "{\"windowId\":3,\"reason\":\"r\",\"timestamp\":60}\n");
}

TEST_F(SessionTest, DisconnectClientAndIsClientConnected) {
  EXPECT_FALSE(h.host->isClientConnected("A"));
  auto client = h.connectClient();
  EXPECT_TRUE(h.host->isClientConnected("A"));  // no hello yet: taken to be the device in question
  h.send(*client, "{\"type\":\"clientHello\",\"deviceName\":\"iPad\",\"platform\":\"iPadOS\",\"pairingID\":\"A\"}\n");
  EXPECT_TRUE(h.host->isClientConnected("A"));
  EXPECT_FALSE(h.host->isClientConnected("B"));
  h.host->disconnectClient("Unpaired device revoked");
  h.loop.drain();
  EXPECT_EQ(h.status(), "Client disconnected (Unpaired device revoked)");
  EXPECT_EQ(*h.host->connectedClientPairingID(), std::nullopt);
  EXPECT_TRUE(client->cancelled);
  EXPECT_FALSE(h.host->isClientConnected("A"));
}

// Dispatch.

// A frame request for a window the catalogue does not list never reaches the pump; one
// for a listed window does, and so does one without an id (the pump logs it).
TEST_F(SessionTest, FrameRequestsReachThePumpOnlyForListedWindows) {
  auto client = h.connectClient();
  EXPECT_CALL(h.windowList, admitsFrames(5u)).WillRepeatedly(Return(true));
  EXPECT_CALL(h.windowList, admitsFrames(0x400001u)).WillRepeatedly(Return(false));
  EXPECT_CALL(h.stream, handleSnapshotRequest(Optional(5u))).Times(1);
  EXPECT_CALL(h.stream, handleSnapshotRequest(Optional(0x400001u))).Times(0);
  EXPECT_CALL(h.stream, handleSnapshotRequest(std::optional<std::uint32_t>())).Times(1);
  h.send(*client, "{\"type\":\"requestWindowSnapshot\",\"windowId\":4194305}\n"
                  "{\"type\":\"requestWindowSnapshot\",\"windowId\":5}\n"
                  "{\"type\":\"requestWindowSnapshot\"}\n");
}

TEST_F(SessionTest, RoutesEveryTypeToItsHandler) {
  h.host->setAllowControlThisMac(true);
  auto client = h.connectClient();
  EXPECT_CALL(h.windowList, handleWindowListRequest());
  EXPECT_CALL(h.stream, handleSnapshotRequest(Optional(5u)));
  EXPECT_CALL(h.stream, handleSnapshotRequest(std::optional<std::uint32_t>()));
  EXPECT_CALL(h.input, handlePointerRequest(Field(&OrvoRequest::type, "mouseClick")));
  EXPECT_CALL(h.input, handlePointerRequest(Field(&OrvoRequest::type, "mouseScroll")));
  EXPECT_CALL(h.input, handlePointerRequest(Field(&OrvoRequest::type, "mouseDown")));
  EXPECT_CALL(h.input, handlePointerRequest(Field(&OrvoRequest::type, "mouseDrag")));
  EXPECT_CALL(h.input, handlePointerRequest(Field(&OrvoRequest::type, "mouseUp")));
  EXPECT_CALL(h.input, handleKeyboardText("héllo"));
  EXPECT_CALL(h.input, handleKeyboardCommand(KeyboardCommand::upArrow));
  EXPECT_CALL(h.focus, setClientActiveWindow(12));
  EXPECT_CALL(h.stream, setCaptureMode(12, CaptureMode::isolated));
  h.send(*client,
         "{\"type\":\"requestWindowList\"}\n"
         "{\"type\":\"requestWindowSnapshot\",\"windowId\":5}\n"
         "{\"type\":\"requestWindowSnapshot\"}\n"
         "{\"type\":\"mouseClick\",\"windowId\":5,\"normX\":0.5,\"normY\":0.5}\n"
         "{\"type\":\"mouseScroll\",\"normY\":10}\n"
         "{\"type\":\"mouseDown\",\"windowId\":5,\"normX\":0.1,\"normY\":0.1}\n"
         "{\"type\":\"mouseDrag\",\"windowId\":5,\"normX\":0.2,\"normY\":0.1}\n"
         "{\"type\":\"mouseUp\",\"windowId\":5,\"normX\":0.3,\"normY\":0.1}\n"
         "{\"type\":\"keyboardText\",\"text\":\"héllo\"}\n"
         "{\"type\":\"keyboardCommand\",\"command\":\"upArrow\"}\n"
         "{\"type\":\"clientActiveWindow\",\"windowId\":12}\n"
         "{\"type\":\"setCaptureMode\",\"windowId\":12,\"captureMode\":\"isolated\"}\n");
}

TEST_F(SessionTest, RemoteControlGateComesBeforeTheFullDecode) {
  auto client = h.connectClient();
  EXPECT_CALL(h.input, handlePointerRequest(_)).Times(0);
  EXPECT_CALL(h.input, handleKeyboardText(_)).Times(0);
  EXPECT_CALL(h.windowList, handleWindowListRequest()).Times(2);
  // Setting absent: blocked, and the record is not even decoded.
  h.send(*client, "{\"type\":\"mouseDown\",\"windowId\":\"5\"}\n");
  EXPECT_TRUE(h.logger.has("OrvoHost: remote control blocked (disabled or AX not granted) for message type: mouseDown"));
  EXPECT_EQ(h.logger.countPrefix("OrvoHost: failed to decode"), 0u);
  h.send(*client, "{\"type\":\"requestWindowList\"}\n");
  // Allowed but input injection unavailable: still blocked; read afresh per message.
  h.host->setAllowControlThisMac(true);
  h.activation.trusted = false;
  h.send(*client, "{\"type\":\"keyboardText\",\"text\":\"a\"}\n");
  EXPECT_EQ(h.logger.countPrefix("OrvoHost: remote control blocked"), 2u);
  h.send(*client, "{\"type\":\"requestWindowList\"}\n");
  EXPECT_TRUE(client->sentText().empty());  // the client is never told
}

TEST_F(SessionTest, DecodeFailuresAndUnknownTypesAreLoggedAndTheSessionGoesOn) {
  auto client = h.connectClient();
  h.send(*client, "{\"type\":5}\n");
  EXPECT_TRUE(h.logger.has("Line was: {\"type\":5}"));
  h.send(*client, "{\"type\":\"setCaptureMode\",\"windowId\":1,\"captureMode\":\"fancy\"}\n");
  h.send(*client, "{\"type\":\"requestWindowSnapshot\",\"windowId\":-1}\n");
  EXPECT_EQ(h.logger.countPrefix("OrvoHost: failed to decode incoming message:"), 3u);
  h.send(*client, "{\"type\":\"RequestWindowList\"}\n");
  EXPECT_TRUE(h.logger.has("OrvoHost: unknown message type: RequestWindowList"));
  EXPECT_EQ(h.host->currentConnection(), client);
}

TEST_F(SessionTest, HiddenClientGetsNoListsSnapshotsOrPointerButKeyboardStillWorks) {
  h.host->setAllowControlThisMac(true);
  auto client = h.connectClient();
  EXPECT_CALL(h.windowList, handleWindowListRequest()).Times(1);
  EXPECT_CALL(h.stream, handleSnapshotRequest(_)).Times(0);
  EXPECT_CALL(h.input, handlePointerRequest(_)).Times(0);
  EXPECT_CALL(h.input, handleKeyboardCommand(KeyboardCommand::enter));
  h.send(*client, "{\"type\":\"clientVisibility\",\"isVisible\":false}\n");
  EXPECT_TRUE(h.logger.has("OrvoHost: client visibility = false"));
  EXPECT_FALSE(h.sleep.held);
  h.send(*client,
         "{\"type\":\"requestWindowList\"}\n{\"type\":\"requestWindowSnapshot\",\"windowId\":1}\n"
         "{\"type\":\"mouseClick\",\"windowId\":1,\"normX\":0,\"normY\":0}\n"
         "{\"type\":\"keyboardCommand\",\"command\":\"enter\"}\n");
  h.send(*client, "{\"type\":\"clientVisibility\",\"isVisible\":true}\n{\"type\":\"requestWindowList\"}\n");
  EXPECT_TRUE(h.sleep.held);
}

TEST_F(SessionTest, LockedHostDropsEveryLineUntilUnlocked) {
  auto client = h.connectClient();
  EXPECT_CALL(h.windowList, handleWindowListRequest()).Times(0);
  h.host->handleScreenLocked();
  h.loop.drain();
  EXPECT_TRUE(client->cancelled);
  EXPECT_FALSE(h.sleep.held);
  auto lockedClient = h.connectClient();
  h.send(*lockedClient, "{\"type\":\"requestWindowList\"}\n");
  EXPECT_FALSE(h.sleep.held);  // accepted but not served while locked
  h.host->handleScreenUnlocked();
  EXPECT_FALSE(lockedClient->cancelled);  // unlock does not touch the connection
  h.host->handleHostDidWake();
  EXPECT_TRUE(lockedClient->cancelled);  // a wake drops whatever session survived
}

// Lock and sleep are two states: waking leaves a locked screen locked, unlocking leaves a
// sleeping machine asleep.
TEST_F(SessionTest, LockAndSleepEndSeparately) {
  h.host->handleScreenLocked();
  h.host->handleHostWillSleep();
  h.host->handleHostDidWake();
  EXPECT_TRUE(h.host->hostIsLockedOrAsleep()) << "woken, still locked";
  auto client = h.connectClient();
  EXPECT_CALL(h.windowList, handleWindowListRequest()).Times(0);
  h.send(*client, "{\"type\":\"requestWindowList\"}\n");
  EXPECT_FALSE(h.sleep.held);
  ::testing::Mock::VerifyAndClearExpectations(&h.windowList);
  h.host->handleScreenUnlocked();
  EXPECT_FALSE(h.host->hostIsLockedOrAsleep());
  EXPECT_CALL(h.windowList, handleWindowListRequest()).Times(1);
  h.send(*client, "{\"type\":\"requestWindowList\"}\n");

  h.host->handleHostWillSleep();
  h.host->handleScreenLocked();
  h.host->handleScreenUnlocked();
  EXPECT_TRUE(h.host->hostIsLockedOrAsleep()) << "unlocked, still asleep";
  h.host->handleHostDidWake();
  EXPECT_FALSE(h.host->hostIsLockedOrAsleep());
}

TEST_F(SessionTest, SystemSleepAndLockEventsReachTheHandlersOnTheMainQueue) {
  auto client = h.connectClient();
  EXPECT_TRUE(h.sleep.held);
  h.powerEvents.fire(platform::PowerLockEvent::locked);
  EXPECT_FALSE(client->cancelled);  // only on the main queue's next turn
  h.loop.drain();
  EXPECT_TRUE(h.logger.has("OrvoHost: screen locked → disable streaming/input"));
  EXPECT_TRUE(client->cancelled);
  EXPECT_FALSE(h.sleep.held);
  EXPECT_TRUE(h.host->hostIsLockedOrAsleep());
  h.powerEvents.fire(platform::PowerLockEvent::unlocked);
  h.loop.drain();
  EXPECT_FALSE(h.host->hostIsLockedOrAsleep());
  h.powerEvents.fire(platform::PowerLockEvent::willSleep);
  h.loop.drain();
  EXPECT_TRUE(h.logger.has("OrvoHost: host will sleep → tearing down session"));
  h.powerEvents.fire(platform::PowerLockEvent::didWake);
  h.loop.drain();
  EXPECT_TRUE(h.logger.has("OrvoHost: host did wake → reset stale session + republish if needed"));
  EXPECT_FALSE(h.host->hostIsLockedOrAsleep());

  // A report queued just before the host goes does nothing.
  h.powerEvents.fire(platform::PowerLockEvent::locked);
  h.host.reset();
  h.loop.drain();
  EXPECT_FALSE(h.powerEvents.handler);
}

// Liveness.

TEST_F(SessionTest, SilentVisibleClientIsDroppedJustAfterTenSeconds) {
  auto client = h.connectClient();
  // Exactly 10.0 s of silence at a tick is not yet a timeout.
  h.loop.advance(8.0);
  h.send(*client, "{\"type\":\"clientPing\"}\n");  // refreshed at t0+8
  h.loop.advance(10.0);                              // tick at t0+18: 10.0 s exactly
  EXPECT_EQ(h.host->currentConnection(), client);
  h.loop.advance(2.0);  // tick at t0+20: 12 s
  EXPECT_EQ(h.host->currentConnection(), nullptr);
  EXPECT_TRUE(h.logger.has("OrvoHost: client went silent; suspending streaming."));
  EXPECT_TRUE(client->cancelled);
  EXPECT_EQ(h.status(), "Client connected");  // a timeout leaves the status alone
  EXPECT_EQ(h.loop.scheduledTimers(), 1u);     // only the pairing-code timer is left
}

TEST_F(SessionTest, InputDoesNotKeepAClientAliveButHiddenClientsAreNotTimedOut) {
  h.host->setAllowControlThisMac(true);
  auto client = h.connectClient();
  for (int i = 0; i < 6; ++i) {
    h.loop.advance(2.0);
    h.send(*client, "{\"type\":\"keyboardCommand\",\"command\":\"enter\"}\n");
  }
  EXPECT_EQ(h.host->currentConnection(), nullptr);

  auto hidden = h.connectClient();
  h.send(*hidden, "{\"type\":\"clientVisibility\",\"isVisible\":false}\n");
  h.loop.advance(60.0);
  EXPECT_EQ(h.host->currentConnection(), hidden);
}

TEST_F(SessionTest, HelloSetsStatusPairingIdAndTouchesThePeer) {
  h.pair("A", "Old name");
  auto client = h.connectClient();
  StatusHistory history(*h.host);
  h.send(*client, "{\"type\":\"clientHello\",\"deviceName\":\"  iPad\\n \",\"platform\":\"iPadOS\",\"pairingID\":\"A\"}\n");
  EXPECT_TRUE(history.saw("Connected: iPad"));
  EXPECT_EQ(*h.host->connectedClientPairingID(), "A");
  EXPECT_EQ(h.host->pairingStore().paired()->front().displayName, "iPad");
  EXPECT_TRUE(h.logger.has("OrvoHost: clientHello = iPad platform= iPadOS pairingID= A"));

  h.send(*client, "{\"type\":\"clientHello\",\"deviceName\":\"Vision\",\"platform\":\"visionOS\"}\n");
  EXPECT_TRUE(h.logger.has("OrvoHost: clientHello = Vision platform= visionOS pairingID= nil"));
  EXPECT_EQ(*h.host->connectedClientPairingID(), "A");

  const auto seen = history.values.size();
  h.send(*client, "{\"type\":\"clientHello\",\"deviceName\":\"   \",\"platform\":\"x\",\"pairingID\":\"B\"}\n");
  EXPECT_EQ(history.values.size(), seen);
  EXPECT_EQ(*h.host->connectedClientPairingID(), "A");
  EXPECT_EQ(h.logger.countPrefix("OrvoHost: clientHello"), 2u);
}

TEST_F(SessionTest, SleepPreventionLogLines) {
  h.logger.clear();
  h.host->resetSessionState();  // nothing held: still says so
  EXPECT_EQ(h.logger.countPrefix("Display sleep prevention disabled"), 1u);
  auto client = h.connectClient();
  h.host->updateAwakeState();
  EXPECT_EQ(h.logger.countPrefix("Display sleep prevention enabled"), 1u);
  EXPECT_EQ(h.sleep.reason, "Orvo streaming active");
  h.host->handleHostWillSleep();
  EXPECT_FALSE(h.sleep.held);
  EXPECT_EQ(h.sleep.begins, 1);
  EXPECT_EQ(h.sleep.ends, 1);
}

}  // namespace
}  // namespace orvo::testing
