#include <gtest/gtest.h>

#include "support/RealHostHarness.h"
#include "pairing/Keychain.h"
#include "pairing/PairingMessages.h"
#include "pairing/PinKey.h"

namespace orvo::testing {
namespace {

class PairingIntegrationTest : public RealHostTest {
 protected:
  // Runs one pairing exchange with s_client; returns what s_client printed.
  std::string pairWithCode(const std::string& code) {
    const auto key = derivePinKey(code, host->pairingSalt(), host->hostId());
    ChildProcess client(sClient(*host->pairingListenerPort(), key, "orvo-pin"));
    client.write("{\"type\":\"pairRequest\",\"clientName\":\"s_client\",\"clientDeviceId\":\"openssl-1\"}\n");
    EXPECT_TRUE(runUntil([&] { return client.exitStatus().has_value(); })) << client.output();
    return client.output();
  }
};

TEST_F(PairingIntegrationTest, PairsByCodeAndTheNewKeyOpensASession) {
  const auto mark = listenerMark();
  const std::string output = pairWithCode(*host->pairingPIN());
  const auto start = output.find("{\"type\":\"pairResponse\"");
  ASSERT_NE(start, std::string::npos) << output;
  const auto end = output.find('}', start);
  const std::string text = output.substr(start, end - start + 1);
  PairResponseMessage response;
  std::string error;
  ASSERT_TRUE(fromJson(*json::parse(text), response, error)) << error << "\n" << text;
  EXPECT_EQ(json::parse(text)->at("psk").get<std::string>().size(), 44u);
  ASSERT_EQ(response.psk.size(), 32u);
  EXPECT_TRUE(response.accepted);
  ASSERT_TRUE(runUntil([&] { return host->pairingStore().paired()->size() == 1; }));
  EXPECT_EQ(host->pairingStore().paired()->front().id, response.pairingId);
  EXPECT_EQ(host->pairingStore().paired()->front().serviceName, "openssl-1");
  EXPECT_EQ(loadPSK(secrets, "com.corvane.orvo.psk.host", response.pairingId), response.psk);

  ASSERT_TRUE(waitForListenerRebuild(mark)) << *host->statusText();
  ChildProcess session(sClient(sessionPort(), response.psk, response.pairingId));
  EXPECT_TRUE(runUntil([&] { return *host->statusText() == "Client connected"; }))
      << *host->statusText() << "\n" << session.output();
}

TEST_F(PairingIntegrationTest, WrongCodeFailsTheHandshakeAndStoresNothing) {
  const std::string pin = *host->pairingPIN();
  const std::string wrong = pin == "000000" ? "000001" : "000000";
  const std::string output = pairWithCode(wrong);
  EXPECT_EQ(output.find("pairResponse"), std::string::npos) << output;
  EXPECT_TRUE(runUntil([&] { return logger.countPrefix("❌ Pairing conn failed: ") == 1; }));
  EXPECT_TRUE(host->pairingStore().paired()->empty());
}

TEST_F(PairingIntegrationTest, TokenKeyOpensASession) {
  const auto mark = listenerMark();
  const auto invitation = decodePairingToken(host->generatePairingToken("Orvo Client (pending)"));
  ASSERT_TRUE(invitation);
  ASSERT_TRUE(waitForListenerRebuild(mark)) << *host->statusText();
  ChildProcess session(sClient(sessionPort(), *base64Decode(invitation->pskBase64), invitation->pairingID));
  EXPECT_TRUE(runUntil([&] { return *host->statusText() == "Client connected"; }))
      << *host->statusText() << "\n" << session.output();
}

}  // namespace
}  // namespace orvo::testing
