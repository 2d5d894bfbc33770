#include "pairing/OrvoPairingStore.h"

#include <gtest/gtest.h>

#include "core/testing/VirtualLoop.h"
#include "fakes/FakeStores.h"
#include "support/RecordingLogger.h"
#include "pairing/Keychain.h"
#include "pairing/NameCollator.h"
#include "pairing/OrvoTLS.h"

namespace orvo {
namespace {

using testing::FakeSecretStore;
using testing::FakeSettingsStore;

constexpr const char* kService = "com.corvane.orvo.psk.host";

class PairingStoreTest : public ::testing::Test {
 protected:
  OrvoPairingStore makeStore() { return OrvoPairingStore(OrvoPairingRole::host, settings, secrets, clock, collator, logger); }
  std::vector<std::string> names(const OrvoPairingStore& store) {
    std::vector<std::string> out;
    for (const auto& p : store.paired().get()) out.push_back(p.displayName);
    return out;
  }

  FakeSettingsStore settings;
  FakeSecretStore secrets;
  testing::RecordingLogger logger;
  testing::VirtualClock clock{0};
  NameCollator collator{"en"};
  const Bytes key = Bytes(32, 7);
};

TEST_F(PairingStoreTest, StorageNamesFollowTheRole) {
  auto host = makeStore();
  EXPECT_EQ(host.defaultsKey(), "OrvoPairedPeers.host");
  EXPECT_EQ(host.keychainService(), kService);
  OrvoPairingStore client(OrvoPairingRole::client, settings, secrets, clock, collator, logger);
  EXPECT_EQ(client.defaultsKey(), "OrvoPairedPeers.client");
  EXPECT_EQ(client.keychainService(), "com.corvane.orvo.psk.client");
}

TEST_F(PairingStoreTest, PersistedJsonOfAPeerWithoutOptionalsIsExact) {
  clock.set(60);
  auto store = makeStore();
  store.insertPeer(OrvoPairedPeer{.id = "ID-1", .displayName = "iPad", .createdAt = 0});
  EXPECT_EQ(json::encode(*settings.value("OrvoPairedPeers.host")), R"([{"id":"ID-1","displayName":"iPad","createdAt":0}])");
  store.upsertPeer("Vision", std::string(" dev-1 "), std::nullopt, "ID-2", key);
  EXPECT_EQ(json::encode(settings.value("OrvoPairedPeers.host")->at(1)),
            R"({"id":"ID-2","displayName":"Vision","serviceName":"dev-1","createdAt":60,"lastSeenAt":60})");
}

TEST_F(PairingStoreTest, PeersSurviveANewStoreReadingTheSameStorage) {
  {
    auto store = makeStore();
    store.upsertPeer("iPad", std::string("dev-1"), std::nullopt, "ID-1", key);
  }
  auto reread = makeStore();
  ASSERT_EQ(reread.paired()->size(), 1u);
  EXPECT_EQ(reread.paired()->front().serviceName, "dev-1");
  EXPECT_EQ(loadPSK(secrets, kService, "ID-1"), key);
}

TEST_F(PairingStoreTest, UndecodableStoredListIsKeptAsideAndTheReadablePeersLoad) {
  struct Case {
    const char* stored;
    std::vector<std::string> loaded;
  };
  const Case cases[] = {
      {R"([{"id":"A","displayName":"a","createdAt":0},{"id":"B"}])", {"a"}},
      {R"({"id":"A"})", {}},
      {R"("truncated [{\"id\":")", {}},
  };
  for (const auto& c : cases) {
    settings.clear();
    logger.clear();
    settings.setValue("OrvoPairedPeers.host", *json::parse(c.stored));
    auto store = makeStore();
    EXPECT_EQ(names(store), c.loaded) << c.stored;
    const auto keys = settings.keys();
    ASSERT_EQ(keys.size(), 2u) << c.stored;
    const std::string aside = keys[0] == "OrvoPairedPeers.host" ? keys[1] : keys[0];
    EXPECT_EQ(aside.rfind("OrvoPairedPeers.host.unreadable-", 0), 0u) << aside;
    EXPECT_EQ(json::encode(*settings.value(aside)), json::encode(*json::parse(c.stored)));
    EXPECT_EQ(logger.countPrefix("OrvoHost: the paired devices stored under OrvoPairedPeers.host in"), 1u);

    // The next save writes the readable peers; the aside copy stays.
    store.touchPeer("A", "renamed");
    EXPECT_EQ(json::encode(*settings.value(aside)), json::encode(*json::parse(c.stored)));
  }
  // A list that decodes is not copied anywhere.
  settings.clear();
  settings.setValue("OrvoPairedPeers.host", *json::parse("[]"));
  auto store = makeStore();
  EXPECT_EQ(settings.keys(), std::vector<std::string>{"OrvoPairedPeers.host"});
}

TEST_F(PairingStoreTest, UpsertReplacesSameIdAndSameTrimmedServiceNameAndDeletesTheirKeys) {
  auto store = makeStore();
  store.upsertPeer("iPad", std::string("dev-1"), std::nullopt, "ID-1", key);
  store.upsertPeer("iPad", std::string("dev-1"), std::nullopt, "ID-1", Bytes(32, 8));
  ASSERT_EQ(store.paired()->size(), 1u);
  EXPECT_EQ(loadPSK(secrets, kService, "ID-1"), Bytes(32, 8));

  store.upsertPeer("Renamed iPad", std::string("  dev-1\n"), std::nullopt, "ID-2", key);
  ASSERT_EQ(store.paired()->size(), 1u);
  EXPECT_EQ(store.paired()->front().id, "ID-2");
  EXPECT_FALSE(secrets.contains(kService, "ID-1"));

  // A blank service name skips de-duplication but is still stored (as empty text).
  store.upsertPeer("Other", std::string("   "), std::nullopt, "ID-3", key);
  store.upsertPeer("Third", std::string("   "), std::nullopt, "ID-4", key);
  EXPECT_EQ(store.paired()->size(), 3u);
  EXPECT_EQ(store.paired()->back().serviceName, "");

  // Stable host ids de-duplicate the same way (client role use).
  store.upsertPeer("Mac A", std::nullopt, std::string("HOST"), "ID-5", key);
  store.upsertPeer("Mac A again", std::nullopt, std::string(" HOST "), "ID-6", key);
  EXPECT_FALSE(secrets.contains(kService, "ID-5"));
  EXPECT_EQ(store.paired()->size(), 4u);
}

TEST_F(PairingStoreTest, SortIsLocalizedCaseInsensitiveAndStable) {
  auto store = makeStore();
  for (const char* name : {"gamma", "Émile", "Beta", "alpha", "Emile", "zed"}) {
    store.upsertPeer(name, std::nullopt, std::nullopt, std::string("ID-") + name, key);
  }
  EXPECT_EQ(names(store), (std::vector<std::string>{"alpha", "Beta", "Emile", "Émile", "gamma", "zed"}));
  store.upsertPeer("beta", std::nullopt, std::nullopt, "ID-beta2", key);
  store.upsertPeer("BETA", std::nullopt, std::nullopt, "ID-beta3", key);
  EXPECT_EQ(names(store), (std::vector<std::string>{"alpha", "Beta", "beta", "BETA", "Emile", "Émile", "gamma", "zed"}));
}

TEST_F(PairingStoreTest, RemovePeerMatchesIdThenServiceNameThenDisplayName) {
  auto store = makeStore();
  store.upsertPeer("Shared", std::string("dev-1"), std::nullopt, "ID-1", key);
  store.upsertPeer("Shared", std::string("dev-2"), std::nullopt, "ID-2", key);
  store.upsertPeer("Solo", std::string("dev-3"), std::nullopt, "ID-3", key);
  const int writes = settings.writes;
  EXPECT_TRUE(store.removePeer("unknown").empty());
  EXPECT_EQ(settings.writes, writes);  // nothing saved

  EXPECT_EQ(store.removePeer("  ID-3 \n"), std::vector<std::string>{"ID-3"});
  EXPECT_FALSE(secrets.contains(kService, "ID-3"));
  EXPECT_EQ(store.removePeer("dev-1"), std::vector<std::string>{"ID-1"});
  store.upsertPeer("Shared", std::string("dev-4"), std::nullopt, "ID-4", key);
  EXPECT_EQ(store.removePeer("Shared").size(), 2u);
  EXPECT_TRUE(store.paired()->empty());
  EXPECT_EQ(json::encode(*settings.value("OrvoPairedPeers.host")), "[]");

  // An id stored with blanks around it (an edited file) is still removed by that id.
  store.upsertPeer("Edited", std::nullopt, std::nullopt, "  ID-5", key);
  EXPECT_EQ(store.removePeer("  ID-5"), std::vector<std::string>{"  ID-5"});
  EXPECT_TRUE(store.paired()->empty());
}

TEST_F(PairingStoreTest, TouchRenamesInPlaceAndIgnoresUnknownIds) {
  auto store = makeStore();
  store.upsertPeer("alpha", std::nullopt, std::nullopt, "ID-1", key);
  store.upsertPeer("beta", std::nullopt, std::nullopt, "ID-2", key);
  clock.set(500);
  const int writes = settings.writes;
  store.touchPeer("ID-9", "zzz");
  EXPECT_EQ(settings.writes, writes);
  store.touchPeer("ID-1", "zulu");
  EXPECT_EQ(names(store), (std::vector<std::string>{"zulu", "beta"}));  // not re-sorted
  EXPECT_EQ(store.paired()->front().lastSeenAt, 500.0);
  EXPECT_EQ(makeStore().paired()->front().displayName, "zulu");
}

TEST_F(PairingStoreTest, EachOperationAnnouncesOneConsistentList) {
  auto store = makeStore();
  std::vector<std::size_t> sizes;
  auto subscription = store.paired().subscribe([&](const auto& peers) { sizes.push_back(peers.size()); });
  store.upsertPeer("a", std::string("dev"), std::nullopt, "ID-1", key);
  store.upsertPeer("b", std::string("dev"), std::nullopt, "ID-2", key);
  store.removePeer("ID-2");
  EXPECT_EQ(sizes, (std::vector<std::size_t>{0, 1, 1, 0}));
}

// Stores that check, after every single write, what a crash right then would leave: each
// peer of the stored list must still have its key.
class CrashPointStores {
 public:
  class Settings final : public platform::SettingsStore {
   public:
    explicit Settings(CrashPointStores& owner) : owner_(owner) {}
    std::optional<json::Json> value(std::string_view key) const override { return owner_.settings.value(key); }
    void setValue(std::string_view key, json::Json value) override {
      owner_.settings.setValue(key, std::move(value));
      owner_.check("settings write");
    }
    void removeValue(std::string_view key) override {
      owner_.settings.removeValue(key);
      owner_.check("settings removal");
    }

   private:
    CrashPointStores& owner_;
  };
  class Secrets final : public platform::SecretStore {
   public:
    explicit Secrets(CrashPointStores& owner) : owner_(owner) {}
    std::optional<Bytes> copy(std::string_view service, std::string_view account) override {
      return owner_.secrets.copy(service, account);
    }
    int update(std::string_view service, std::string_view account, const Bytes& data) override {
      return owner_.checked("key update", owner_.secrets.update(service, account, data));
    }
    int add(std::string_view service, std::string_view account, const Bytes& data) override {
      return owner_.checked("key add", owner_.secrets.add(service, account, data));
    }
    int remove(std::string_view service, std::string_view account) override {
      return owner_.checked("key removal of " + std::string(account), owner_.secrets.remove(service, account));
    }

   private:
    CrashPointStores& owner_;
  };

  int checked(const std::string& step, int status) {
    check(step);
    return status;
  }
  void check(const std::string& step) {
    const auto stored = settings.value("OrvoPairedPeers.host");
    if (!stored) return;
    for (const auto& peer : decodePeers(*stored).value_or(std::vector<OrvoPairedPeer>{})) {
      if (!secrets.contains(kService, peer.id)) faults.push_back("after " + step + ": " + peer.id + " has no key");
    }
  }

  FakeSettingsStore settings;
  FakeSecretStore secrets;
  Settings settingsView{*this};
  Secrets secretsView{*this};
  std::vector<std::string> faults;
};

TEST_F(PairingStoreTest, ACrashAfterAnyStorageStepLeavesEveryListedPeerWithItsKey) {
  CrashPointStores stores;
  OrvoPairingStore store(OrvoPairingRole::host, stores.settingsView, stores.secretsView, clock, collator, logger);
  store.upsertPeer("iPad", std::string("dev-1"), std::nullopt, "ID-1", key);
  store.upsertPeer("iPad", std::string("dev-1"), std::nullopt, "ID-1", Bytes(32, 8));  // same id, new key
  store.upsertPeer("iPad again", std::string("dev-1"), std::nullopt, "ID-2", key);  // replaces ID-1
  store.upsertPeer("Vision", std::string("dev-3"), std::nullopt, "ID-3", key);
  store.removePeer("ID-3");
  store.removePeer("iPad again");
  EXPECT_EQ(stores.faults, std::vector<std::string>{});
  EXPECT_TRUE(store.paired()->empty());
  EXPECT_EQ(stores.secrets.size(), 0u);  // no key outlives its peer once the operation is over
}

TEST_F(PairingStoreTest, KeychainFunctionsUpdateThenAddAndReportErrors) {
  EXPECT_EQ(savePSK(secrets, key, kService, "A"), std::nullopt);  // added
  EXPECT_EQ(savePSK(secrets, Bytes{1}, kService, "A"), std::nullopt);  // updated
  EXPECT_EQ(loadPSK(secrets, kService, "A"), Bytes{1});
  secrets.failAddWith = -34;
  const auto addError = savePSK(secrets, key, kService, "B");
  ASSERT_TRUE(addError);
  EXPECT_EQ(addError->status, -34);
  EXPECT_EQ(addError->description, "Keychain add failed: -34");
  secrets.failUpdateWith = -25308;
  EXPECT_EQ(savePSK(secrets, key, kService, "A")->description, "Keychain update failed: -25308");
  deletePSK(secrets, kService, "A");
  deletePSK(secrets, kService, "A");
  EXPECT_EQ(loadPSK(secrets, kService, "A"), std::nullopt);

  // upsertPeer discards a keychain failure: the peer is listed without a key.
  auto store = makeStore();
  secrets.failAddWith = -34;
  store.upsertPeer("c", std::nullopt, std::nullopt, "C", key);
  EXPECT_EQ(store.paired()->size(), 1u);
  EXPECT_EQ(loadPSK(secrets, kService, "C"), std::nullopt);
}

TEST(OrvoTLS, KeyOrderAndEmptyKey) {
  const Bytes key = {1, 2, 3};
  const auto parameters = makePSKParameters("ID-1", key);
  ASSERT_EQ(parameters.preSharedKeys.size(), 1u);
  EXPECT_EQ(parameters.preSharedKeys[0].identity, key);
  EXPECT_EQ(parameters.preSharedKeys[0].secret, toBytes("ID-1"));
  EXPECT_EQ(parameters.cipherSuites, std::vector<std::uint16_t>{0x00A8});
  const auto empty = makePSKParameters("ID-1", {});
  EXPECT_TRUE(empty.preSharedKeys.empty());
  EXPECT_EQ(empty.cipherSuites, std::vector<std::uint16_t>{0x00A8});
}

}  // namespace
}  // namespace orvo
