// The advanced pairing token: a pending peer with a fresh key, packed for the user to
// paste into a client when pairing by code is not possible.
#include "core/Clock.h"
#include "core/Coding.h"
#include "core/Log.h"
#include "host/OrvoHost.h"
#include "pairing/Keychain.h"
#include "pairing/OrvoPairingStore.h"
#include "pairing/PairingMessages.h"

namespace orvo {

std::string OrvoHost::generatePairingToken(const std::string& displayName) {
  const std::string name = hostName();
  const std::string serviceName = netService_ ? netService_->name() : "Orvo on " + name;
  const Bytes key = randomKeyBytes(services_.random, 32);
  const std::string pairingID = makeUUIDString(services_.random);

  auto& store = *pairingStore_;
  deletePSK(services_.secrets, store.keychainService(), pairingID);
  (void)savePSK(services_.secrets, key, store.keychainService(), pairingID);
  const double now = services_.clock.now();
  store.insertPeer(OrvoPairedPeer{.id = pairingID, .displayName = displayName, .createdAt = now, .lastSeenAt = now});
  restartListener();

  const std::string token = encodePairingToken(OrvoPairingInvitation{
      .serviceName = serviceName,
      .pairingID = pairingID,
      .pskBase64 = base64Encode(key),
      .hostDisplayName = name,
      .hostId = hostId(),
  });
  lastPairingToken_.set(token);
  logLine(services_.logger, "OrvoHost: Pairing token generated for service=" + serviceName + " pairingID=" + pairingID);
  logLine(services_.logger, "OrvoHost: Pairing token (paste into client):\n" + token + "\n");
  return token;
}

}  // namespace orvo
