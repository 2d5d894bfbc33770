// Our client connection against our listener, the way the host and the reference client
// use them.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <thread>

#include "BlockingTlsClient.h"
#include "NetTestSupport.h"

namespace orvo::platform::nettest {
namespace {

using Kind = ConnectionStateKind;

const std::string kPairingId = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";

class ConnectionTest : public NetworkTest {
 protected:
  // A client and the host's side of it, both ready.
  void connectPair(const TlsParameters& parameters) {
    server = listen(parameters);
    client = connect(*server, parameters);
    ASSERT_TRUE(runUntil([&] {
      return client->reached(Kind::ready) && !server->accepted.empty() && server->accepted[0]->reached(Kind::ready);
    })) << client->failure();
    host = server->accepted[0].get();
  }

  std::unique_ptr<ListenerProbe> server;
  std::unique_ptr<ConnectionProbe> client;
  ConnectionProbe* host = nullptr;
};

// A plain TCP client that connects and then says nothing.
class SilentTcpClient {
 public:
  explicit SilentTcpClient(std::uint16_t port) : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~SilentTcpClient() { ::close(socket_); }
  SilentTcpClient(const SilentTcpClient&) = delete;
  SilentTcpClient& operator=(const SilentTcpClient&) = delete;
  bool connected() const { return connected_; }
  // Whether the other side closed: a read that ends (or is reset) within one second.
  bool closedByPeer() const {
    pollfd entry{.fd = socket_, .events = POLLIN, .revents = 0};
    if (::poll(&entry, 1, 1000) != 1) return false;
    char byte;
    return ::recv(socket_, &byte, 1, 0) <= 0;
  }

