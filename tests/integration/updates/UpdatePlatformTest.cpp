// The updater's Linux parts on their own: libcurl transfers, libsodium signature checks
// and the hand-over through an opener program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/testing/VirtualLoop.h"
#include "integration/updates/UpdateTestKeys.h"
#include "platform/linux/updates/CurlHttpClient.h"
#include "platform/linux/updates/SodiumUpdateVerifier.h"
#include "platform/linux/updates/XdgOpenPackageInstaller.h"
#include "support/ChildProcess.h"
#include "support/LocalHttpServer.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace orvo::testing {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

TEST(SodiumUpdateVerifier, AcceptsOnlyTheSignatureOfTheWholeFileUnderTheKey) {
  TempDir dir;
  UpdateTestKeys keys;
  UpdateTestKeys strangers;
  const std::string content = "orvo-host package bytes";
  const auto file = dir.file("package.deb");
  writeFile(file, content);
  platform::SodiumUpdateVerifier verifier;
  struct Case {
    const char* what;
    std::string signature;
    std::string key;
    bool valid;
  };
  const std::string good = keys.sign(content);
  const Case cases[] = {
      {"good", good, keys.publicKeyBase64(), true},
      {"good, with a line feed from a file", good + "\n", keys.publicKeyBase64() + "\n", true},
      {"another key's signature", strangers.sign(content), keys.publicKeyBase64(), false},
      {"a signature of part of the file", keys.sign(content.substr(1)), keys.publicKeyBase64(), false},
      {"no key built in", good, "", false},
      {"key of the wrong size", good, base64Encode(Bytes(31, 7)), false},
      {"signature of the wrong size", base64Encode(Bytes(63, 7)), keys.publicKeyBase64(), false},
      {"not base64", "%%%", keys.publicKeyBase64(), false},
  };
  for (const auto& c : cases) EXPECT_EQ(verifier.verifyFile(file, c.signature, c.key), c.valid) << c.what;
  EXPECT_FALSE(verifier.verifyFile(dir.file("missing.deb"), good, keys.publicKeyBase64()));
}

class XdgOpenPackageInstallerTest : public ::testing::Test {
 protected:
  XdgOpenPackageInstallerTest() {
    // A stand-in for xdg-open that records what it was asked to open.
    writeFile(opener, "#!/bin/sh\nprintf '%s' \"$1\" > '" + dir.file("opened") + "'\n");
    ::chmod(opener.c_str(), 0700);
  }
  TempDir dir;
  std::string opener = dir.file("fake-xdg-open");
  std::string package = dir.file("orvo host_2.0_amd64.deb");
};

TEST_F(XdgOpenPackageInstallerTest, OnADesktopThePackageGoesToTheOpener) {
  platform::XdgOpenPackageInstaller installer(true, opener);
  const auto result = installer.install(package);
  ASSERT_FALSE(result.error) << *result.error;
  EXPECT_TRUE(waitUntil([&] { return readFile(dir.file("opened")) == package; }));
  EXPECT_THAT(result.message, HasSubstr("Opened " + package));
  EXPECT_THAT(result.message, HasSubstr("sudo apt install '" + package + "'"));
}

TEST_F(XdgOpenPackageInstallerTest, HeadlessItOnlySaysWhereThePackageIsAndHowToInstallIt) {
  platform::XdgOpenPackageInstaller installer(false, opener);
  const auto result = installer.install(package);
  ASSERT_FALSE(result.error);
  EXPECT_EQ(result.message,
            "The verified update is at " + package + ". Install it with: sudo apt install '" + package + "'");
  EXPECT_FALSE(fs::exists(dir.file("opened")));
  EXPECT_EQ(platform::XdgOpenPackageInstaller::installCommand("/home/ada/.cache/it's.deb"),
            "sudo apt install '/home/ada/.cache/it'\\''s.deb'");
}

TEST_F(XdgOpenPackageInstallerTest, AMissingOpenerIsAnErrorThatStillNamesTheCommand) {
  platform::XdgOpenPackageInstaller installer(true, dir.file("no-such-opener"));
  const auto result = installer.install(package);
  ASSERT_TRUE(result.error);
  EXPECT_THAT(*result.error, HasSubstr("could not be opened"));
  EXPECT_THAT(*result.error, HasSubstr("sudo apt install"));
}

class CurlHttpClientTest : public ::testing::Test {
 protected:
  VirtualLoop loop;
  LocalHttpServer server;
  TempDir dir;
  std::unique_ptr<SerialQueue> worker = loop.makeSerialQueue("orvo.updates", QueuePriority::unspecified);
  platform::CurlHttpClient http{loop.main(), *worker, "orvo-host-test"};
};

TEST_F(CurlHttpClientTest, BodiesAreBoundedInMemoryAndOnDisk) {
  server.serve("/feed", std::string(1000, 'x'));
  std::vector<platform::HttpClient::Response> responses;
  http.get(server.url("/feed"), 1000, [&](platform::HttpClient::Response r) { responses.push_back(std::move(r)); });
  http.get(server.url("/feed"), 999, [&](platform::HttpClient::Response r) { responses.push_back(std::move(r)); });
  loop.drain();
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_FALSE(responses[0].error);
  EXPECT_EQ(responses[0].status, 200);
  EXPECT_EQ(responses[0].body.size(), 1000u);
  ASSERT_TRUE(responses[1].error);
  EXPECT_THAT(*responses[1].error, HasSubstr("larger than 999 bytes"));

  std::optional<platform::HttpClient::Download> download;
  http.download(server.url("/feed"), dir.file("out"), 500, {}, [&](platform::HttpClient::Download d) { download = d; });
  loop.drain();
  ASSERT_TRUE(download);
  EXPECT_TRUE(download->tooLarge);
  EXPECT_TRUE(download->error);
}

TEST_F(CurlHttpClientTest, OnlyHttpAndHttpsAreFetched) {
  const auto secret = dir.file("secret");
  writeFile(secret, "local file");
  std::optional<platform::HttpClient::Response> response;
  http.get("file://" + secret, 1000, [&](platform::HttpClient::Response r) { response = std::move(r); });
  loop.drain();
  ASSERT_TRUE(response);
  EXPECT_TRUE(response->error);
  EXPECT_TRUE(response->body.empty());
}

TEST_F(CurlHttpClientTest, CancelledTransfersReportNothing) {
  server.serve("/feed", "x");
  bool called = false;
  http.get(server.url("/feed"), 10, [&](platform::HttpClient::Response) { called = true; });
  http.cancelAll();
  loop.drain();
  EXPECT_FALSE(called);
  EXPECT_EQ(server.requests("/feed"), 0);
}

}  // namespace
}  // namespace orvo::testing
