#include "support/AvahiFixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/PrivateDbus.h"

extern char** environ;

namespace orvo::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kBusDeadline = 10s;
constexpr auto kDaemonDeadline = 15s;
constexpr auto kStopDeadline = 5s;
constexpr auto kBrowseDeadline = 10s;
constexpr auto kPollStep = 10ms;
constexpr std::string_view kDaemonReady = "Server startup complete";
constexpr const char* kRuntimePidFile = "/run/avahi-daemon/pid";

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("AvahiFixture: cannot write " + path);
}

// The absolute path of a program; sbin directories are searched even when PATH lacks them.
std::optional<std::string> findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = std::string(path ? path : "") + ":/usr/local/sbin:/usr/sbin:/sbin:/usr/bin:/bin";
  std::istringstream in(dirs);
  for (std::string dir; std::getline(in, dir, ':');) {
    if (dir.empty()) continue;
    std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

std::string requireProgram(const std::string& name) {
  auto found = findProgram(name);
  if (!found) throw std::runtime_error("AvahiFixture: program not found: " + name);
  return *found;
}

// Starts argv[0] (an absolute path) with stdin from /dev/null and stdout/stderr into
// the given descriptors, default signal handling, and this process's environment.
pid_t spawn(const std::vector<std::string>& argv, int out, int err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP}) sigaddset(&defaults, signal);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int error = ::posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) throw std::runtime_error("AvahiFixture: cannot start " + argv[0] + ": " + std::strerror(error));
  return pid;
}

// A file opened for a child's output; closed in the parent once the child has it.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path)
      : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {
    if (fd_ < 0) throw std::runtime_error("AvahiFixture: cannot open " + path);
  }
  ~OutputFile() { ::close(fd_); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

pid_t spawnLogged(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath) {
  OutputFile out(outPath);
  if (outPath == errPath) return spawn(argv, out.fd(), out.fd());
  OutputFile err(errPath);
  return spawn(argv, out.fd(), err.fd());
}

// Whether the child has ended (and is reaped); its wait status in `status`.
bool reaped(pid_t pid, int* status = nullptr) {
  int local = 0;
  pid_t result;
  do {
    result = ::waitpid(pid, &local, WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (status) *status = local;
  return result == pid || (result < 0 && errno == ECHILD);
}

bool waitExit(pid_t pid, Clock::duration timeout, int* status = nullptr) {
  auto deadline = Clock::now() + timeout;
  while (!reaped(pid, status)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
  return true;
}

void stopProcess(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (waitExit(pid, kStopDeadline)) return;
  ::kill(pid, SIGKILL);
  waitExit(pid, kStopDeadline);
}

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
  return "ended";
}

// Runs a program to its end (or kills it at the deadline); its stdout and stderr.
std::string runCapture(const std::vector<std::string>& argv, Clock::duration timeout, int* status = nullptr) {
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("AvahiFixture: pipe failed");
  pid_t pid;
  try {
    pid = spawn(argv, pipeEnds[1], pipeEnds[1]);
  } catch (...) {
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    throw;
  }
  ::close(pipeEnds[1]);
  std::string output;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd entry{pipeEnds[0], POLLIN, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[4096];
    ssize_t n = ::read(pipeEnds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeEnds[0]);
  int local = 0;
  if (!waitExit(pid, kStopDeadline, &local)) {
    ::kill(pid, SIGKILL);
    waitExit(pid, kStopDeadline, &local);
  }
  if (status) *status = local;
  return output;
}

// Whether this process may put a child into new network and mount namespaces.
bool namespacesAvailable() {
  auto unshare = findProgram("unshare");
  auto truePath = findProgram("true");
  if (!unshare || !truePath) return false;
  int status = 0;
  runCapture({*unshare, "--net", "--mount", *truePath}, kStopDeadline, &status);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// In the host's namespaces avahi-daemon refuses to start while /run/avahi-daemon/pid
// names a live process; a file left by a killed daemon is removed.
void clearStalePidFile() {
  std::string text = readFile(kRuntimePidFile);
  if (text.empty()) return;
  pid_t pid = static_cast<pid_t>(std::atol(text.c_str()));
  if (pid > 0 && ::kill(pid, 0) == 0) {
    std::string comm = readFile("/proc/" + std::to_string(pid) + "/comm");
    if (comm.rfind("avahi-daemon", 0) == 0) {
      throw std::runtime_error("AvahiFixture: another avahi-daemon (pid " + std::to_string(pid) +
                               ") is running; stop it or run the tests where network namespaces are allowed");
    }
  }
  std::error_code ignored;
  std::filesystem::remove(kRuntimePidFile, ignored);
}

constexpr const char* kDaemonConfig = R"([server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000

[wide-area]
enable-wide-area=no

[publish]
publish-addresses=yes
publish-hinfo=no
publish-workstation=no
publish-domain=no
publish-aaaa-on-ipv4=no
publish-a-on-ipv6=no

[reflector]
enable-reflector=no

[rlimits]
)";

// Undoes avahi-browse's escapes: "\DDD" (decimal byte) and "\c" (the character itself).
std::string unescape(std::string_view text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      result += text[i];
      continue;
    }
    if (i + 3 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isdigit(static_cast<unsigned char>(text[i + 2])) &&
        std::isdigit(static_cast<unsigned char>(text[i + 3]))) {
      result += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 3))));
      i += 3;
    } else {
      result += text[++i];
    }
  }
  return result;
}

