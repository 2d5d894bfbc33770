#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <functional>

#include "NetTestSupport.h"
#include "platform/linux/net/AsioListener.h"
#include "support/Unavailable.h"

namespace orvo::platform::nettest {
namespace {

using Kind = ConnectionStateKind;

const std::string kPairingId = "9B2E7D10-3C4F-4A5B-8C6D-7E8F9A0B1C2D";

// A blocking TCP connect to 127.0.0.1; returns the socket, or -1 with errno.
int tcpConnect(std::uint16_t port) {
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(socket);
    errno = error;
    return -1;
  }
  return socket;
}

#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t kAuditArch = 0;
#endif

class ListenerTest : public NetworkTest {};

TEST_F(ListenerTest, UnusableParametersAreRefusedAtCreation) {
  TlsParameters good = sessionParameters({{kPairingId, keyBytes(1)}});
  struct Case {
    const char* name;
    std::string bindAddress;
    std::vector<std::uint16_t> suites;
  };
  for (const Case& c : {Case{"bind address is not an address", "localhost.invalid", {0x00A8}},
                        Case{"unknown cipher suite", "127.0.0.1", {0x00A8, 0x1234}},
                        Case{"TLS 1.3 cipher suite", "127.0.0.1", {0x1301}},
                        Case{"no cipher suite", "127.0.0.1", {}}}) {
    SCOPED_TRACE(c.name);
    AsioNetwork other(context, c.bindAddress, logger);
    TlsParameters parameters = good;
    parameters.cipherSuites = c.suites;
    std::string error;
    EXPECT_EQ(other.makeListener(parameters, error), nullptr);
    EXPECT_FALSE(error.empty());
  }
}

TEST_F(ListenerTest, AddressThatCannotBeBoundReportsFailed) {
  AsioNetwork elsewhere(context, "192.0.2.1", logger);  // documentation range: on no interface here
  std::string error;
  auto listener = elsewhere.makeListener(sessionParameters({{kPairingId, keyBytes(1)}}), error);
  ASSERT_NE(listener, nullptr) << error;
  std::vector<ListenerState> states;
  listener->setStateHandler([&](const ListenerState& state) { states.push_back(state); });
  listener->start();
  ASSERT_TRUE(runUntil([&] { return !states.empty(); }));
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0].kind, ListenerStateKind::failed);
  EXPECT_NE(states[0].error.find("192.0.2.1"), std::string::npos) << states[0].error;
  EXPECT_EQ(listener->port(), std::nullopt);
}

TEST_F(ListenerTest, WithoutKeysItListensButEveryHandshakeFails) {
  auto server = listen(sessionParameters({}));
  auto client = connect(*server, sessionParameters({{kPairingId, keyBytes(2)}}));
  ASSERT_TRUE(runUntil([&] {
    return client->reached(Kind::failed) && !server->accepted.empty() && server->accepted[0]->reached(Kind::failed);
  }));
  EXPECT_FALSE(server->accepted[0]->reached(Kind::ready));
  EXPECT_FALSE(client->reached(Kind::ready));
  EXPECT_EQ(server->states.size(), 1u);  // still ready
}

TEST_F(ListenerTest, NewConnectionsArriveNotStarted) {
  const TlsParameters parameters = sessionParameters({{kPairingId, keyBytes(3)}});
  auto server = listen(parameters, /*startConnections=*/false);
  auto client = connect(*server, parameters);
  ASSERT_TRUE(runUntil([&] { return server->accepted.size() == 1; }));
  runFor(200ms);
  EXPECT_TRUE(server->accepted[0]->states.empty());
  EXPECT_EQ(client->kinds(), std::vector{Kind::preparing});  // no answer to its hello yet
  server->accepted[0]->connection->start();
  ASSERT_TRUE(runUntil([&] { return client->reached(Kind::ready) && server->accepted[0]->reached(Kind::ready); }));
}

