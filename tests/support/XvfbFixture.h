#pragma once

// A private X display for tests: Xvfb on a free display number, optionally the openbox
// window manager on it, and X clients (such as the fixture program orvo-test-window)
// started with DISPLAY pointing at it. Every process is stopped by its own pid: SIGTERM,
// then SIGKILL after a short grace. Children also die with the test process
// (PR_SET_PDEATHSIG), so a test killed by a timeout leaves no server behind.
//
// Share one per test suite to keep tests fast:
//
//   class MySuite : public ::testing::Test {
//    protected:
//     static void SetUpTestSuite() { x = std::make_unique<XvfbFixture>(XvfbOptions{.windowManager = true}); }
//     static void TearDownTestSuite() { x.reset(); }
//     static inline std::unique_ptr<XvfbFixture> x;
//   };
//   auto window = x->startTestWindow({"--title", "Hello", "--geometry", "200x100+10+20"});
//
// Failures to start throw std::runtime_error with the process's stderr; gtest reports it.
// Not thread-safe: use from the test's main thread (the one that stays alive while
// children run, since PR_SET_PDEATHSIG follows the thread that forked).

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace orvo::testing {

// A child process started by a test. Stops it (SIGTERM, then SIGKILL) when destroyed.
class TestProcess {
 public:
  struct Options {
    std::vector<std::string> argv;                         // argv[0] is looked up in PATH
    std::vector<std::pair<std::string, std::string>> env;  // set or replaced in the child
    std::string stdoutPath;                                // empty: /dev/null
    std::string stderrPath;                                // empty: /dev/null
    int inheritFd = -1;                                    // a descriptor kept open in the child
  };
  // Throws std::runtime_error when fork fails or a log file cannot be opened. A program
  // that cannot be executed shows as a process that exits with status 127.
  explicit TestProcess(Options options);
  ~TestProcess();
  TestProcess(const TestProcess&) = delete;
  TestProcess& operator=(const TestProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Whether it has not exited yet (reaps it when it has).
  bool running();
  // The exit status as waitpid gives it, once it has exited.
  std::optional<int> status() const { return status_; }
  // SIGTERM, up to `grace` for it to exit, then SIGKILL. Waits until it is gone.
  void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(1000));
  // SIGKILL and wait: the process vanishes without any chance to clean up.
  void kill();
  // What it wrote to stderr so far (when stderrPath was given).
  std::string stderrText() const;
  const std::string& name() const { return name_; }

 private:
  bool waitFor(std::chrono::milliseconds timeout);

  std::string name_;
  std::string stderrPath_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// A display number kept for one test while it lives, for a test that kills its server and
// starts a new one on the same number: a server started with -displayfd takes the lowest
// free number, so a number freed by a kill could be taken by another test's server before
// the restart. Reserved numbers come from far above the ones such servers take (1000 and
// up), and a lock file held open (/tmp/orvo-test-display-N.lock, flock) keeps them apart
// between test processes.
class DisplayNumberReservation {
 public:
  DisplayNumberReservation();  // throws std::runtime_error when no number is free
  ~DisplayNumberReservation();
  DisplayNumberReservation(const DisplayNumberReservation&) = delete;
  DisplayNumberReservation& operator=(const DisplayNumberReservation&) = delete;

  int number() const { return number_; }

 private:
  int number_ = -1;
  int lockFd_ = -1;
};

struct XvfbOptions {
  bool windowManager = false;        // start openbox and wait until it manages the screen
  std::optional<int> displayNumber;  // default: a free number chosen by Xvfb
  std::string screen = "1920x1080x24";
};

// A test window started by startTestWindow().
struct TestWindowProcess {
  std::unique_ptr<TestProcess> process;
  std::uint32_t window = 0;  // its X window id
};

class XvfbFixture {
 public:
  explicit XvfbFixture(XvfbOptions options = {});
  ~XvfbFixture();
  XvfbFixture(const XvfbFixture&) = delete;
  XvfbFixture& operator=(const XvfbFixture&) = delete;

  const std::string& display() const { return display_; }  // ":N"
  int displayNumber() const { return displayNumber_; }
  pid_t serverPid() const { return server_->pid(); }
  bool hasWindowManager() const { return windowManager_ != nullptr; }
  TempDir& dir() { return dir_; }

  // Starts openbox and waits until it owns WM_S0, has set _NET_SUPPORTING_WM_CHECK and
  // manages a window mapped from then on.
  void startWindowManager();
  // Stops openbox and waits until the WM_S0 selection is free again.
  void stopWindowManager();
  // Kills Xvfb (and openbox) with SIGKILL: the display is lost at once.
  void killServer();

  // Starts a program with DISPLAY set to this display; stderr is kept for diagnostics.
  std::unique_ptr<TestProcess> launch(std::vector<std::string> argv);

  // Starts orvo-test-window with `args` plus a ready file, and waits until the window is
  // mapped and painted (or iconic). Throws with its stderr when it does not get there.
  TestWindowProcess startTestWindow(std::vector<std::string> args);

  // Polls `condition` every 10 ms until it holds or `timeout` passes; returns the last answer.
  static bool waitUntil(const std::function<bool()>& condition,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

 private:
  void startServer(const XvfbOptions& options);
  bool windowManagerReady();
  bool windowManagerManages();

  TempDir dir_;
  std::string screen_;
  std::string display_;
  int displayNumber_ = -1;
  int launched_ = 0;
  std::unique_ptr<TestProcess> server_;
  std::unique_ptr<TestProcess> windowManager_;
};

}  // namespace orvo::testing
