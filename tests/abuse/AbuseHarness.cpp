#include "abuse/AbuseHarness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <csignal>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "core/Coding.h"
#include "pairing/OrvoTLS.h"
#include "pairing/PairingMessages.h"
#include "platform/linux/net/TlsContext.h"
#include "support/WaitUntil.h"
#include "support/XvfbFixture.h"

namespace orvo::testing {

using namespace std::chrono_literals;

ProcessSample sampleProcess(pid_t pid) {
  ProcessSample sample;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) sample.rssKiB = std::stol(line.substr(6));
    if (line.rfind("Threads:", 0) == 0) sample.threads = std::stoi(line.substr(8));
  }
  if (DIR* fds = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (const dirent* entry = ::readdir(fds)) sample.descriptors += entry->d_name[0] != '.';
    ::closedir(fds);
  }
  return sample;
}

// ---------------------------------------------------------------------------------------

AbuseHost::AbuseHost(const std::string& display, std::vector<std::pair<std::string, std::string>> extraEnv,
                     std::string home)
    : home_(home.empty() ? dir_.path() : std::move(home)) {
  std::filesystem::create_directories(file("run"));
  ::chmod(file("run").c_str(), 0700);
  ::setenv("XDG_RUNTIME_DIR", file("run").c_str(), 1);
  logPath_ = file("host.log");
  std::vector<std::string> argv = {"env",
                                   "-u",
                                   "DISPLAY",
                                   "XDG_CONFIG_HOME=" + file("config"),
                                   "XDG_DATA_HOME=" + file("data"),
                                   "XDG_RUNTIME_DIR=" + file("run"),
                                   "ORVO_BIND_ADDRESS=127.0.0.1"};
  if (!display.empty()) argv.push_back("DISPLAY=" + display);
  bool ownBus = false;
  for (const auto& [key, value] : extraEnv) {
    argv.push_back(key + "=" + value);
    ownBus = ownBus || key == "DBUS_SYSTEM_BUS_ADDRESS";
  }
  if (!ownBus) argv.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + file("no-bus"));
  // stdout and stderr into the log file, through a shell so the host's pid is the shell's.
  std::string command;
  for (const auto& arg : argv) command += "'" + arg + "' ";
  command += "'" ORVO_HOST_PATH "' --headless >>'" + logPath_ + "' 2>&1";
  process_ = std::make_unique<ChildProcess>(std::vector<std::string>{"sh", "-c", "exec " + command});
  if (!waitUntil([&] { return ctl({"status"}).exitCode == 0; }, 20s)) {
    throw std::runtime_error("orvo-host did not start:\n" + log());
  }
}

AbuseHost::~AbuseHost() {
  if (!process_ || process_->exitStatus()) return;
  ::kill(process_->pid(), SIGTERM);
  if (!waitUntil([&] { return process_->exitStatus().has_value(); }, 10s)) process_->kill();
}

pid_t AbuseHost::pid() const { return process_->pid(); }

bool AbuseHost::running() { return !process_->exitStatus().has_value(); }

void AbuseHost::killNow() {
  ::kill(process_->pid(), SIGKILL);
  waitUntil([&] { return process_->exitStatus().has_value(); }, 10s);
}

Outcome AbuseHost::ctl(std::vector<std::string> args) const {
  args.insert(args.begin(), {ORVO_HOST_PATH, "ctl"});
  return runToEnd(args, 20s);
}

namespace {

std::uint16_t portFromStatus(const std::string& status, const char* which) {
  std::smatch match;
  if (!std::regex_search(status, match, std::regex(std::string(which) + " port ([0-9]+)"))) return 0;
  return static_cast<std::uint16_t>(std::stoul(match[1]));
}

}  // namespace

std::uint16_t AbuseHost::sessionPort() const { return portFromStatus(ctl({"status"}).output, "session"); }
std::uint16_t AbuseHost::pairingPort() const { return portFromStatus(ctl({"status"}).output, "pairing"); }

HostCredential AbuseHost::pair() const {
  const Outcome token = ctl({"token"});
  std::string error;
  const auto invitation = decodePairingToken(token.output.substr(0, token.output.find('\n')), &error);
  if (!invitation) throw std::runtime_error("no pairing token: " + error + "\n" + token.output);
  const auto key = base64Decode(invitation->pskBase64);
  if (!key) throw std::runtime_error("pairing token without a key");
  return {invitation->pairingID, *key};
}

