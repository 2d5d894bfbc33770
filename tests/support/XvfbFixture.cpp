#include "support/XvfbFixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/WaitUntil.h"

extern char** environ;

namespace orvo::testing {
namespace {

int openForChild(const std::string& path, int flags) {
  const int fd = ::open(path.empty() ? "/dev/null" : path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  return fd;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

TestProcess::TestProcess(Options options) : name_(options.argv.empty() ? "" : options.argv.front()) {
  if (options.argv.empty()) throw std::runtime_error("TestProcess: empty argv");
  stderrPath_ = options.stderrPath;

  // Everything the child needs is built before fork: after it only async-signal-safe calls.
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string key = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [k, v] : options.env) replaced = replaced || k == key;
    if (!replaced) envStrings.push_back(entry);
  }
  for (const auto& [k, v] : options.env) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (auto& s : options.argv) argv.push_back(s.data());
  argv.push_back(nullptr);

  const int in = openForChild("", O_RDONLY);
  const int out = openForChild(options.stdoutPath, O_WRONLY | O_CREAT | O_TRUNC);
  const int err = openForChild(options.stderrPath, O_WRONLY | O_CREAT | O_TRUNC);
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (options.inheritFd >= 0) ::fcntl(options.inheritFd, F_SETFD, 0);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  const int forkError = errno;
  ::close(in);
  ::close(out);
  ::close(err);
  if (pid_ < 0) throw std::runtime_error("fork failed: " + std::string(std::strerror(forkError)));
}

TestProcess::~TestProcess() { stop(); }

bool TestProcess::running() {
  if (status_ || pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = status;
    return false;
  }
  return true;
}

bool TestProcess::waitFor(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void TestProcess::stop(std::chrono::milliseconds grace) {
  if (!running()) return;
  ::kill(pid_, SIGTERM);
  if (!waitFor(grace)) kill();
}

void TestProcess::kill() {
  if (!running()) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = status;
}

std::string TestProcess::stderrText() const { return stderrPath_.empty() ? "" : readFile(stderrPath_); }

namespace {

// Whether an X server on display `number` is alive, by the pid in its lock file.
bool serverLockIsLive(int number) {
  const std::string text = readFile("/tmp/.X" + std::to_string(number) + "-lock");
  if (text.empty()) return false;
  const long pid = std::strtol(text.c_str(), nullptr, 10);
  return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

}  // namespace

DisplayNumberReservation::DisplayNumberReservation() {
  constexpr int kFirst = 1000;
  constexpr int kCount = 1000;
  const int start = static_cast<int>(::getpid() % kCount);
  for (int i = 0; i < kCount; ++i) {
    const int number = kFirst + (start + i) % kCount;
    const std::string path = "/tmp/orvo-test-display-" + std::to_string(number) + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || serverLockIsLive(number)) {
      ::close(fd);
      continue;
    }
    number_ = number;
    lockFd_ = fd;
    return;
  }
  throw std::runtime_error("no free display number to reserve from :1000 on");
}

DisplayNumberReservation::~DisplayNumberReservation() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

XvfbFixture::XvfbFixture(XvfbOptions options) : screen_(options.screen) {
  startServer(options);
  if (options.windowManager) startWindowManager();
}

XvfbFixture::~XvfbFixture() {
  if (windowManager_) windowManager_->stop();
  if (server_) server_->stop();
}

void XvfbFixture::startServer(const XvfbOptions& options) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  std::vector<std::string> argv = {"Xvfb"};
  if (options.displayNumber) argv.push_back(":" + std::to_string(*options.displayNumber));
  // -noreset: the server keeps its state when the last client leaves, as a desktop does.
  for (const char* a : {"-screen", "0", options.screen.c_str(), "+extension", "Composite", "-nolisten", "tcp",
                        "-noreset", "-displayfd"}) {
    argv.emplace_back(a);
  }
  argv.push_back(std::to_string(fds[1]));
  const std::string log = dir_.file("Xvfb.stderr");
  try {
    server_ = std::make_unique<TestProcess>(TestProcess::Options{.argv = argv, .stderrPath = log, .inheritFd = fds[1]});
  } catch (...) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw;
  }
  ::close(fds[1]);

  // Xvfb writes its display number and a newline once it accepts connections; an early
  // exit closes the pipe instead.
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (number.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd fd{fds[0], POLLIN, 0};
    if (left <= 0 || ::poll(&fd, 1, static_cast<int>(left)) <= 0) break;
    char buffer[32];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    number.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    server_->stop();
    throw std::runtime_error("Xvfb did not come up:\n" + server_->stderrText());
  }
  displayNumber_ = std::stoi(number);
  display_ = ":" + std::to_string(displayNumber_);
}

namespace {

// A short-lived connection to the fixture's display for the few checks it makes itself.
class ProbeConnection {
 public:
  explicit ProbeConnection(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    if (!xcb_connection_has_error(c_.get())) root_ = xcb_setup_roots_iterator(xcb_get_setup(c_.get())).data->root;
  }
  bool ok() const { return root_ != XCB_NONE && !xcb_connection_has_error(c_.get()); }
  xcb_connection_t* get() const { return c_.get(); }
  xcb_window_t root() const { return root_; }