// `"a=1" "b=2"` → {"a=1", "b=2"}, honouring backslash escapes inside the quotes.
std::vector<std::string> splitQuoted(std::string_view text) {
  std::vector<std::string> strings;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '"') {
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
    strings.push_back(unescape(text.substr(i + 1, std::min(end, text.size()) - i - 1)));
    i = end + 1;
  }
  return strings;
}

// At most `count` fields: the last one keeps any further ';'.
std::vector<std::string_view> splitFields(std::string_view line, std::size_t count) {
  std::vector<std::string_view> fields;
  for (;;) {
    auto semicolon = fields.size() + 1 < count ? line.find(';') : std::string_view::npos;
    fields.push_back(line.substr(0, semicolon));
    if (semicolon == std::string_view::npos) break;
    line.remove_prefix(semicolon + 1);
  }
  return fields;
}

}  // namespace

const std::string* BrowsedService::txtValue(std::string_view key) const {
  for (const auto& [k, v] : txt) {
    if (k == key) return &v;
  }
  return nullptr;
}

std::vector<BrowsedService> parseAvahiBrowse(std::string_view output) {
  std::vector<BrowsedService> services;
  while (!output.empty()) {
    auto newline = output.find('\n');
    std::string_view line = output.substr(0, newline);
    output.remove_prefix(newline == std::string_view::npos ? output.size() : newline + 1);
    if (line.empty() || line[0] != '=') continue;
    // =;iface;proto;name;type;domain;host;address;port;txt — names have ';' escaped.
    auto fields = splitFields(line, 10);
    if (fields.size() < 10) continue;
    BrowsedService service;
    service.interface = fields[1];
    service.protocol = fields[2];
    service.name = unescape(fields[3]);
    service.type = fields[4];
    service.domain = fields[5];
    service.hostName = unescape(fields[6]);
    service.address = fields[7];
    service.port = static_cast<std::uint16_t>(std::atoi(std::string(fields[8]).c_str()));
    auto strings = splitQuoted(fields[9]);
    for (auto it = strings.rbegin(); it != strings.rend(); ++it) {
      auto equals = it->find('=');
      if (equals == std::string::npos) {
        service.txt.emplace_back(*it, std::string());
      } else {
        service.txt.emplace_back(it->substr(0, equals), it->substr(equals + 1));
      }
    }
    services.push_back(std::move(service));
  }
  return services;
}