std::string AbuseHost::log() const { return readFile(logPath_); }

std::size_t AbuseHost::countLog(const std::string& text) const {
  std::istringstream lines(log());
  std::size_t count = 0;
  for (std::string line; std::getline(lines, line);) count += line.find(text) != std::string::npos;
  return count;
}

// ---------------------------------------------------------------------------------------

bool ClientLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    context.run_for(5ms);
  }
  return true;
}

void ClientLoop::runFor(std::chrono::milliseconds duration) { runUntil([] { return false; }, duration); }

// ---------------------------------------------------------------------------------------

namespace {

platform::TlsParameters sessionKey(const HostCredential& credential) {
  platform::TlsParameters parameters;
  addPreSharedKey(parameters, credential.pairingID, credential.key);
  parameters.cipherSuites = {kOrvoPskCipherSuite};
  return parameters;
}

}  // namespace

RawSession::RawSession(ClientLoop& loop, std::uint16_t port, const HostCredential& credential, bool reading)
    : loop_(loop),
      parser_({.line = [this](std::string line) { lines.push_back(std::move(line)); },
               .frame = [this](client::ReceivedFrame frame) { frames.push_back(std::move(frame)); }}),
      reading_(reading) {
  connection_ = loop.network.makeConnection("127.0.0.1", port, sessionKey(credential));
  std::weak_ptr<int> alive = alive_;
  connection_->setStateHandler([this, alive](const platform::ConnectionState& state) {
    if (alive.expired()) return;
    if (state.kind == platform::ConnectionStateKind::ready) {
      ready_ = true;
      if (reading_) receiveNext();
    } else if (state.kind == platform::ConnectionStateKind::failed ||
               state.kind == platform::ConnectionStateKind::cancelled) {
      ended_ = true;
      if (endDescription.empty()) endDescription = state.error.empty() ? "cancelled" : state.error;
    }
  });
  connection_->start();
}

RawSession::~RawSession() {
  connection_->setStateHandler({});
  connection_->cancel();
}

bool RawSession::waitReady() { return loop_.runUntil([&] { return ready_ || ended_; }) && ready_; }

void RawSession::send(std::string bytes) { connection_->send(Bytes(bytes.begin(), bytes.end()), nullptr); }

void RawSession::startReading() {
  if (reading_) return;
  reading_ = true;
  if (ready_) receiveNext();
}

void RawSession::close() { connection_->cancel(); }

void RawSession::receiveNext() {
  std::weak_ptr<int> alive = alive_;
  connection_->receive(1, 65536, [this, alive](Bytes data, bool complete, std::optional<std::string> error) {
    if (alive.expired()) return;
    receivedBytes += data.size();
    if (!data.empty() && !parser_.feed(data)) {
      streamEnded_ = true;
      endDescription = "stream broken: " + parser_.error();
      return;
    }
    if (error || complete) {
      streamEnded_ = true;
      endDescription = error ? *error : "the host closed the stream";
      return;
    }
    if (receivedBytes < readLimit) receiveNext();
  });
}

// ---------------------------------------------------------------------------------------

StreamingClient::StreamingClient(ClientLoop& loop, std::uint16_t port, const HostCredential& credential,
                                 std::vector<std::uint32_t> windows, const std::string& name)
    : windows_(std::move(windows)) {
  client::OrvoClientHandlers handlers;
  handlers.ready = [this] {
    for (const auto window : windows_) client_->requestWindowSnapshot(window);
  };
  handlers.frame = [this](client::ReceivedFrame frame) {
    ++frames_;
    client_->requestWindowSnapshot(frame.windowId);
  };
  handlers.ended = [this](const client::SessionEnd& end) { end_ = end; };
  client_ = client::OrvoClient::create(loop.main, loop.network, {.deviceName = name, .pingInterval = 2.0},
                                       std::move(handlers));
  client_->connect("127.0.0.1", port, credential.pairingID, credential.key);
}

StreamingClient::~StreamingClient() { client_->close(); }

// ---------------------------------------------------------------------------------------

std::optional<std::uint32_t> findWindow(ClientLoop& loop, AbuseHost& host, const HostCredential& credential,
                                        const std::string& title) {
  std::optional<std::uint32_t> found;
  waitUntil([&] {
    RawSession session(loop, host.sessionPort(), credential);
    if (!session.waitReady()) return false;
    session.sendLine(R"({"type":"requestWindowList"})");
    loop.runUntil([&] { return !session.lines.empty() || session.ended(); }, 5s);
    for (const auto& line : session.lines) {
      const auto list = decodeMessage<WindowListMessage>(line);
      if (!list) continue;
      for (const auto& window : list->windows) {
        if (window.title == title) found = window.windowId;
      }
    }
    return found.has_value();
  }, 20s);
  return found;
}