  xcb_atom_t atom(const char* name) {
    std::unique_ptr<xcb_intern_atom_reply_t, FreeDeleter> r(xcb_intern_atom_reply(
        get(), xcb_intern_atom(get(), 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
  }
  std::vector<std::uint32_t> cardinals(xcb_window_t window, const char* name, xcb_atom_t type) {
    std::unique_ptr<xcb_get_property_reply_t, FreeDeleter> r(
        xcb_get_property_reply(get(), xcb_get_property(get(), 0, window, atom(name), type, 0, 4096), nullptr));
    if (!r || r->format != 32) return {};
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(r.get()));
    return {values, values + xcb_get_property_value_length(r.get()) / 4};
  }

 private:
  struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
  };
  std::unique_ptr<xcb_connection_t, Disconnect> c_;
  xcb_window_t root_ = XCB_NONE;
};

bool contains(const std::vector<std::uint32_t>& list, std::uint32_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

bool XvfbFixture::windowManagerReady() {
  ProbeConnection c(display_);
  if (!c.ok()) return false;
  std::unique_ptr<xcb_get_selection_owner_reply_t, FreeDeleter> owner(
      xcb_get_selection_owner_reply(c.get(), xcb_get_selection_owner(c.get(), c.atom("WM_S0")), nullptr));
  return owner && owner->owner != XCB_NONE &&
         !c.cardinals(c.root(), "_NET_SUPPORTING_WM_CHECK", XCB_ATOM_WINDOW).empty();
}

// openbox owns the screen a little before its event loop runs, and a window mapped in that
// gap is never managed. So a probe window is mapped (again, every 200 ms) until it shows up
// in _NET_CLIENT_LIST, then destroyed; from then on windows are managed as they map.
bool XvfbFixture::windowManagerManages() {
  ProbeConnection c(display_);
  if (!c.ok()) return false;
  const xcb_window_t probe = xcb_generate_id(c.get());
  xcb_create_window(c.get(), XCB_COPY_FROM_PARENT, probe, c.root(), 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    XCB_COPY_FROM_PARENT, 0, nullptr);
  bool managed = false;
  for (int attempt = 0; attempt < 50 && !managed && windowManager_->running(); ++attempt) {
    xcb_unmap_window(c.get(), probe);
    xcb_map_window(c.get(), probe);
    xcb_flush(c.get());
    managed = waitUntil([&] { return contains(c.cardinals(c.root(), "_NET_CLIENT_LIST", XCB_ATOM_WINDOW), probe); },
                        std::chrono::milliseconds(200));
  }
  xcb_destroy_window(c.get(), probe);
  xcb_flush(c.get());
  return managed &&
         waitUntil([&] { return !contains(c.cardinals(c.root(), "_NET_CLIENT_LIST", XCB_ATOM_WINDOW), probe); });
}

void XvfbFixture::startWindowManager() {
  if (windowManager_) return;
  const std::string home = dir_.file("openbox-home");
  std::filesystem::create_directories(home);
  windowManager_ = std::make_unique<TestProcess>(TestProcess::Options{.argv = {"openbox", "--sm-disable"},
                                                                      .env = {{"DISPLAY", display_},
                                                                              {"HOME", home},
                                                                              {"XDG_CONFIG_HOME", home + "/config"},
                                                                              {"XDG_CACHE_HOME", home + "/cache"},
                                                                              {"XDG_DATA_HOME", home + "/data"}},
                                                                      .stderrPath = dir_.file("openbox.stderr")});
  const bool ready =
      waitUntil([&] { return !windowManager_->running() || windowManagerReady(); }, std::chrono::milliseconds(10000));
  if (!ready || !windowManager_->running() || !windowManagerManages()) {
    const std::string text = windowManager_->stderrText();
    windowManager_.reset();
    throw std::runtime_error("openbox did not manage the screen:\n" + text);
  }
}

void XvfbFixture::stopWindowManager() {
  if (!windowManager_) return;
  windowManager_->stop();
  windowManager_.reset();
  waitUntil([&] { return !windowManagerReady(); });
}

void XvfbFixture::killServer() {
  if (windowManager_) windowManager_->kill();
  windowManager_.reset();
  server_->kill();
}

std::unique_ptr<TestProcess> XvfbFixture::launch(std::vector<std::string> argv) {
  const std::string base = dir_.file("client" + std::to_string(++launched_));
  return std::make_unique<TestProcess>(TestProcess::Options{.argv = std::move(argv),
                                                            .env = {{"DISPLAY", display_}},
                                                            .stdoutPath = base + ".stdout",
                                                            .stderrPath = base + ".stderr"});
}

TestWindowProcess XvfbFixture::startTestWindow(std::vector<std::string> args) {
  const std::string ready = dir_.file("ready" + std::to_string(launched_ + 1));
  std::vector<std::string> argv = {ORVO_TEST_WINDOW_PATH, "--ready-file", ready};
  argv.insert(argv.end(), args.begin(), args.end());
  TestWindowProcess result;
  result.process = launch(std::move(argv));
  TestProcess& process = *result.process;
  const bool isReady =
      waitUntil([&] { return !process.running() || std::filesystem::exists(ready); }, std::chrono::milliseconds(10000));
  if (!isReady || !std::filesystem::exists(ready)) {
    const bool wasRunning = process.running();
    process.stop();
    throw std::runtime_error("orvo-test-window did not become ready (" +
                             std::string(wasRunning ? "still running" : "exited") + "):\n" + process.stderrText());
  }
  result.window = static_cast<std::uint32_t>(std::stoul(readFile(ready)));
  return result;
}

bool XvfbFixture::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  return testing::waitUntil(condition, timeout);
}

}  // namespace orvo::testing
