// Connecting to PipeWire: on a descriptor (as the portal hands one out, owned by the
// capturer from then on), on the default socket, and the failures.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "PipeWireTestSupport.h"
#include "support/TempDir.h"

namespace orvo::testing {
namespace {

// Sets environment variables for a scope, and puts back what was there. Only while no
// other thread of the process reads the environment (no capturer exists).
class ScopedEnvironment {
 public:
  void set(const std::string& name, const std::string& value) {
    const char* old = std::getenv(name.c_str());
    saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  ~ScopedEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        ::unsetenv(it->first.c_str());
      }
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class PipeWireConnect : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = PrivatePipeWire::unavailableReason()) ORVO_UNAVAILABLE(*why);
    pipewire = std::make_unique<PrivatePipeWire>();
  }
  std::unique_ptr<PrivatePipeWire> pipewire;
  RecordingLogger logger;
  EventRecorder recorder;
};

TEST_F(PipeWireConnect, OnTheDefaultSocketOfTheRuntimeDirectory) {
  std::string error;
  std::unique_ptr<PipeWireCapturer> capturer;
  {
    ScopedEnvironment environment;
    environment.set("XDG_RUNTIME_DIR", pipewire->runtimeDir());
    environment.set("PIPEWIRE_RUNTIME_DIR", pipewire->runtimeDir());
    environment.set("PIPEWIRE_REMOTE", "pipewire-0");
    capturer = PipeWireCapturer::connect(-1, recorder.events(), logger, error);
  }
  ASSERT_TRUE(capturer) << error;
  TestProducer producer(*pipewire, {"--size", "64x48"});
  ASSERT_TRUE(capturer->addStream(1, producer.nodeId()));
  ASSERT_TRUE(waitUntil([&] { return capturer->picturesReceived(1) > 0; }))
      << "producer: " << producer.output() << "; " << pipewire->output();
  auto picture = capturer->captureWindow(1, std::nullopt, CaptureMode::isolated);
  ASSERT_TRUE(picture);
  EXPECT_TRUE(showsPattern(*picture, 64, 48, 0, 0));
}

TEST_F(PipeWireConnect, WithoutPipeWireThereIsNoCapturerAndAReason) {
  TempDir empty;
  std::string error;
  std::unique_ptr<PipeWireCapturer> capturer;
  {
    ScopedEnvironment environment;
    environment.set("XDG_RUNTIME_DIR", empty.path());
    environment.set("PIPEWIRE_RUNTIME_DIR", empty.path());
    environment.set("PIPEWIRE_REMOTE", "pipewire-0");
    capturer = PipeWireCapturer::connect(-1, recorder.events(), logger, error);
  }
  EXPECT_FALSE(capturer);
  EXPECT_NE(error.find("PipeWire"), std::string::npos) << error;
}

TEST_F(PipeWireConnect, ADescriptorThatLeadsNowhereFailsAndIsClosed) {
  // The portal's descriptor is a socket; here its other end is gone before the first word.
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  ::close(pair[1]);
  std::string error;
  auto capturer = PipeWireCapturer::connect(pair[0], recorder.events(), logger, error);
  EXPECT_FALSE(capturer);
  EXPECT_FALSE(error.empty());
  // Owned and closed by the capturer, failure or not.
  EXPECT_EQ(::fcntl(pair[0], F_GETFD), -1);
  EXPECT_TRUE(recorder.disconnects().empty());
}

TEST_F(PipeWireConnect, TheDescriptorIsClosedWithTheCapturer) {
  const int fd = pipewire->openConnection();
  ASSERT_GE(fd, 0);
  std::string error;
  auto capturer = PipeWireCapturer::connect(fd, recorder.events(), logger, error);
  ASSERT_TRUE(capturer) << error;
  EXPECT_NE(::fcntl(fd, F_GETFD), -1);
  capturer.reset();
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

}  // namespace
}  // namespace orvo::testing