int connectTcp(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int connectTcpFrom(const std::string& source, std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const timeval timeout{.tv_sec = 5, .tv_usec = 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

ConnectionHolder::ConnectionHolder(std::string source, std::uint16_t port, int count)
    : source_(std::move(source)), port_(port), count_(count) {
  ::signal(SIGPIPE, SIG_IGN);  // a write to a connection the host closed must not end the test
  thread_ = std::thread([this] {
    std::vector<pollfd> fds(static_cast<std::size_t>(count_), pollfd{.fd = -1, .events = POLLIN, .revents = 0});
    while (!stop_) {
      for (auto& entry : fds) {
        if (entry.fd >= 0) continue;
        entry.fd = connectTcpFrom(source_, port_);
        if (entry.fd < 0) {
          ++failedConnects;
        } else {
          ++opened;
        }
      }
      if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
      for (auto& entry : fds) {
        if (entry.fd < 0 || entry.revents == 0) continue;
        char buffer[256];
        const ssize_t got = ::recv(entry.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
          ++closedByHost;
          ::close(entry.fd);
          entry.fd = -1;
        }
      }
    }
    for (auto& entry : fds) {
      if (entry.fd >= 0) ::close(entry.fd);
    }
  });
}

ConnectionHolder::~ConnectionHolder() { stop(); }

void ConnectionHolder::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

bool wrongPairingHandshakeFrom(const std::string& source, std::uint16_t port) {
  // A key of 32 random non-zero bytes: what a wrong code derives, as far as the host can tell.
  static thread_local std::mt19937 random{std::random_device{}()};
  Bytes identity(32);
  for (auto& byte : identity) byte = static_cast<std::uint8_t>(1 + random() % 255);
  platform::TlsParameters parameters;
  parameters.preSharedKeys.push_back({identity, toBytes("orvo-pin")});
  parameters.cipherSuites = {kOrvoPskCipherSuite};
  std::string error;
  const auto tls = platform::TlsContext::make(platform::TlsRole::client, parameters, error);
  if (!tls) return false;
  const int fd = connectTcpFrom(source, port);
  if (fd < 0) return false;
  auto ssl = tls->newSsl();
  bool refused = false;
  ERR_clear_error();
  if (ssl && SSL_set_fd(ssl.get(), fd) == 1 && SSL_connect(ssl.get()) != 1) {
    // Only the host's alert for an unknown key means the code was judged; a close before
    // the server's hello is the host closing a connection that never had its turn.
    refused = ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_TLSV1_ALERT_UNKNOWN_PSK_IDENTITY;
  }
  ERR_clear_error();
  ssl.reset();
  ::close(fd);
  return refused;
}

WrongCodeGuessers::WrongCodeGuessers(std::vector<std::string> sources, std::uint16_t port) {
  ::signal(SIGPIPE, SIG_IGN);  // TLS writes to a connection the host closed must not end the test
  for (auto& source : sources) {
    threads_.emplace_back([this, source, port] {
      while (!stop_) {
        ++attempts;
        if (wrongPairingHandshakeFrom(source, port)) ++refusedInHandshake;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
}

WrongCodeGuessers::~WrongCodeGuessers() { stop(); }

void WrongCodeGuessers::stop() {
  stop_ = true;
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

PairingRun pairWithClient(const std::string& pin, const std::string& name) {
  TempDir home;
  const auto start = std::chrono::steady_clock::now();
  PairingRun run;
  run.outcome = runToEnd({"env", "XDG_CONFIG_HOME=" + home.file("config"), "XDG_DATA_HOME=" + home.file("data"),
                          ORVO_CLIENT_PATH, "pair", "--pin", pin, "--name", name},
                         30s);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

std::string shownPin(const AbuseHost& host) {
  const Outcome pin = host.ctl({"pin"});
  const auto at = pin.output.find("Pairing code: ");
  return at == std::string::npos ? std::string() : pin.output.substr(at + 14, 6);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void report(const std::string& text) {
  std::printf("[abuse] %s\n", text.c_str());
  std::fflush(stdout);
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace orvo::testing
