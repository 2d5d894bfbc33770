// The listener against `openssl s_client`, a TLS client that nobody here wrote.
#include <gtest/gtest.h>

#include <iostream>

#include "support/ChildProcess.h"
#include "NetTestSupport.h"

namespace orvo::platform::nettest {
namespace {

using Kind = ConnectionStateKind;

// s_client takes the PSK identity as text, so these tests use a printable identity; the
// secret is the UTF-8 of a pairing id, as the host configures it.
const std::string kIdentity = "orvo-test-client";
const std::string kPairingId = "5C1B6B1E-6F4A-4C1B-9F0E-2D7A1C3B4E5F";

TlsParameters printableIdentityParameters() { return sessionParameters({{kPairingId, toBytes(kIdentity)}}); }

std::vector<std::string> sClient(std::uint16_t port, std::vector<std::string> options) {
  std::vector<std::string> arguments = {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port),
                                        "-nocommands"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  return arguments;
}

std::vector<std::string> goodOptions() {
  return {"-tls1_2", "-cipher", "PSK-AES128-GCM-SHA256", "-psk", hex(toBytes(kPairingId)), "-psk_identity", kIdentity};
}

class OpenSslClientTest : public NetworkTest {};

TEST_F(OpenSslClientTest, ExchangesLinesAndSeesTheCleanEnd) {
  auto server = listen(printableIdentityParameters());
  testing::ChildProcess client(sClient(*server->listener->port(), goodOptions()));
  ASSERT_TRUE(runUntil([&] { return !server->accepted.empty() && !server->accepted[0]->states.empty() &&
                                    server->accepted[0]->states.back().kind != Kind::preparing; }))
      << client.output();
  ConnectionProbe& host = *server->accepted[0];
  ASSERT_EQ(host.kinds(), (std::vector{Kind::preparing, Kind::ready})) << host.failure();
  EXPECT_EQ(host.connection->endpointDescription().rfind("127.0.0.1:", 0), 0u) << host.connection->endpointDescription();

  host.receiveAll();
  ASSERT_TRUE(client.write("first line from s_client\nsecond line\n"));
  ASSERT_TRUE(runUntil([&] { return toString(host.received) == "first line from s_client\nsecond line\n"; }))
      << toString(host.received);

  std::optional<std::optional<std::string>> sendResult;
  host.connection->send(toBytes("hello from the host\n"), [&](std::optional<std::string> error) { sendResult = error; });
  ASSERT_TRUE(runUntil([&] {
    return sendResult.has_value() && client.output().find("hello from the host\n") != std::string::npos;
  })) << client.output();
  EXPECT_EQ(*sendResult, std::nullopt);
  EXPECT_NE(client.output().find("TLSv1.2"), std::string::npos) << client.output();
  EXPECT_NE(client.output().find("PSK-AES128-GCM-SHA256"), std::string::npos) << client.output();

  // End of input makes s_client send close notify and leave.
  client.closeInput();
  ASSERT_TRUE(runUntil([&] { return host.ended(); }));
  EXPECT_TRUE(host.complete);
  EXPECT_EQ(host.receiveError, std::nullopt);
  EXPECT_TRUE(runUntil([&] { return client.exitStatus().has_value(); }));
}

TEST_F(OpenSslClientTest, OnlyTheConfiguredKeyVersionAndSuiteShakeHands) {
  auto server = listen(printableIdentityParameters());
  const std::uint16_t port = *server->listener->port();
  const std::string secretHex = hex(toBytes(kPairingId));
  struct Case {
    const char* name;
    std::vector<std::string> options;
    Kind expected;
  };
  const std::vector<Case> cases = {
      {"wrong secret",
       {"-tls1_2", "-cipher", "PSK-AES128-GCM-SHA256", "-psk", hex(toBytes("6D3E0B7C-0000-4C1B-9F0E-2D7A1C3B4E5F")),
        "-psk_identity", kIdentity},
       Kind::failed},
      {"unknown identity",
       {"-tls1_2", "-cipher", "PSK-AES128-GCM-SHA256", "-psk", secretHex, "-psk_identity", "orvo-test-clien"},
       Kind::failed},
      {"TLS 1.3", {"-tls1_3", "-psk", secretHex, "-psk_identity", kIdentity}, Kind::failed},
      {"another PSK suite",
       {"-tls1_2", "-cipher", "PSK-AES256-GCM-SHA384", "-psk", secretHex, "-psk_identity", kIdentity}, Kind::failed},
      {"a certificate suite", {"-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256"}, Kind::failed},
      // The same listener still admits the right client after all of the above.
      {"configured key, version and suite", goodOptions(), Kind::ready},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    testing::ChildProcess client(sClient(port, cases[i].options));
    ASSERT_TRUE(runUntil([&] {
      return server->accepted.size() > i && (server->accepted[i]->reached(Kind::ready) ||
                                             server->accepted[i]->reached(Kind::failed));
    })) << client.output();
    const ConnectionProbe& host = *server->accepted[i];
    EXPECT_EQ(host.states.back().kind, cases[i].expected);
    if (cases[i].expected == Kind::failed) {
      EXPECT_FALSE(host.failure().empty());
      EXPECT_FALSE(host.reached(Kind::ready));
      // s_client gives up too, with an error.
      ASSERT_TRUE(runUntil([&] { return client.exitStatus().has_value(); })) << client.output();
      EXPECT_NE(client.exitStatus(), 0) << client.output();
      std::cout << "[ info     ] " << cases[i].name << ": " << host.failure() << "\n";
    }
  }
  EXPECT_EQ(server->states.size(), 1u);  // still ready, nothing else
}

TEST_F(OpenSslClientTest, LineSentTogetherWithCloseNotifyArrivesBeforeTheEnd) {
  auto server = listen(printableIdentityParameters());
  testing::ChildProcess client(sClient(*server->listener->port(), goodOptions()));
  // The line and the end of input are there before the handshake even starts.
  ASSERT_TRUE(client.write("the last line\n"));
  client.closeInput();
  ASSERT_TRUE(runUntil([&] { return !server->accepted.empty() && server->accepted[0]->reached(Kind::ready); }))
      << client.output();
  ConnectionProbe& host = *server->accepted[0];
  host.receiveAll();
  ASSERT_TRUE(runUntil([&] { return host.ended(); }));
  EXPECT_EQ(toString(host.received), "the last line\n");
  EXPECT_TRUE(host.complete);
  EXPECT_EQ(host.receiveError, std::nullopt);
}

}  // namespace
}  // namespace orvo::platform::nettest
