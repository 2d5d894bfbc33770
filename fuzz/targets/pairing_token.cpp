// An advanced pairing token as a user pastes it into the client: it decodes to an
// invitation or is refused with a reason. What decodes must encode back to a token with
// the same content, and storing it must leave a credential the client finds again.
#include "FuzzSupport.h"
#include "client/ClientCredentials.h"
#include "core/testing/VirtualLoop.h"
#include "fakes/FakePlatform.h"
#include "fakes/FakeStores.h"
#include "pairing/NameCollator.h"
#include "pairing/PairingMessages.h"
#include "support/RecordingLogger.h"

using namespace orvo;
using namespace orvo::testing;

namespace {
bool same(const OrvoPairingInvitation& a, const OrvoPairingInvitation& b) {
  return a.serviceName == b.serviceName && a.pairingID == b.pairingID && a.pskBase64 == b.pskBase64 &&
         a.hostDisplayName == b.hostDisplayName && a.hostId == b.hostId;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const NameCollator collator("en");
  std::string error;
  const auto invitation = decodePairingToken(fuzz::text(data, size), &error);
  if (!invitation) {
    fuzz::check(!error.empty(), "a token was refused without a reason");
    return 0;
  }
  const auto again = decodePairingToken(encodePairingToken(*invitation));
  fuzz::check(again && same(*again, *invitation), "a decoded token does not encode back the same");

  FakeSettingsStore settings;
  FakeSecretStore secrets;
  VirtualClock clock(786000000.0);
  RecordingLogger logger;
  ScriptedRandom random;
  OrvoPairingStore store(OrvoPairingRole::client, settings, secrets, clock, collator, logger);
  client::ClientCredentials credentials(store, settings, random);
  const auto stored = credentials.storeInvitation(*invitation, error);
  if (!stored) {
    fuzz::check(!error.empty() && store.paired().get().empty(), "a refused token left something stored");
    return 0;
  }
  const auto found = credentials.find(std::nullopt, error);
  fuzz::check(found && found->key == stored->key && found->peer.id == stored->peer.id,
              "a stored token's credential is not found again");
  return 0;
}
