#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "core/AtomicFile.h"
#include "platform/linux/stores/FileSecretStore.h"
#include "platform/linux/stores/FileSettingsStore.h"
#include "platform/linux/stores/LinuxHostInfo.h"
#include "platform/linux/stores/StandardPaths.h"
#include "support/RecordingLogger.h"
#include "support/TempDir.h"

namespace orvo::platform {
namespace {

mode_t modeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

std::size_t filesIn(const std::string& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

TEST(FileSettingsStore, PersistsAcrossInstancesWithPrivateModeAndNoLeftovers) {
  testing::TempDir dir;
  testing::RecordingLogger logger;
  const auto path = dir.file("orvo-host/defaults.json");
  {
    FileSettingsStore store(path, logger);
    EXPECT_EQ(store.value("OrvoHost.isDiscoverable"), std::nullopt);
    store.setValue("OrvoHost.isDiscoverable", false);
    store.setValue("OrvoHost.hostId", "ABC");
    store.setValue("gone", 1);
    store.removeValue("gone");
  }
  FileSettingsStore reread(path, logger);
  EXPECT_EQ(reread.boolean("OrvoHost.isDiscoverable"), false);
  EXPECT_EQ(reread.string("OrvoHost.hostId"), "ABC");
  EXPECT_EQ(reread.value("gone"), std::nullopt);
  EXPECT_EQ(reread.boolean("OrvoHost.hostId"), std::nullopt);  // wrong type reads as absent
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_EQ(modeOf(dir.file("orvo-host")), 0700u);
  EXPECT_EQ(filesIn(dir.file("orvo-host")), 1u);  // no temporary file left behind
  EXPECT_TRUE(logger.lines().empty());
}

TEST(FileSettingsStore, UnreadableFileIsKeptAsideAndLogged) {
  // The last is nested too deeply to copy or write back without overflowing the stack.
  const std::string deep = "{\"OrvoPairedPeers.host\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
  const std::string contents[] = {"{\"OrvoHost.hostId\": tru", "[1,2]", "", deep};
  for (const std::string& content : contents) {
    testing::TempDir dir;
    testing::RecordingLogger logger;
    const auto path = dir.file("defaults.json");
    std::ofstream(path) << content;
    FileSettingsStore store(path, logger);
    EXPECT_EQ(store.value("OrvoHost.hostId"), std::nullopt);
    ASSERT_EQ(logger.countPrefix("OrvoHost: settings file " + path + " is unreadable"), 1u) << content.substr(0, 40);
    store.setValue("OrvoHost.hostId", "NEW");
    std::string aside;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      if (entry.path().filename().string().rfind("defaults.json.unreadable-", 0) == 0) aside = entry.path();
    }
    ASSERT_FALSE(aside.empty()) << content.substr(0, 40);
    EXPECT_EQ(readFile(aside), content);
    EXPECT_EQ(FileSettingsStore(path, logger).string("OrvoHost.hostId"), "NEW");
  }
}

TEST(AtomicFile, ReplacesContentAndKeepsOldContentWhenTheWriteCannotHappen) {
  testing::TempDir dir;
  const auto path = dir.file("item");
  ASSERT_EQ(writeFileAtomically(path, "old", 0600), std::nullopt);
  ASSERT_EQ(writeFileAtomically(path, "new", 0600), std::nullopt);
  EXPECT_EQ(readFile(path), "new");
  // A directory the process cannot write into: the write fails, the old file stays whole.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);
  if (::access(dir.path().c_str(), W_OK) != 0) {  // root may write anyway
    EXPECT_NE(writeFileAtomically(path, "newer", 0600), std::nullopt);
    EXPECT_EQ(readFile(path), "new");
  }
  ::chmod(dir.path().c_str(), 0700);
}

TEST(FileSecretStore, KeychainSemanticsModesAndSafeNames) {
  testing::TempDir dir;
  testing::RecordingLogger logger;
  const auto root = dir.file("secrets");
  FileSecretStore store(root, logger);
  const Bytes key = {1, 0, 2, 255};
  EXPECT_EQ(store.copy("svc", "acct"), std::nullopt);
  EXPECT_EQ(store.update("svc", "acct", key), kSecItemNotFound);
  EXPECT_EQ(store.add("svc", "acct", key), kSecSuccess);
  EXPECT_EQ(store.add("svc", "acct", key), kSecDuplicateItem);
  EXPECT_EQ(store.copy("svc", "acct"), key);
  EXPECT_EQ(store.update("svc", "acct", Bytes{9}), kSecSuccess);
  EXPECT_EQ(FileSecretStore(root, logger).copy("svc", "acct"), Bytes{9});
  EXPECT_EQ(modeOf(root), 0700u);
  EXPECT_EQ(modeOf(root + "/svc"), 0700u);
  EXPECT_EQ(modeOf(root + "/svc/acct"), 0600u);

  // Names that look like paths stay inside the root.
  EXPECT_EQ(store.add("svc", "../../escape", key), kSecSuccess);
  EXPECT_EQ(store.add("..", "x", key), kSecSuccess);
  EXPECT_FALSE(std::filesystem::exists(dir.file("escape")));
  EXPECT_EQ(store.copy("svc", "../../escape"), key);
  EXPECT_EQ(store.add("svc", "", key), kSecParam);

  EXPECT_EQ(store.remove("svc", "acct"), kSecSuccess);
  EXPECT_EQ(store.remove("svc", "acct"), kSecItemNotFound);
  EXPECT_EQ(store.copy("svc", "acct"), std::nullopt);
}

TEST(StandardPaths, PrivateDirectoryIsOursOrRefused) {
  testing::TempDir dir;
  // Missing: created 0700. Ours but loose: tightened.
  const auto fresh = dir.file("fresh");
  EXPECT_EQ(linux_paths::ensurePrivateDirectory(fresh), std::nullopt);
  EXPECT_EQ(modeOf(fresh), 0700u);
  ::chmod(fresh.c_str(), 0777);
  EXPECT_EQ(linux_paths::ensurePrivateDirectory(fresh), std::nullopt);
  EXPECT_EQ(modeOf(fresh), 0700u);

  // A symlink (even to a directory of ours), a file, and another user's directory are refused.
  const auto link = dir.file("link");
  std::filesystem::create_directory_symlink(fresh, link);
  const auto file = dir.file("file");
  std::ofstream(file) << "x";
  struct Case {
    std::string path;
    const char* fault;
  };
  std::vector<Case> cases = {{link, "is a symbolic link"}, {file, "is not a directory"}};
  const auto foreign = dir.file("foreign");
  std::filesystem::create_directory(foreign);
  if (::chown(foreign.c_str(), ::getuid() + 1, ::getgid()) == 0) cases.push_back({foreign, "belongs to another user"});
  for (const auto& c : cases) {
    const auto error = linux_paths::ensurePrivateDirectory(c.path);
    ASSERT_TRUE(error) << c.path;
    EXPECT_NE(error->find(c.fault), std::string::npos) << *error;
    EXPECT_NE(error->find(c.path), std::string::npos) << *error;
  }
  EXPECT_EQ(modeOf(fresh), 0700u);  // the symlink's target was not touched through it
}

TEST(LinuxHostInfo, PrettyHostnameFromMachineInfo) {
  EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\"Ada's \\\"Desk\\\"\"\nCHASSIS=desktop\n"),
            "Ada's \"Desk\"");
  EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=Studio\n"), "Studio");
  EXPECT_EQ(prettyHostnameFromMachineInfo("CHASSIS=laptop\n"), std::nullopt);
  EXPECT_EQ(prettyHostnameFromMachineInfo("PRETTY_HOSTNAME=\n"), std::nullopt);
  testing::TempDir dir;
  LinuxHostInfo info(dir.file("absent"));
  EXPECT_TRUE(info.localizedName().has_value());  // falls back to gethostname()
}

}  // namespace
}  // namespace orvo::platform