// A connection not started yet is read all the same: its first record is seen as it
// comes (a record header announcing 5 bytes, then the 5), the bytes are kept for the
// handshake, and when the peer closes it the connection fails at once, never started.
TEST_F(ListenerTest, NotStartedConnectionsSeeTheFirstRecordAndThePeersEnd) {
  const TlsParameters parameters = sessionParameters({{kPairingId, keyBytes(7)}});
  auto server = listen(parameters, /*startConnections=*/false);
  const int raw = tcpConnect(*server->listener->port());
  ASSERT_GE(raw, 0);
  ASSERT_TRUE(runUntil([&] { return server->accepted.size() == 1; }));
  auto& waiting = *server->accepted[0];
  EXPECT_FALSE(waiting.connection->hasReceivedFirstRecord());
  ASSERT_EQ(::write(raw, "\x16\x03\x01\x00\x05" "ab", 7), 7);
  runFor(100ms);
  EXPECT_FALSE(waiting.connection->hasReceivedFirstRecord());
  ASSERT_EQ(::write(raw, "cde", 3), 3);
  ASSERT_TRUE(runUntil([&] { return waiting.connection->hasReceivedFirstRecord(); }));
  EXPECT_FALSE(waiting.connection->hasReceivedBeyondFirstRecord());
  ASSERT_EQ(::write(raw, "\x16", 1), 1);
  ASSERT_TRUE(runUntil([&] { return waiting.connection->hasReceivedBeyondFirstRecord(); }));
  EXPECT_TRUE(waiting.states.empty());
  ::close(raw);
  ASSERT_TRUE(runUntil([&] { return waiting.reached(Kind::failed); }, 2s));
  EXPECT_EQ(waiting.failure(), "connection closed by the peer before the handshake");
  EXPECT_FALSE(waiting.reached(Kind::preparing));

  // A real client's hello, read before start(), is handed to the handshake when it begins.
  auto client = connect(*server, parameters);
  ASSERT_TRUE(runUntil([&] {
    return server->accepted.size() == 2 && server->accepted[1]->connection->hasReceivedFirstRecord();
  }));
  server->accepted[1]->connection->start();
  ASSERT_TRUE(runUntil([&] { return client->reached(Kind::ready) && server->accepted[1]->reached(Kind::ready); }));
  EXPECT_TRUE(client->connection->hasReceivedFirstRecord());  // the client side cannot tell: true
}

// Runs in a child process: IPv6 sockets are refused as on a kernel booted without IPv6
// (a seccomp filter answers socket(AF_INET6, ...) with EAFNOSUPPORT). Listeners on "::"
// fall back to 0.0.0.0, say so once, and serve IPv4 clients.
int listenWithoutIpv6() {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EAFNOSUPPORT & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{.len = sizeof filter / sizeof filter[0], .filter = filter};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    return 77;
  }
  if (::socket(AF_INET6, SOCK_STREAM, 0) >= 0 || errno != EAFNOSUPPORT) return 20;

  orvo::testing::RecordingLogger logger;
  asio::io_context context;
  AsioNetwork network(context, "::", logger);
  const TlsParameters parameters = sessionParameters({{kPairingId, keyBytes(8)}});
  std::string error;
  auto first = network.makeListener(parameters, error);
  auto second = network.makeListener(parameters, error);
  if (!first || !second) return 21;
  int accepted = 0;
  first->setNewConnectionHandler([&](std::shared_ptr<Connection>) { ++accepted; });
  first->start();
  second->start();
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  const auto runUntil = [&](const std::function<bool()>& done) {
    while (!done() && std::chrono::steady_clock::now() < deadline) context.run_for(10ms);
    return done();
  };
  if (!runUntil([&] { return first->port() && second->port(); })) return 22;
  const int client = tcpConnect(*first->port());
  if (client < 0) return 23;
  const bool served = runUntil([&] { return accepted == 1; });
  ::close(client);
  if (!served) return 24;
  const auto lines = logger.countPrefix("OrvoHost: IPv6 is not available (");
  std::fprintf(stderr, "%s\n", logger.lines().empty() ? "" : logger.lines().front().c_str());
  return lines == 1 ? 0 : 25;
}

