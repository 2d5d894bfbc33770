// The updater's Linux parts on their own: libcurl transfers (HTTPS against a local server
// with a certificate authority made by the test), the streamed ed25519 check, dpkg-deb
// reading packages built by the test, and the hand-over through an opener program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/testing/VirtualLoop.h"
#include "integration/updates/TestPackages.h"
#include "integration/updates/UpdateTestKeys.h"
#include "platform/linux/updates/CurlHttpClient.h"
#include "platform/linux/updates/DpkgDebPackageReader.h"
#include "platform/linux/updates/SodiumUpdateVerifier.h"
#include "platform/linux/updates/XdgOpenPackageInstaller.h"
#include "support/ChildProcess.h"
#include "support/LocalHttpServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "support/Unavailable.h"
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
  EXPECT_FALSE(verifier.verifyFile(dir.path(), good, keys.publicKeyBase64())) << "a directory";
}

Bytes fromHex(const std::string& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// The streamed check must accept and refuse exactly what libsodium's one-shot check does.
TEST(SodiumUpdateVerifier, AgreesWithLibsodiumOnGenuineAndDamagedSignatures) {
  TempDir dir;
  platform::SodiumUpdateVerifier verifier;
  const auto file = dir.file("package.deb");
  int compared = 0;
  auto agree = [&](const Bytes& message, const Bytes& signature, const Bytes& key, const std::string& what) {
    writeFile(file, std::string(message.begin(), message.end()));
    const bool sodium = crypto_sign_verify_detached(signature.data(), message.data(), message.size(), key.data()) == 0;
    EXPECT_EQ(verifier.verifyFile(file, base64Encode(signature), base64Encode(key)), sodium) << what;
    ++compared;
    return sodium;
  };

  // RFC 8032, section 7.1, tests 1 and 2.
  EXPECT_TRUE(agree({}, fromHex("e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bac"
                                "c61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"),
                    fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"), "RFC 8032 test 1"));
  EXPECT_TRUE(agree({0x72}, fromHex("92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e4"
                                    "58f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"),
                    fromHex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"), "RFC 8032 test 2"));

  // The order of the group, little-endian: S + L is the same scalar, not reduced.
  const Bytes order = fromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000000000000000000000000000010");
  for (int round = 0; round < 64; ++round) {
    UpdateTestKeys keys;
    const Bytes key = *base64Decode(keys.publicKeyBase64());
    Bytes message(randombytes_uniform(70000));
    randombytes_buf(message.data(), message.size());
    const Bytes signature = *base64Decode(keys.sign(std::string(message.begin(), message.end())));
    EXPECT_TRUE(agree(message, signature, key, "genuine"));

    const auto bit = [](std::size_t bytes) { return randombytes_uniform(static_cast<std::uint32_t>(bytes * 8)); };
    Bytes damaged = signature;
    const auto flipped = bit(64);
    damaged[flipped / 8] ^= static_cast<std::uint8_t>(1u << (flipped % 8));
    EXPECT_FALSE(agree(message, damaged, key, "signature bit " + std::to_string(flipped)));
    if (!message.empty()) {
      Bytes changed = message;
      const auto at = bit(changed.size());
      changed[at / 8] ^= static_cast<std::uint8_t>(1u << (at % 8));
      EXPECT_FALSE(agree(changed, signature, key, "message bit"));
      EXPECT_FALSE(agree(Bytes(message.begin(), message.end() - 1), signature, key, "message one byte short"));
    }
    Bytes otherKey = key;
    const auto keyBit = bit(32);
    otherKey[keyBit / 8] ^= static_cast<std::uint8_t>(1u << (keyBit % 8));
    EXPECT_FALSE(agree(message, signature, otherKey, "key bit"));
    Bytes unreduced = signature;
    unsigned carry = 0;
    for (std::size_t i = 0; i < 32; ++i) {
      const unsigned sum = unreduced[32 + i] + order[i] + carry;
      unreduced[32 + i] = static_cast<std::uint8_t>(sum);
      carry = sum >> 8;
    }
    EXPECT_FALSE(agree(message, unreduced, key, "S + L"));
    Bytes smallOrderR = signature;
    std::fill(smallOrderR.begin(), smallOrderR.begin() + 32, 0);
    smallOrderR[0] = 1;  // the neutral element
    EXPECT_FALSE(agree(message, smallOrderR, key, "R of small order"));
  }
  std::printf("[ verifier ] %d cases compared with crypto_sign_verify_detached\n", compared);
}

// A peak-memory figure of this process, in KiB ("VmHWM" or "VmRSS" of /proc/self/status).
long statusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

TEST(SodiumUpdateVerifier, ChecksThe256MiBLimitPackageWithoutHoldingIt) {
  TempDir dir;
  UpdateTestKeys keys;
  const auto file = dir.file("large.deb");
  {
    std::ofstream out(file, std::ios::binary);
    std::string piece(1 << 20, '\0');
    for (int i = 0; i < 256; ++i) {
      randombytes_buf(piece.data(), piece.size());
      out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    }
  }
  const auto signature = keys.signFile(file);
  platform::SodiumUpdateVerifier verifier;
  // Writing 5 resets the peak (VmHWM) to what is resident now.
  if (!(std::ofstream("/proc/self/clear_refs") << "5")) ORVO_UNAVAILABLE("/proc/self/clear_refs cannot be written");
  const long before = statusKiB("VmHWM");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(verifier.verifyFile(file, signature, keys.publicKeyBase64()));
  const auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const long growth = statusKiB("VmHWM") - before;
  std::printf("[ verifier ] 256 MiB checked in %.2f s; peak resident memory grew by %ld KiB\n", took, growth);
  EXPECT_LT(growth, 8 * 1024) << "KiB";

  // One byte more than the limit is refused without a look.
  std::filesystem::resize_file(file, 256ull * 1024 * 1024 + 1);
  EXPECT_FALSE(verifier.verifyFile(file, signature, keys.publicKeyBase64()));
}

TEST(DpkgDebPackageReader, ReadsNameAndVersionOfAPackageAndRefusesAnythingElse) {
  TempDir dir;
  writeFile(dir.file("orvo-host.deb"), buildTestPackage(dir.path(), "orvo-host", "2.1.0~rc1+git5"));
  writeFile(dir.file("not-a-package.deb"), "!<arch>\nnot really");
  platform::DpkgDebPackageReader packageReader;
  std::string error;
  const auto fields = packageReader.readFields(dir.file("orvo-host.deb"), error);
  ASSERT_TRUE(fields) << error;
  EXPECT_EQ(*fields, (platform::PackageReader::Fields{.package = "orvo-host", .version = "2.1.0~rc1+git5"}));
  for (const auto& path : {dir.file("not-a-package.deb"), dir.file("missing.deb")}) {
    error.clear();
    EXPECT_FALSE(packageReader.readFields(path, error)) << path;
    EXPECT_FALSE(error.empty()) << path;
  }

  // Newer as apt sees it: a tilde sorts before the release, an epoch above all.
  struct Order {
    const char* candidate;
    const char* current;
    std::optional<bool> newer;
  };
  const Order orders[] = {
      {"2.0.1", "2.0", true},   {"2.0", "2.0", false},  {"1.9", "2.0", false},     {"2.0~1", "2.0", false},
      {"2.0+1", "2.0", true},   {"1:0.5", "2.0", true}, {"2.0", "1:0.5", false},   {"2 0", "2.0", std::nullopt},
  };
  for (const auto& o : orders) {
    error.clear();
    EXPECT_EQ(packageReader.isNewerVersion(o.candidate, o.current, error), o.newer) << o.candidate << " > " << o.current;
    EXPECT_EQ(error.empty(), o.newer.has_value()) << error;
  }

  // A reader that hangs is stopped.
  writeFile(dir.file("hangs"), "#!/bin/sh\nexec sleep 30\n");
  ::chmod(dir.file("hangs").c_str(), 0700);
  platform::DpkgDebPackageReader hanging(dir.file("hangs"), std::chrono::milliseconds(300));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(hanging.readFields(dir.file("orvo-host.deb"), error));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_THAT(error, HasSubstr("did not finish"));
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
  // Runs one download to its end and returns what it reported.
  platform::HttpClient::Download download(platform::CurlHttpClient& client, const std::string& url,
                                          std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
    std::optional<platform::HttpClient::Download> result;
    client.download(url, dir.file("out"), {.maxBytes = 1 << 20, .deadline = deadline}, {},
                    [&](platform::HttpClient::Download d) { result = std::move(d); });
    loop.drain();
    EXPECT_TRUE(result);
    return result.value_or(platform::HttpClient::Download{});
  }
  platform::HttpClient::Response get(platform::CurlHttpClient& client, const std::string& url) {
    std::optional<platform::HttpClient::Response> result;
    client.get(url, 1 << 20, [&](platform::HttpClient::Response r) { result = std::move(r); });
    loop.drain();
    EXPECT_TRUE(result);
    return result.value_or(platform::HttpClient::Response{});
  }

  VirtualLoop loop;
  TempDir dir;
  TestCertificates certificates{dir.path()};
  LocalHttpServer server{{certificates.serverCertificate, certificates.serverKey}};
  LocalHttpServer plain;
  std::unique_ptr<SerialQueue> worker = loop.makeSerialQueue("orvo.updates", QueuePriority::unspecified);
  platform::CurlHttpClient http{loop.main(), *worker, {.userAgent = "orvo-host-test", .caFile = certificates.authorityFile}};
  platform::CurlHttpClient loopbackHttp{
      loop.main(), *worker, {.userAgent = "orvo-host-test", .allowLoopbackHttp = true, .caFile = certificates.authorityFile}};
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
  http.download(server.url("/feed"), dir.file("out"), {.maxBytes = 500, .deadline = std::chrono::seconds(30)}, {},
                [&](platform::HttpClient::Download d) { download = d; });
  loop.drain();
  ASSERT_TRUE(download);
  EXPECT_TRUE(download->tooLarge);
  EXPECT_TRUE(download->error);
}

// Which addresses are fetched: https under a trusted authority; http of the loopback
// interface only behind the test switch; nothing else, and nothing is sent where refused.
TEST_F(CurlHttpClientTest, OnlyHttpsIsFetchedAndLoopbackHttpOnlyBehindTheSwitch) {
  server.serve("/feed", "secure");
  plain.serve("/feed", "plain");
  const auto secret = dir.file("secret");
  writeFile(secret, "local file");
  struct Case {
    const char* what;
    platform::CurlHttpClient* client;
    std::string url;
    std::optional<std::string> body;  // nothing: refused
    std::string error;
  };
  const Case cases[] = {
      {"https", &http, server.url("/feed"), "secure", ""},
      {"http to loopback", &http, plain.url("/feed"), std::nullopt, "only https addresses are allowed"},
      {"http to loopback, switch on", &loopbackHttp, plain.url("/feed"), "plain", ""},
      {"http elsewhere, switch on", &loopbackHttp, "http://192.0.2.1/feed", std::nullopt, "only https addresses are allowed"},
      {"http by name, switch on", &loopbackHttp, "http://localhost:" + std::to_string(plain.port()) + "/feed",
       std::nullopt, "only https addresses are allowed"},
      {"file", &loopbackHttp, "file://" + secret, std::nullopt, "only https addresses are allowed"},
      {"not an address", &http, "127.0.0.1/feed", std::nullopt, "not a valid address"},
  };
  for (const auto& c : cases) {
    const int before = plain.requests("/feed");
    const auto response = get(*c.client, c.url);
    const auto file = download(*c.client, c.url);
    if (c.body) {
      EXPECT_FALSE(response.error) << c.what << ": " << *response.error;
      EXPECT_EQ(response.body, *c.body) << c.what;
      EXPECT_FALSE(file.error) << c.what;
      EXPECT_EQ(readFile(dir.file("out")), *c.body) << c.what;
      continue;
    }
    ASSERT_TRUE(response.error) << c.what;
    EXPECT_THAT(*response.error, HasSubstr(c.error)) << c.what;
    EXPECT_TRUE(response.body.empty()) << c.what;
    ASSERT_TRUE(file.error) << c.what;
    EXPECT_THAT(*file.error, HasSubstr(c.error)) << c.what;
    EXPECT_EQ(plain.requests("/feed"), before) << c.what << ": nothing may reach the server";
  }
  std::printf("[ addresses ] %zu cases, each by get and by download\n", std::size(cases));
}

TEST_F(CurlHttpClientTest, ACertificateNoTrustedAuthoritySignedIsRefused) {
  LocalHttpServer stranger({certificates.strangerCertificate, certificates.strangerKey});
  stranger.serve("/feed", "forged");
  const auto response = get(http, stranger.url("/feed"));
  ASSERT_TRUE(response.error);
  EXPECT_TRUE(response.body.empty());
  EXPECT_EQ(stranger.requests("/feed"), 0) << "no request goes over an unverified connection";
  std::printf("[ certificate ] untrusted server: %s\n", response.error->c_str());
}

TEST_F(CurlHttpClientTest, RedirectsAreFollowedButNeverFromHttpsToHttp) {
  server.serve("/final", "secure body");
  plain.serve("/final", "plain body");
  server.redirect("/to-https", server.url("/final"));
  server.redirect("/to-http", plain.url("/final"), 301);
  server.redirect("/via-https-to-http", server.url("/to-http"), 307);
  plain.redirect("/up-to-https", server.url("/final"));
  for (int i = 0; i < 6; ++i) server.redirect("/loop" + std::to_string(i), server.url("/loop" + std::to_string(i + 1)));
  server.serve("/loop6", "end of the loop");
  struct Case {
    const char* what;
    platform::CurlHttpClient* client;
    std::string url;
    std::optional<std::string> body;
    std::string error;
  };
  const Case cases[] = {
      {"https to https", &http, server.url("/to-https"), "secure body", ""},
      {"https to http", &http, server.url("/to-http"), std::nullopt, "refused a redirect from https to http"},
      {"https to http, switch on", &loopbackHttp, server.url("/to-http"), std::nullopt,
       "refused a redirect from https to http"},
      {"https, https, then http", &loopbackHttp, server.url("/via-https-to-http"), std::nullopt,
       "refused a redirect from https to http"},
      {"http up to https, switch on", &loopbackHttp, plain.url("/up-to-https"), "secure body", ""},
      {"six redirects", &http, server.url("/loop0"), std::nullopt, "more than 5 redirects"},
  };
  for (const auto& c : cases) {
    const auto response = get(*c.client, c.url);
    const auto file = download(*c.client, c.url);
    if (c.body) {
      EXPECT_FALSE(response.error) << c.what << ": " << response.error.value_or("");
      EXPECT_EQ(response.body, *c.body) << c.what;
      EXPECT_EQ(readFile(dir.file("out")), *c.body) << c.what << ": a redirect's own body is dropped";
      continue;
    }
    ASSERT_TRUE(response.error) << c.what;
    EXPECT_THAT(*response.error, HasSubstr(c.error)) << c.what;
    ASSERT_TRUE(file.error) << c.what;
    EXPECT_THAT(*file.error, HasSubstr(c.error)) << c.what;
  }
  EXPECT_EQ(plain.requests("/final"), 0) << "no request followed a downgrade";
  EXPECT_EQ(server.requests("/loop6"), 0);
}

TEST_F(CurlHttpClientTest, ADownloadEndsAtItsDeadlineOrWhenCancelled) {
  server.serveSlowly("/slow", std::string(400000, 's'), 20000);  // 20 s to send in full
  auto started = std::chrono::steady_clock::now();
  const auto late = download(http, server.url("/slow"), std::chrono::milliseconds(1500));
  const double tookLate = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ASSERT_TRUE(late.error);
  EXPECT_THAT(*late.error, HasSubstr("did not finish within 1 s"));
  EXPECT_FALSE(late.cancelled);
  EXPECT_GE(tookLate, 1.4);
  EXPECT_LT(tookLate, 4.0);

  // Cancelled while under way: it ends within about a second, as cancelled.
  std::optional<platform::HttpClient::Download> result;
  started = std::chrono::steady_clock::now();
  const auto id = http.download(server.url("/slow"), dir.file("out"), {.maxBytes = 1 << 20, .deadline = std::chrono::seconds(60)},
                                {}, [&](platform::HttpClient::Download d) { result = std::move(d); });
  // The transfer blocks this thread inside drain() (the virtual loop runs the worker here),
  // so the cancel comes from another thread, as ctl's does in the host; the flag it sets
  // is atomic, and the client's id map is not touched meanwhile.
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    http.cancel(id);
  });
  while (!result) loop.drain();
  canceller.join();
  const double tookCancelled = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_TRUE(result->cancelled);
  EXPECT_THAT(result->error.value_or(""), HasSubstr("cancelled"));
  EXPECT_LT(tookCancelled, 3.0);
  http.cancel(id);  // finished: ignored
  std::printf("[ deadline ] stopped after %.2f s (deadline 1.5 s); cancelled after %.2f s (asked at 0.5 s)\n",
              tookLate, tookCancelled);
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
