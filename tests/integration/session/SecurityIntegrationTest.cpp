// What an attacker on the same network could try against the real listeners on loopback:
// guessing the pairing code, replaying a pairing, claiming another device in the hello,
// keeping a session or a handshake going after the device was revoked, and log forging.
#include <gtest/gtest.h>

#include <array>
#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <memory>

#include "pairing/PinKey.h"
#include "support/RealHostHarness.h"

namespace orvo::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The line of a rule that is gone: wrong codes no longer replace the code.
constexpr const char* kReplacedLine = "OrvoHost: pairing code replaced after 5 failed attempts";

// Forwards one TCP connection to a port of the host, holding the client's bytes until
// released: a handshake that the host has accepted but not yet been able to finish.
class HeldRelay : public std::enable_shared_from_this<HeldRelay> {
 public:
  HeldRelay(asio::io_context& context, std::uint16_t target)
      : acceptor_(context, {asio::ip::make_address("127.0.0.1"), 0}), client_(context), host_(context), target_(target) {}

  void start() {
    acceptor_.async_accept(client_, [self = shared_from_this()](std::error_code error) {
      if (error) return;
      self->host_.async_connect({asio::ip::make_address("127.0.0.1"), self->target_},
                                [self](std::error_code connectError) {
                                  if (connectError) return self->close();
                                  self->connected = true;
                                  self->pump(self->client_, self->host_, self->toHost_, true);
                                  self->pump(self->host_, self->client_, self->toClient_, false);
                                });
    });
  }
  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  // Bytes from the client held back so far.
  std::size_t heldBytes() const { return held_.size(); }
  void release() {
    released_ = true;
    if (!held_.empty() && host_.is_open()) {
      asio::async_write(host_, asio::buffer(held_), [self = shared_from_this()](std::error_code, std::size_t) {});
    }
  }
  void close() {
    std::error_code ignored;
    acceptor_.close(ignored);
    client_.close(ignored);
    host_.close(ignored);
  }

  bool connected = false;
  bool hostClosed = false;

 private:
  using Buffer = std::array<char, 16384>;
  void pump(asio::ip::tcp::socket& from, asio::ip::tcp::socket& to, Buffer& buffer, bool toHost) {
    from.async_read_some(asio::buffer(buffer), [self = shared_from_this(), &from, &to, &buffer, toHost](
                                                   std::error_code error, std::size_t size) {
      if (error) {
        if (!toHost) self->hostClosed = true;
        return self->close();
      }
      if (toHost && !self->released_) {
        self->held_.append(buffer.data(), size);
        return self->pump(from, to, buffer, toHost);
      }
      asio::async_write(to, asio::buffer(buffer.data(), size),
                        [self, &from, &to, &buffer, toHost](std::error_code writeError, std::size_t) {
                          if (writeError) return self->close();
                          self->pump(from, to, buffer, toHost);
                        });
    });
  }

  asio::ip::tcp::acceptor acceptor_;
  asio::ip::tcp::socket client_;
  asio::ip::tcp::socket host_;
  std::uint16_t target_;
  Buffer toHost_{};
  Buffer toClient_{};
  std::string held_;
  bool released_ = false;
};

class SecurityIntegrationTest : public RealHostTest {
 protected:
  struct Code {
    std::string pin;
    Bytes salt;
  };
  Code currentCode() const { return {*host->pairingPIN(), host->pairingSalt()}; }

  // One pairing attempt with s_client keyed from `code`; returns what s_client printed.
  std::string attemptPairing(const Code& code, const std::string& deviceId) {
    const auto key = derivePinKey(code.pin, code.salt, host->hostId());
    ChildProcess client(sClient(*host->pairingListenerPort(), key, "orvo-pin"));
    client.write("{\"type\":\"pairRequest\",\"clientName\":\"s_client\",\"clientDeviceId\":\"" + deviceId + "\"}\n");
    EXPECT_TRUE(runUntil([&] { return client.exitStatus().has_value(); }, seconds(40))) << client.output();
    return client.output();
  }
  static std::string wrongPin(const std::string& pin) { return pin == "000000" ? "000001" : "000000"; }