std::optional<std::string> AvahiFixture::unavailableReason() {
  if (::geteuid() != 0) {
    return "these tests run avahi-daemon, which needs root (its runtime files live under /run/avahi-daemon "
           "and it is put into a private network namespace); run them as root";
  }
  for (const char* program : {"dbus-daemon", "avahi-daemon", "avahi-browse"}) {
    if (!findProgram(program)) return std::string(program) + " is not installed (see scripts/setup.sh)";
  }
  return std::nullopt;
}

AvahiFixture::AvahiFixture(bool startDaemon) {
  const char* base = std::getenv("TMPDIR");
  directory_ = std::string(base && *base ? base : "/tmp") + "/orvo-avahi-bus-" + std::to_string(::getpid());
  if (const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) previousBusAddress_ = previous;
  isolated_ = namespacesAvailable();
  writeConfigs();
  startBus();
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress_.c_str(), 1);
  if (startDaemon) {
    try {
      this->startDaemon();
    } catch (...) {
      stopBus();
      throw;
    }
  }
}

AvahiFixture::~AvahiFixture() {
  stopDaemon();
  stopBus();
  if (previousBusAddress_) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", previousBusAddress_->c_str(), 1);
  } else {
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
}

void AvahiFixture::writeConfigs() {
  writeFile(temp_.file("avahi-daemon.conf"), kDaemonConfig);
  writeFile(temp_.file("bus.conf"), PrivateDbus::configText(PrivateDbus::Type::system, directory_ + "/bus"));
}

void AvahiFixture::startBus() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
  if (::mkdir(directory_.c_str(), 0755) != 0) {
    throw std::runtime_error("AvahiFixture: cannot create " + directory_ + ": " + std::strerror(errno));
  }
  std::string out = temp_.file("bus.out");
  std::string err = temp_.file("bus.err");
  busPid_ = spawnLogged(
      {requireProgram("dbus-daemon"), "--nofork", "--config-file=" + temp_.file("bus.conf"), "--print-address"}, out,
      err);
  // The bus prints its address once it listens.
  auto deadline = Clock::now() + kBusDeadline;
  for (;;) {
    std::string printed = readFile(out);
    if (auto newline = printed.find('\n'); newline != std::string::npos) break;
    int status = 0;
    if (reaped(busPid_, &status)) {
      busPid_ = -1;
      throw std::runtime_error("AvahiFixture: dbus-daemon " + describeStatus(status) + ":\n" + readFile(err));
    }
    if (Clock::now() >= deadline) {
      stopBus();
      throw std::runtime_error("AvahiFixture: dbus-daemon printed no address in time:\n" + readFile(err));
    }
    std::this_thread::sleep_for(kPollStep);
  }
  // Always this exact text: libdbus keeps the first address it read.
  busAddress_ = "unix:path=" + directory_ + "/bus";
}