TEST(ListenerDeathTest, WithoutIpv6ListenersOnAllInterfacesFallBackToIpv4WithOneLogLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Whether this system lets a process filter its own system calls.
  const pid_t probe = ::fork();
  if (probe == 0) {
    struct sock_filter allowAll[] = {BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    const sock_fprog program{.len = 1, .filter = allowAll};
    const bool filtered = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                          ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
    std::_Exit(filtered ? 0 : 77);
  }
  int status = 0;
  ::waitpid(probe, &status, 0);
  if (kAuditArch == 0 || !WIFEXITED(status) || WEXITSTATUS(status) == 77) {
    ORVO_UNAVAILABLE("seccomp filters are not available here to refuse IPv6 sockets");
  }
  EXPECT_EXIT(std::_Exit(listenWithoutIpv6()), ::testing::ExitedWithCode(0),
              "OrvoHost: IPv6 is not available \\(Address family not supported by protocol\\); listening on 0.0.0.0, "
              "IPv4 only");
}

TEST_F(ListenerTest, ARebuiltListenerTakesThePreferredPortWhenItIsFree) {
  const TlsParameters parameters = sessionParameters({{kPairingId, keyBytes(6)}});
  auto first = listen(parameters);
  const std::uint16_t port = *first->listener->port();
  auto client = connect(*first, parameters);
  ASSERT_TRUE(runUntil([&] { return client->reached(Kind::ready); }));

  // While the port is taken, any other port; once the old listener is gone, that port
  // again, even with a connection it accepted still open.
  std::string error;
  auto taken = network.makeListener(parameters, port, error);
  taken->start();
  ASSERT_TRUE(runUntil([&] { return taken->port().has_value(); }));
  EXPECT_NE(*taken->port(), port);
  first->listener->cancel();
  runFor(20ms);
  auto again = network.makeListener(parameters, port, error);
  again->start();
  ASSERT_TRUE(runUntil([&] { return again->port().has_value(); }));
  EXPECT_EQ(*again->port(), port);
  EXPECT_FALSE(client->ended());
}

TEST_F(ListenerTest, CancelOrDropStopsListeningAndLeavesAcceptedConnectionsAlone) {
  const TlsParameters parameters = sessionParameters({{kPairingId, keyBytes(4)}});
  for (const bool drop : {false, true}) {
    SCOPED_TRACE(drop ? "dropped" : "cancelled");
    auto server = listen(parameters);
    const std::uint16_t port = *server->listener->port();
    auto client = connect(*server, parameters);
    ASSERT_TRUE(runUntil([&] { return client->reached(Kind::ready) && !server->accepted.empty() &&
                                      server->accepted[0]->reached(Kind::ready); }));
    if (drop) {
      server->listener.reset();
    } else {
      server->listener->cancel();
      server->listener->cancel();
    }
    runFor(100ms);
    const std::vector<ListenerStateKind> expected =
        drop ? std::vector{ListenerStateKind::ready} : std::vector{ListenerStateKind::ready, ListenerStateKind::cancelled};
    std::vector<ListenerStateKind> kinds;
    for (const ListenerState& state : server->states) kinds.push_back(state.kind);
    EXPECT_EQ(kinds, expected);
    EXPECT_EQ(tcpConnect(port), -1);
    EXPECT_EQ(errno, ECONNREFUSED);

    client->receiveAll();
    server->accepted[0]->connection->send(toBytes("still here\n"), nullptr);
    ASSERT_TRUE(runUntil([&] { return toString(client->received) == "still here\n"; }));
  }
}

// Runs in a child process: it lowers its descriptor limit and fills the table.
int acceptAfterDescriptorsRunOut() {
  orvo::testing::RecordingLogger logger;
  asio::io_context context;
  AsioNetwork network(context, "127.0.0.1", logger);
  std::string error;
  auto listener = network.makeListener(sessionParameters({{kPairingId, keyBytes(5)}}), error);
  if (!listener) return 10;
  int accepted = 0;
  listener->setNewConnectionHandler([&](std::shared_ptr<Connection>) { ++accepted; });
  listener->start();
  // Waits on the condition, with a deadline only against a hang.
  const auto runUntil = [&](const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!done() && std::chrono::steady_clock::now() < deadline) context.run_for(10ms);
    return done();
  };
  if (!runUntil([&] { return listener->port().has_value(); })) return 11;
  const int client = tcpConnect(*listener->port());  // waits in the backlog
  if (client < 0) return 12;

  // UBSan checks the logger's type on the first call of each kind (a log line, reading the
  // lines back, as below while the table is full) and needs descriptors for that; make
  // those first calls now, while there are some.
  logLine(logger, "descriptors run out now");
  (void)logger.countPrefix("");
  const rlimit limit{.rlim_cur = 256, .rlim_max = 256};
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 13;
  std::vector<int> fillers;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
  if (errno != EMFILE) return 14;

  // A few retries, each at least the retry delay after the failure before it: however
  // slow the machine, no more failures than whole delays since the table filled, plus one.
  const auto full = std::chrono::steady_clock::now();
  const bool retried = runUntil([&] { return logger.countPrefix("OrvoHost: accept failed:") >= 3; });
  const auto failures = static_cast<long>(logger.countPrefix("OrvoHost: accept failed:"));
  const auto delays = (std::chrono::steady_clock::now() - full) / ListenerCore::kAcceptRetryDelay;
  const int acceptedWhileFull = accepted;
  for (int fd : fillers) ::close(fd);
  if (!retried || failures > 1 + delays || acceptedWhileFull != 0) return 15;

  runUntil([&] { return accepted > 0; });
  ::close(client);
  return accepted == 1 ? 0 : 16;
}

TEST(ListenerDeathTest, KeepsAcceptingCalmlyWhenDescriptorsRunOut) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(acceptAfterDescriptorsRunOut()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace orvo::platform::nettest
