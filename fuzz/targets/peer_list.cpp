// The stored list of paired devices as the settings file holds it: the host's pairing
// store loads it, keeps the entries that decode and sets an unreadable value aside. What
// it then saves must load back to the same list, and unpairing must work on what loaded.
#include "FuzzSupport.h"
#include "core/testing/VirtualLoop.h"
#include "fakes/FakeStores.h"
#include "pairing/NameCollator.h"
#include "pairing/OrvoPairingStore.h"
#include "support/RecordingLogger.h"

using namespace orvo;
using namespace orvo::testing;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const NameCollator collator("en");
  const auto stored = json::parseDocument(fuzz::text(data, size));
  if (!stored) return 0;
  FakeSettingsStore settings;
  FakeSecretStore secrets;
  VirtualClock clock(786000000.0);
  RecordingLogger logger;
  settings.setValue("OrvoPairedPeers.host", *stored);

  OrvoPairingStore store(OrvoPairingRole::host, settings, secrets, clock, collator, logger);
  const auto loaded = store.paired().get();
  // A list that decodes in full is used as it is; anything else is kept aside first.
  const bool complete = stored->is_array() && loaded.size() == stored->size();
  const bool setAside = settings.keys().size() > 1;
  fuzz::check(setAside == !complete, "a partly read list was not set aside, or a whole one was");
  if (setAside) fuzz::check(*settings.value(settings.keys()[1]) == *stored, "the set-aside copy differs");

  store.savePeers();
  OrvoPairingStore again(OrvoPairingRole::host, settings, secrets, clock, collator, logger);
  fuzz::check(again.paired().get() == loaded, "the saved list does not load back the same");

  if (!loaded.empty()) {
    const auto& first = loaded.front();
    store.touchPeer(first.id, first.displayName);
    const auto removed = store.removePeer(first.id);
    fuzz::check(!removed.empty() && store.paired().get().size() == loaded.size() - removed.size(),
                "unpairing a loaded peer failed");
  }
  return 0;
}