void AvahiFixture::stopBus() {
  stopProcess(busPid_);
  busPid_ = -1;
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void AvahiFixture::startDaemon() {
  if (daemonRunning()) return;
  std::string log = temp_.file("avahi-daemon-" + std::to_string(++daemonStarts_) + ".log");
  std::string avahi = requireProgram("avahi-daemon");
  std::string config = temp_.file("avahi-daemon.conf");
  std::vector<std::string> argv;
  if (isolated_) {
    // A fresh loopback (down, and without the MULTICAST flag, until set) and a private
    // /run for the pid file and socket; exec keeps the PID, so it stops by that PID.
    argv = {requireProgram("unshare"),
            "--net",
            "--mount",
            requireProgram("sh"),
            "-c",
            R"("$1" link set lo up multicast on && "$2" -t tmpfs -o mode=0755 tmpfs /run && )"
            R"(exec "$3" --no-drop-root --no-chroot --no-rlimits -f "$4")",
            "avahi-fixture",
            requireProgram("ip"),
            requireProgram("mount"),
            avahi,
            config};
  } else {
    clearStalePidFile();
    argv = {avahi, "--no-drop-root", "--no-chroot", "--no-rlimits", "-f", config};
  }
  daemonPid_ = spawnLogged(argv, log, log);
  auto deadline = Clock::now() + kDaemonDeadline;
  while (readFile(log).find(kDaemonReady) == std::string::npos) {
    int status = 0;
    if (reaped(daemonPid_, &status)) {
      daemonPid_ = -1;
      throw std::runtime_error("AvahiFixture: avahi-daemon " + describeStatus(status) + ":\n" + readFile(log));
    }
    if (Clock::now() >= deadline) {
      stopDaemon();
      throw std::runtime_error("AvahiFixture: avahi-daemon not ready in time:\n" + readFile(log));
    }
    std::this_thread::sleep_for(kPollStep);
  }
}

void AvahiFixture::stopDaemon() {
  stopProcess(daemonPid_);
  daemonPid_ = -1;
}

std::string AvahiFixture::daemonLog() const {
  if (daemonStarts_ == 0) return {};
  return readFile(temp_.file("avahi-daemon-" + std::to_string(daemonStarts_) + ".log"));
}

void AvahiFixture::sendFromPeer(const std::vector<std::uint8_t>& packet) const {
  if (!daemonRunning()) throw std::runtime_error("AvahiFixture: no daemon to send to");
  auto fail = [](const std::string& what) {
    return std::runtime_error("AvahiFixture: " + what + ": " + std::strerror(errno));
  };
  // A socket belongs to the network namespace it was made in: make it in the daemon's,
  // then return this thread to its own.
  int ownNamespace = -1;
  if (isolated_) {
    ownNamespace = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int daemonNamespace = ::open(("/proc/" + std::to_string(daemonPid_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    if (ownNamespace < 0 || daemonNamespace < 0 || ::setns(daemonNamespace, CLONE_NEWNET) != 0) {
      auto error = fail("cannot enter the daemon's network namespace");
      if (ownNamespace >= 0) ::close(ownNamespace);
      if (daemonNamespace >= 0) ::close(daemonNamespace);
      throw error;
    }
    ::close(daemonNamespace);
  }
  int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (ownNamespace >= 0) {
    bool back = ::setns(ownNamespace, CLONE_NEWNET) == 0;
    ::close(ownNamespace);
    if (!back) std::abort();  // this thread would stay in the daemon's namespace
  }
  if (sock < 0) throw fail("socket");
  // Responses count only from the mDNS port, and not from the daemon's own address.
  int on = 1;
  unsigned char ttl = 255;
  in_addr loopback{htonl(INADDR_LOOPBACK)};
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_port = htons(5353);
  source.sin_addr.s_addr = htonl(0x7f000002);  // 127.0.0.2
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(5353);
  group.sin_addr.s_addr = htonl(0xe00000fb);  // 224.0.0.251
  bool sent = ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              ::setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback) == 0 &&
              ::setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
              ::bind(sock, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
              ::sendto(sock, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof group) ==
                  static_cast<ssize_t>(packet.size());
  auto error = fail("cannot send the packet");
  ::close(sock);
  if (!sent) throw error;
}

std::vector<BrowsedService> AvahiFixture::browse(const std::string& type) const {
  return parseAvahiBrowse(runCapture({requireProgram("avahi-browse"), "-rtpc", type}, kBrowseDeadline));
}

std::vector<BrowsedService> AvahiFixture::browseUntil(
    const std::string& type, const std::function<bool(const std::vector<BrowsedService>&)>& done,
    std::chrono::milliseconds timeout) const {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto services = browse(type);
    if (done(services) || Clock::now() >= deadline) return services;
    // avahi-browse fails at once without a daemon; do not spin on that.
    std::this_thread::sleep_for(50ms);
  }
}

}  // namespace orvo::testing
