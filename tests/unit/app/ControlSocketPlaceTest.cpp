// Where the control socket lives without $XDG_RUNTIME_DIR: a private directory under the
// user's cache, never a shared path under /tmp that another user could create first.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "app/ControlSocket.h"
#include "support/RecordingLogger.h"
#include "support/TempDir.h"

namespace orvo::testing {
namespace {

// Sets (or, with nullopt, unsets) an environment variable for the test's lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

unsigned modeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

class ControlSocketPlace : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedEnv runtime{"XDG_RUNTIME_DIR", std::nullopt};
  ScopedEnv cache{"XDG_CACHE_HOME", dir.file("cache")};
  RecordingLogger logger;
};

// The host starts and answers `ctl` with no runtime directory, whatever another user put
// under /tmp: the socket goes into ~/.cache/orvo-host/run (created 0700 with its parents),
// and the old shared path /tmp/orvo-host-<uid>, pre-created by someone else, is not used.
TEST_F(ControlSocketPlace, WithoutARuntimeDirectoryTheSocketLivesInAPrivateDirectoryOfTheUser) {
  const std::string shared = "/tmp/orvo-host-" + std::to_string(::getuid());
  // As root the test plants it as another user's; otherwise an empty one of our own.
  const bool planted = !std::filesystem::exists(shared) && std::filesystem::create_directory(shared);
  if (planted) (void)::chown(shared.c_str(), ::getuid() + 1, ::getgid());

  const std::string expected = dir.file("cache") + "/orvo-host/run/orvo-host.sock";
  EXPECT_EQ(controlSocketPath(), expected);
  asio::io_context context;
  ControlServer server(
      context, controlSocketPath(),
      [](const std::vector<std::string>& args, std::function<void(HostCommands::Result)> reply) {
        reply({0, "ran " + args.at(0)});
      },
      logger);
  EXPECT_EQ(server.start(), std::nullopt);
  EXPECT_EQ(modeOf(dir.file("cache")), 0700u);
  EXPECT_EQ(modeOf(dir.file("cache") + "/orvo-host"), 0700u);
  EXPECT_EQ(modeOf(dir.file("cache") + "/orvo-host/run"), 0700u);
  EXPECT_EQ(modeOf(expected) & 0077u, 0u);  // the socket itself: owner only

  std::thread loop([&] { context.run_for(std::chrono::seconds(5)); });
  const auto reply = sendControlRequest(controlSocketPath(), {"status"});
  context.stop();
  loop.join();
  ASSERT_TRUE(reply.result) << reply.error;
  EXPECT_EQ(reply.result->output, "ran status");
  if (planted) std::filesystem::remove(shared);
}

// A fallback directory that is not ours (a symlink planted in the cache, a file) stops the
// start with a message that names it, and nothing is created through it.
TEST_F(ControlSocketPlace, AFallbackDirectoryThatIsNotOursIsRefused) {
  const std::string elsewhere = dir.file("elsewhere");
  std::filesystem::create_directories(elsewhere);
  std::filesystem::create_directories(dir.file("cache") + "/orvo-host");
  std::filesystem::create_directory_symlink(elsewhere, dir.file("cache") + "/orvo-host/run");
  asio::io_context context;
  ControlServer server(context, controlSocketPath(), [](auto&&, auto&&) {}, logger);
  const auto error = server.start();
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("symbolic link"), std::string::npos) << *error;
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
}

}  // namespace
}  // namespace orvo::testing
