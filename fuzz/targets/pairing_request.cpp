// The one request of a pairing connection, as a client past the PIN handshake sends it:
// bytes reach the host's pairing request reader in pieces, then the connection ends. If
// the host answers, the answer must decode and name a peer it stored with that key.
#include "FuzzSupport.h"
#include "pairing/Keychain.h"
#include "pairing/PairingMessages.h"
#include "unit/host/HostHarness.h"

using namespace orvo;
using namespace orvo::testing;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  HostHarness h;
  h.start();
  auto connection = h.pairingListener()->accept("192.0.2.9:50100");
  h.loop.drain();
  connection->deliverState(platform::ConnectionStateKind::ready);
  h.loop.drain();

  fuzz::forEachPiece(data, size, [&](const std::uint8_t* piece, std::size_t length) {
    if (!connection->deliver(std::string(fuzz::text(piece, length)))) return false;
    h.loop.drain();
    return true;
  });
  if (connection->deliver("", true)) h.loop.drain();
  h.loop.advance(31.0);  // past the pairing connection's lifetime

  const auto& peers = h.host->pairingStore().paired().get();
  const std::string answer = connection->sentText();
  if (answer.empty()) {
    fuzz::check(peers.empty(), "a peer was stored without an answer");
    return 0;
  }
  fuzz::check(connection->cancelled, "the pairing connection stayed open after the answer");
  const auto response = decodeMessage<PairResponseMessage>(answer);
  fuzz::check(response.has_value(), "the answer does not decode");
  fuzz::check(peers.size() == 1 && peers.front().id == response->pairingId, "the answer names no stored peer");
  const auto key = loadPSK(h.secrets, h.host->pairingStore().keychainService(), response->pairingId);
  fuzz::check(key && *key == response->psk && key->size() == 32, "the stored key is not the one sent");
  return 0;
}