  // The latest TXT record of the session advertisement.
  platform::TXTRecord sessionTXT() const {
    for (auto it = discovery.services.rbegin(); it != discovery.services.rend(); ++it) {
      if ((*it)->type == "_orvo._tcp." && !(*it)->txtHistory.empty()) return (*it)->txtHistory.back();
    }
    return {};
  }
  static std::string txtValue(const platform::TXTRecord& record, const std::string& key) {
    for (const auto& [k, v] : record) {
      if (k == key) return v;
    }
    return {};
  }
  const OrvoPairedPeer* peer(const std::string& id) {
    for (const auto& p : host->pairingStore().paired().get()) {
      if (p.id == id) return &p;
    }
    return nullptr;
  }
};

// Wrong codes never replace the code (a person reading it must be able to use it): the
// address that sent them is slowed (1, 2, 4, 8 s) and, after five, gets no handshake at
// all, even with the right code, until a new code is asked for.
TEST_F(SecurityIntegrationTest, FiveWrongCodesKeepTheCodeAndStopTheirAddressUntilANewCodeIsAskedFor) {
  const Code original = currentCode();
  for (int attempt = 1; attempt <= 5; ++attempt) {
    const std::string output = attemptPairing({wrongPin(original.pin), original.salt}, "guesser");
    EXPECT_EQ(output.find("pairResponse"), std::string::npos) << output;
    ASSERT_TRUE(runUntil([&] { return logger.countPrefix("❌ Pairing conn failed: ") == std::size_t(attempt); }));
    EXPECT_EQ(*host->pairingPIN(), original.pin);
  }
  EXPECT_EQ(currentCode().salt, original.salt);
  EXPECT_EQ(txtValue(sessionTXT(), "pinSalt"), base64Encode(original.salt));
  EXPECT_EQ(host->pairingStateText(), "open; 5 of 20 failed attempts before pairing is suspended");

  // The sixth, with the right code, is closed before its handshake.
  EXPECT_EQ(attemptPairing(original, "late").find("pairResponse"), std::string::npos);
  EXPECT_EQ(logger.countPrefix("OrvoHost: 127.0.0.1 tried too many wrong codes; closing"), 1u);
  EXPECT_TRUE(host->pairingStore().paired()->empty());

  // A new code, asked for, pairs.
  host->requestNewPairingCode();
  ASSERT_TRUE(runUntil([&] { return host->pairingListenerPort().has_value(); }));
  const std::string output = attemptPairing(currentCode(), "rightful");
  EXPECT_NE(output.find("pairResponse"), std::string::npos) << output;
  EXPECT_TRUE(runUntil([&] { return host->pairingStore().paired()->size() == 1; }));
}

TEST_F(SecurityIntegrationTest, ASuccessfulPairingReplacesTheCodeSoItCannotBeReplayed) {
  const Code first = currentCode();
  const std::string output = attemptPairing(first, "device-1");
  ASSERT_NE(output.find("pairResponse"), std::string::npos) << output;
  ASSERT_TRUE(runUntil([&] { return txtValue(sessionTXT(), "pinSalt") != base64Encode(first.salt); }));
  const Code second = currentCode();
  EXPECT_NE(second.salt, first.salt);
  EXPECT_EQ(txtValue(sessionTXT(), "pinSalt"), base64Encode(second.salt));
  EXPECT_FALSE(logger.has(kReplacedLine));

  // Replaying the watched pairing (the same derived key) fails; the new code pairs another device.
  EXPECT_EQ(attemptPairing(first, "replayer").find("pairResponse"), std::string::npos);
  EXPECT_NE(attemptPairing(second, "device-2").find("pairResponse"), std::string::npos);
  EXPECT_TRUE(runUntil([&] { return host->pairingStore().paired()->size() == 2; }));
}

