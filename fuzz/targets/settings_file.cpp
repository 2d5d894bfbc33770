// The host's settings file as found on disk: the file store reads it (an unreadable file is
// moved aside, never overwritten), then the update preferences and the paired devices are
// read from it. A value written afterwards must be saved and read back with the rest.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "FuzzSupport.h"
#include "core/testing/VirtualLoop.h"
#include "fakes/FakeStores.h"
#include "pairing/NameCollator.h"
#include "pairing/OrvoPairingStore.h"
#include "platform/linux/stores/FileSettingsStore.h"
#include "support/RecordingLogger.h"
#include "updates/UpdaterSettings.h"

using namespace orvo;
using namespace orvo::testing;
namespace fs = std::filesystem;

namespace {

// A private folder for the file, made once: under $ORVO_FUZZ_SCRATCH when set (the runner
// points it at a memory-backed folder it removes afterwards), else under the temp folder.
const fs::path& scratch() {
  static const fs::path folder = [] {
    const char* base = std::getenv("ORVO_FUZZ_SCRATCH");
    std::string pattern = (base && *base ? fs::path(base) : fs::temp_directory_path()) / "settings-XXXXXX";
    if (!mkdtemp(pattern.data())) fuzz::fail("cannot make a scratch folder");
    return fs::path(pattern);
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const NameCollator collator("en");
  const fs::path path = scratch() / "defaults.json";
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  RecordingLogger logger;
  {
    platform::FileSettingsStore store(path.string(), logger);
    fuzz::check(!store.loadError(), "a readable file reported a read error");
    UpdaterSettings updates(store);
    const double interval = updates.updateCheckInterval();
    fuzz::check(interval >= UpdaterSettings::kMinimumCheckInterval, "check interval below the minimum");
    (void)updates.feedURL();
    FakeSecretStore secrets;
    VirtualClock clock(786000000.0);
    OrvoPairingStore peers(OrvoPairingRole::host, store, secrets, clock, collator, logger);
    const auto listed = peers.paired().get();

    store.setValue("fuzz.written", true);
    platform::FileSettingsStore reread(path.string(), logger);
    fuzz::check(reread.boolean("fuzz.written") == true, "a written value was not saved");
    OrvoPairingStore peersAgain(OrvoPairingRole::host, reread, secrets, clock, collator, logger);
    fuzz::check(peersAgain.paired().get() == listed, "the paired devices changed on saving");
    fuzz::check(reread.value("SUFeedURL") == store.value("SUFeedURL"), "the feed address changed on saving");
  }
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(scratch(), ignored)) fs::remove_all(entry.path(), ignored);
  return 0;
}