 private:
  int socket_;
  bool connected_ = false;
};

TEST_F(ConnectionTest, ManySendsFromAnotherThreadArriveInOrderByteForByte) {
  const Bytes key = keyBytes(1);
  ASSERT_EQ(std::count(key.begin(), key.end(), 0), 0);
  ASSERT_TRUE(std::any_of(key.begin(), key.end(), [](std::uint8_t b) { return b < 0x20 || b >= 0x7F; }));
  ASSERT_NO_FATAL_FAILURE(connectPair(sessionParameters({{kPairingId, key}})));
  client->receiveAll();

  // Frames as the host writes them from its send queue: a 9-byte header, then a body of
  // any size (none, tiny, around one TLS record, beyond one write batch).
  constexpr int kSends = 2000;
  std::vector<Bytes> sends;
  Bytes expected;
  for (int i = 0; i < kSends; ++i) {
    std::size_t size = i % 2 == 0 ? 9 : static_cast<std::size_t>(i * 7919) % 24000;
    if (i == 1) size = 0;
    if (i == 3) size = 300 * 1024;
    Bytes data(size);
    for (std::size_t j = 0; j < size; ++j) data[j] = static_cast<std::uint8_t>(i * 31 + j * 7 + (j >> 8));
    expected.insert(expected.end(), data.begin(), data.end());
    sends.push_back(std::move(data));
  }
  const std::thread::id ioThread = std::this_thread::get_id();
  std::vector<int> completed;
  int errors = 0;
  bool offThread = false;
  std::thread sender([&] {
    for (int i = 0; i < kSends; ++i) {
      host->connection->send(sends[i], [&, i](std::optional<std::string> error) {
        offThread |= std::this_thread::get_id() != ioThread;
        errors += error.has_value();
        completed.push_back(i);
      });
    }
  });
  const bool allArrived =
      runUntil([&] { return client->received.size() >= expected.size() || client->ended(); }, 30s);
  sender.join();
  ASSERT_TRUE(allArrived) << client->received.size() << " of " << expected.size();
  ASSERT_TRUE(runUntil([&] { return completed.size() == static_cast<std::size_t>(kSends); }));

  ASSERT_EQ(client->received.size(), expected.size());
  const auto mismatch = std::mismatch(expected.begin(), expected.end(), client->received.begin());
  EXPECT_EQ(mismatch.first, expected.end()) << "first difference at byte " << (mismatch.first - expected.begin());
  EXPECT_TRUE(std::is_sorted(completed.begin(), completed.end()));
  EXPECT_EQ(errors, 0);
  EXPECT_FALSE(offThread);
}

TEST_F(ConnectionTest, ListenerAnswersOnlyTheIdentityOfAKeyWithThatKeysSecret) {
  const Bytes a = keyBytes(2), b = keyBytes(3), c = keyBytes(4);
  server = listen(sessionParameters({{"A-ID", a}, {"B-ID", b}, {"C-ID", c}}));
  Bytes shorter(a.begin(), a.end() - 1);
  Bytes longer = a;
  longer.push_back(0x41);
  Bytes withZero = a;
  withZero[16] = 0;  // OpenSSL cuts it at the zero: an identity that matches nothing
  struct Case {
    const char* name;
    std::string identityText;
    Bytes key;
    Kind expected;
  };
  const std::vector<Case> cases = {
      {"first key", "A-ID", a, Kind::ready},
      {"last key", "C-ID", c, Kind::ready},
      {"identity of one key, secret of another", "B-ID", a, Kind::failed},
      {"unknown identity", "A-ID", keyBytes(9), Kind::failed},
      {"identity cut short", "A-ID", shorter, Kind::failed},
      {"identity too long", "A-ID", longer, Kind::failed},
      {"identity with a zero byte", "A-ID", withZero, Kind::failed},
  };
  std::vector<std::unique_ptr<ConnectionProbe>> clients;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    clients.push_back(connect(*server, sessionParameters({{cases[i].identityText, cases[i].key}})));
    ConnectionProbe& caller = *clients.back();
    auto settled = [](const ConnectionProbe& probe) {
      return probe.reached(Kind::ready) || probe.reached(Kind::failed);
    };
    ASSERT_TRUE(runUntil([&] { return settled(caller) && server->accepted.size() > i && settled(*server->accepted[i]); }));
    const ConnectionProbe& answerer = *server->accepted[i];
    EXPECT_EQ(answerer.states.back().kind, cases[i].expected) << answerer.failure();
    EXPECT_EQ(caller.states.back().kind, cases[i].expected) << caller.failure();
    if (cases[i].expected == Kind::failed) {
      EXPECT_FALSE(answerer.failure().empty());
      EXPECT_FALSE(caller.failure().empty());
    }
  }
}

TEST_F(ConnectionTest, CancelDuringHandshakeEndsEverythingPendingOnce) {
  server = listen(sessionParameters({{kPairingId, keyBytes(5)}}));
  SilentTcpClient silent(*server->listener->port());
  ASSERT_TRUE(silent.connected());
  ASSERT_TRUE(runUntil([&] { return !server->accepted.empty() && server->accepted[0]->reached(Kind::preparing); }));
  ConnectionProbe& peer = *server->accepted[0];
  peer.receiveAll();
  std::optional<std::optional<std::string>> sendResult;
  peer.connection->send(toBytes("never sent"), [&](std::optional<std::string> error) { sendResult = error; });
  peer.connection->cancel();
  peer.connection->cancel();
  ASSERT_TRUE(runUntil([&] { return peer.reached(Kind::cancelled) && sendResult && peer.ended(); }));
  EXPECT_TRUE(silent.closedByPeer());
  runFor(100ms);
  EXPECT_EQ(peer.kinds(), (std::vector{Kind::preparing, Kind::cancelled}));
  ASSERT_TRUE(sendResult->has_value());
  EXPECT_TRUE(peer.receiveError.has_value());
  EXPECT_EQ(peer.receiveCompletions, 1);

  // After the end, operations answer at once with an error.
  std::optional<std::string> lateReceive;
  peer.connection->receive(1, 10, [&](Bytes, bool, std::optional<std::string> error) { lateReceive = error; });
  std::optional<std::optional<std::string>> lateSend;
  peer.connection->send(toBytes("x"), [&](std::optional<std::string> error) { lateSend = error; });
  ASSERT_TRUE(runUntil([&] { return lateReceive && lateSend; }));
  EXPECT_TRUE(lateSend->has_value());
}

TEST_F(ConnectionTest, NoStateReachesARemovedHandler) {
  const TlsParameters parameters = sessionParameters({{kPairingId, keyBytes(6)}});
  server = listen(parameters, /*startConnections=*/false);
  client = connect(*server, parameters);
  ASSERT_TRUE(runUntil([&] { return !server->accepted.empty(); }));
  ConnectionProbe& peer = *server->accepted[0];
  // preparing is already on its way when the handler goes; it must not arrive.
  peer.connection->start();
  peer.connection->setStateHandler({});
  ASSERT_TRUE(runUntil([&] { return client->reached(Kind::ready); })) << client->failure();
  peer.connection->cancel();
  runFor(100ms);
  EXPECT_TRUE(peer.states.empty());
}

TEST_F(ConnectionTest, ReceiveHonoursMinimumAndMaximum) {
  ASSERT_NO_FATAL_FAILURE(connectPair(sessionParameters({{kPairingId, keyBytes(7)}})));
  host->connection->send(toBytes("0123456789"), nullptr);
  std::vector<std::string> pieces;
  auto receive = [&](std::size_t minimum, std::size_t maximum) {
    client->connection->receive(minimum, maximum, [&](Bytes data, bool, std::optional<std::string> error) {
      pieces.push_back(error ? "error: " + *error : toString(data));
    });
  };
  receive(4, 6);
  ASSERT_TRUE(runUntil([&] { return pieces.size() == 1; }));
  EXPECT_EQ(pieces[0], "012345");
  receive(5, 100);  // only 4 bytes are there: wait for more
  receive(1, 1);    // one receive at a time
  ASSERT_TRUE(runUntil([&] { return pieces.size() == 2; }));
  EXPECT_EQ(pieces[1].rfind("error: ", 0), 0u) << pieces[1];
  runFor(50ms);
  EXPECT_EQ(pieces.size(), 2u);
  host->connection->send(toBytes("abc"), nullptr);
  ASSERT_TRUE(runUntil([&] { return pieces.size() == 3; }));
  EXPECT_EQ(pieces[2], "6789abc");
}

// The pairing answer: one send, and cancel once it has been handed over. The client had
// sent more than the host ever read; closing must not turn into a reset that destroys
// the answer on its way.
TEST_F(ConnectionTest, AnswerThenCancelReachesTheClientWithCloseNotify) {
  const TlsParameters parameters = sessionParameters({{kPairingId, keyBytes(8)}});
  server = listen(parameters);
  Bytes answer(2 * 1024 * 1024);
  for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<std::uint8_t>(i * 13 + (i >> 12));
  Bytes received;
  bool closeNotify = false;
  bool handshook = false;
  std::atomic<bool> peerDone = false;
  std::thread peer([&] {
    BlockingTlsClient tls(*server->listener->port(), parameters);
    handshook = tls.handshake() && tls.write(Bytes(64 * 1024, 'x'));
    if (handshook) received = tls.readToEnd(closeNotify);
    peerDone = true;
  });
  const bool ready = runUntil([&] { return !server->accepted.empty() && server->accepted[0]->reached(Kind::ready); });
  if (ready) {
    std::shared_ptr<Connection> connection = server->accepted[0]->connection;
    connection->send(answer, [connection](std::optional<std::string>) { connection->cancel(); });
  }
  const bool cancelled = runUntil([&] { return ready && server->accepted[0]->reached(Kind::cancelled); });
  // The close finishes while the client reads: the loop runs until the client has read to
  // the end.
  EXPECT_TRUE(runUntil([&] { return peerDone.load(); }, 30s));
  peer.join();
  ASSERT_TRUE(ready && cancelled && handshook);
  EXPECT_EQ(received.size(), answer.size());
  EXPECT_TRUE(received == answer);
  EXPECT_TRUE(closeNotify);
}

TEST_F(ConnectionTest, DroppingTheLastHandleOnAnyThreadClosesTheConnection) {
  ASSERT_NO_FATAL_FAILURE(connectPair(sessionParameters({{kPairingId, keyBytes(10)}})));
  client->receiveAll();
  host->receiveAll();
  // The last reference goes on another thread, as it may on the host's send queue.
  std::thread([connection = std::move(host->connection)]() mutable { connection.reset(); }).join();
  ASSERT_TRUE(runUntil([&] { return client->ended() && host->ended(); }));
  EXPECT_TRUE(client->complete);  // the peer saw close notify
  EXPECT_TRUE(host->receiveError.has_value());  // the pending receive still completed
  runFor(50ms);
  EXPECT_EQ(host->kinds(), (std::vector{Kind::preparing, Kind::ready}));  // no state after the handle went
}

TEST_F(ConnectionTest, FinalLineBeforeAnEndWithoutCloseNotifyArrivesFirst) {
  const TlsParameters parameters = sessionParameters({{kPairingId, keyBytes(11)}});
  server = listen(parameters);
  // A client that ends the way many do: its last bytes, then the TCP end without close notify.
  std::thread abrupt([&, port = *server->listener->port()] {
    BlockingTlsClient tls(port, parameters);
    if (tls.handshake()) tls.write(toBytes("the last line\n"));
    tls.drop();
  });
  ASSERT_TRUE(runUntil([&] { return !server->accepted.empty() && server->accepted[0]->reached(Kind::ready); }));
  ConnectionProbe& peer = *server->accepted[0];
  peer.receiveAll();
  const bool ended = runUntil([&] { return peer.ended(); });
  abrupt.join();
  ASSERT_TRUE(ended);
  EXPECT_EQ(toString(peer.received), "the last line\n");
  EXPECT_TRUE(peer.complete);
  EXPECT_EQ(peer.receiveError, std::nullopt);
}

TEST_F(ConnectionTest, ClientThatCannotConnectReportsFailed) {
  server = listen(sessionParameters({{kPairingId, keyBytes(12)}}));
  const std::uint16_t closedPort = *server->listener->port();
  server->listener->cancel();
  ASSERT_TRUE(runUntil([&] { return server->reached(ListenerStateKind::cancelled); }));
  TlsParameters unusable = sessionParameters({{kPairingId, keyBytes(12)}});
  unusable.cipherSuites = {0x1234};
  struct Case {
    const char* name;
    TlsParameters parameters;
  };
  for (const Case& c : {Case{"nobody listens", sessionParameters({{kPairingId, keyBytes(12)}})},
                        Case{"unusable parameters", unusable}}) {
    SCOPED_TRACE(c.name);
    ConnectionProbe probe(network.makeConnection("127.0.0.1", closedPort, c.parameters));
    probe.connection->start();
    ASSERT_TRUE(runUntil([&] { return probe.reached(Kind::failed); }));
    EXPECT_EQ(probe.kinds(), (std::vector{Kind::preparing, Kind::failed}));
    EXPECT_FALSE(probe.failure().empty());
    std::cout << "[ info     ] " << c.name << ": " << probe.failure() << "\n";
  }
}

// Handlers that hold their own connection (or listener) keep it until its final state.
// When the io_context goes first, no final state can come: the handlers must be let go,
// or everything they hold stays alive for ever.
TEST(NetworkShutdownTest, DestroyingTheIoContextReleasesHandlersThatHoldTheirOwners) {
  std::weak_ptr<Listener> listenerLeft;
  std::weak_ptr<Connection> hostSideLeft, clientSideLeft;
  {
    orvo::testing::RecordingLogger logger;
    asio::io_context context;
    AsioNetwork network(context, "127.0.0.1", logger);
    const TlsParameters parameters = sessionParameters({{kPairingId, keyBytes(13)}});
    std::string error;
    std::shared_ptr<Listener> listener = network.makeListener(parameters, error);
    ASSERT_NE(listener, nullptr) << error;
    int ready = 0;
    listener->setStateHandler([listener](const ListenerState&) {});
    listener->setNewConnectionHandler([&](std::shared_ptr<Connection> connection) {
      hostSideLeft = connection;
      connection->setStateHandler([&, connection](const ConnectionState& state) {
        if (state.kind != Kind::ready) return;
        ++ready;
        connection->receive(1, 100, [connection](Bytes, bool, std::optional<std::string>) {});
      });
      connection->start();
    });
    listener->start();
    while (!listener->port()) context.run_one_for(10ms);
    std::shared_ptr<Connection> client = network.makeConnection("127.0.0.1", *listener->port(), parameters);
    client->setStateHandler([&, client](const ConnectionState& state) { ready += state.kind == Kind::ready; });
    client->start();
    listenerLeft = listener;
    clientSideLeft = client;
    listener.reset();
    client.reset();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (ready < 2 && std::chrono::steady_clock::now() < deadline) context.run_one_for(10ms);
    ASSERT_EQ(ready, 2);
  }
  EXPECT_TRUE(listenerLeft.expired());
  EXPECT_TRUE(hostSideLeft.expired());
  EXPECT_TRUE(clientSideLeft.expired());
}

}  // namespace
}  // namespace orvo::platform::nettest