TEST_F(SecurityIntegrationTest, TheSessionIsTheDeviceWhoseKeyAdmittedItWhateverItsHelloSays) {
  // Unpairing by id, by device id or by display name (the one its hello gave) drops the
  // session that A's key opened.
  for (const std::string identifier : {"ID-A", "device-ID-A", "Impostor"}) {
    SCOPED_TRACE(identifier);
    const auto keyA = pairPrintable("ID-A", 'a');
    pairPrintable("ID-B", 'b');
    const auto before = *peer("ID-B");
    ChildProcess client(sClient(sessionPort(), keyA, "ID-A"));
    ASSERT_TRUE(runUntil([&] { return host->currentConnection() != nullptr; })) << client.output();
    client.write("{\"type\":\"clientHello\",\"deviceName\":\"Impostor\",\"platform\":\"x\",\"pairingID\":\"ID-B\"}\n");
    ASSERT_TRUE(runUntil([&] { return *host->connectedClientPairingID() == "ID-A"; }));
    EXPECT_TRUE(logger.has("OrvoHost: clientHello pairingID ID-B differs from the device that authenticated, "
                           "ID-A; using the latter"));
    EXPECT_EQ(peer("ID-A")->displayName, "Impostor");
    EXPECT_EQ(*peer("ID-B"), before);  // B's name and last-seen stay

    EXPECT_TRUE(host->revokePairing(identifier));
    EXPECT_EQ(host->currentConnection(), nullptr);
    EXPECT_TRUE(runUntil([&] { return client.exitStatus().has_value(); }));
    EXPECT_FALSE(host->connectedClientPairingID()->has_value());
    EXPECT_EQ(peer("ID-A"), nullptr);
    const auto mark = listenerMark();
    ASSERT_TRUE(host->revokePairing("ID-B"));
    ASSERT_TRUE(waitForListenerRebuild(mark)) << *host->statusText();
  }
}

TEST_F(SecurityIntegrationTest, AHandshakeBegunBeforeRevocationWithTheRevokedKeyDoesNotComplete) {
  const auto keyA = pairPrintable("ID-A", 'a');
  auto relay = std::make_shared<HeldRelay>(context, sessionPort());
  relay->start();
  ChildProcess client(sClient(relay->port(), keyA, "ID-A"));
  ASSERT_TRUE(runUntil([&] { return relay->connected && logger.countPrefix("OrvoHost: new connection from") == 1; }));
  // The client's hello is held by the relay.
  ASSERT_TRUE(runUntil([&] { return relay->heldBytes() > 0; })) << client.output();

  ASSERT_TRUE(host->revokePairing("ID-A"));
  relay->release();
  EXPECT_TRUE(runUntil([&] { return client.exitStatus().has_value(); })) << client.output();
  runFor(milliseconds(50));
  EXPECT_EQ(host->currentConnection(), nullptr);
  EXPECT_EQ(logger.countPrefix("OrvoHost: connection ready:"), 0u);
  relay->close();
}

TEST_F(SecurityIntegrationTest, DecodeErrorsQuotingClientTextAreEscapedOnOneLine) {
  const auto key = pairPrintable("ID-A", 'a');
  ChildProcess client(sClient(sessionPort(), key, "ID-A"));
  ASSERT_TRUE(runUntil([&] { return host->currentConnection() != nullptr; }));
  client.write("{\"type\":\"setCaptureMode\",\"windowId\":1,\"captureMode\":\"x\\nOrvoHost: forged\\u001b[2J\"}\n");
  const std::string expected =
      "OrvoHost: failed to decode incoming message: dataCorrupted: invalid CaptureMode value "
      "\"x\\nOrvoHost: forged\\x1b[2J\"";
  ASSERT_TRUE(runUntil([&] { return logger.has(expected); }));
  for (const auto& line : logger.lines()) {
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace orvo::testing
