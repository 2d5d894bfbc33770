#pragma once

// What the abuse runs share: a real `orvo-host --headless` on a private Xvfb, listening on
// 127.0.0.1 only, with private XDG directories; the test's own client side (the client
// library and raw TLS connections on an io_context driven by the test's thread); and
// readings of the host process (resident memory, descriptors, threads) from /proc.
//
// Everything runs on the test's main thread except where a test starts an attacker thread
// of its own (plain sockets only, no shared state but atomics).

#include <sys/types.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/OrvoClient.h"
#include "client/SessionStreamParser.h"
#include "core/AsioQueues.h"
#include "core/Bytes.h"
#include "platform/Network.h"
#include "platform/linux/net/AsioNetwork.h"
#include "support/ChildProcess.h"
#include "support/RecordingLogger.h"
#include "support/TempDir.h"

namespace orvo::testing {

using Clock = std::chrono::steady_clock;

// One line of what an abuse run tried or saw, prefixed "[abuse]", printed at once.
void report(const std::string& text);
double secondsSince(Clock::time_point start);

// A moment's reading of a process.
struct ProcessSample {
  long rssKiB = 0;
  int descriptors = 0;
  int threads = 0;
};
// /proc/PID/status (VmRSS, Threads) and /proc/PID/fd; zeros when the process is gone.
ProcessSample sampleProcess(pid_t pid);

// The pairing a test holds with the host: what `orvo-host ctl token` handed out.
struct HostCredential {
  std::string pairingID;
  Bytes key;
};

// orvo-host --headless with DISPLAY set (none when empty), private XDG directories under
// `home` (a temporary directory of its own when empty), loopback listeners, and no system
// bus unless `extraEnv` names one (so it advertises nowhere). `orvo-host ctl` reaches it
// through XDG_RUNTIME_DIR, which the constructor sets for this process. Stops it (SIGTERM)
// when destroyed. Throws when it does not answer `ctl status` in time.
class AbuseHost {
 public:
  explicit AbuseHost(const std::string& display, std::vector<std::pair<std::string, std::string>> extraEnv = {},
                     std::string home = {});
  ~AbuseHost();
  AbuseHost(const AbuseHost&) = delete;
  AbuseHost& operator=(const AbuseHost&) = delete;

  pid_t pid() const;
  bool running();
  // SIGKILL and wait: the host gets no chance to finish anything.
  void killNow();
  Outcome ctl(std::vector<std::string> args) const;
  // The listening ports from `ctl status` (the session port moves when the listener is
  // rebuilt and its old port was taken meanwhile, so ask before each connection).
  std::uint16_t sessionPort() const;
  std::uint16_t pairingPort() const;
  // A new paired device from `ctl token`.
  HostCredential pair() const;
  std::string log() const;
  // Lines of the host's log that contain `text`.
  std::size_t countLog(const std::string& text) const;
  ProcessSample sample() const { return sampleProcess(pid()); }
  const std::string& home() const { return home_; }

 private:
  std::string file(const std::string& name) const { return home_ + "/" + name; }

  TempDir dir_;
  std::string home_;
  std::unique_ptr<ChildProcess> process_;
  std::string logPath_;
};

// The client side's event loop on the test thread.
class ClientLoop {
 public:
  ClientLoop() = default;
  ClientLoop(const ClientLoop&) = delete;
  ClientLoop& operator=(const ClientLoop&) = delete;

  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(15));
  void runFor(std::chrono::milliseconds duration);

  RecordingLogger logger;
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
  AsioMainQueue main{context, logger};
  platform::AsioNetwork network{context, "127.0.0.1", logger};
};

// An authenticated session that speaks raw bytes: what a broken or hostile client sends.
// Received bytes are split into lines and frames only while `reading` is on; off, the
// connection asks for nothing and the bytes stay in the socket.
class RawSession {
 public:
  RawSession(ClientLoop& loop, std::uint16_t port, const HostCredential& credential, bool reading = true);
  ~RawSession();
  RawSession(const RawSession&) = delete;
  RawSession& operator=(const RawSession&) = delete;

  bool waitReady();
  void send(std::string bytes);
  void sendLine(const std::string& line) { send(line + "\n"); }
  void startReading();
  // Closes the connection (TLS close notify, then the socket).
  void close();
  bool ended() const { return ended_ || streamEnded_; }
  bool ready() const { return ready_; }

  // Reading stops (the rest stays in the socket) once this many bytes have come.
  std::size_t readLimit = SIZE_MAX;
  std::size_t receivedBytes = 0;
  std::vector<std::string> lines;
  std::vector<client::ReceivedFrame> frames;
  std::string endDescription;

 private:
  void receiveNext();

  ClientLoop& loop_;
  std::shared_ptr<platform::Connection> connection_;
  client::SessionStreamParser parser_;
  std::shared_ptr<int> alive_ = std::make_shared<int>();
  bool ready_ = false;
  bool ended_ = false;
  bool streamEnded_ = false;
  bool reading_ = false;
};

// A paired client that streams windows as a client does: one request open per window,
// the next one sent as soon as a frame arrives, a ping every 2 s.
class StreamingClient {
 public:
  StreamingClient(ClientLoop& loop, std::uint16_t port, const HostCredential& credential,
                  std::vector<std::uint32_t> windows, const std::string& name = "abuse-streamer");
  ~StreamingClient();
  StreamingClient(const StreamingClient&) = delete;
  StreamingClient& operator=(const StreamingClient&) = delete;

  std::uint64_t frames() const { return frames_; }
  bool ended() const { return end_.has_value(); }
  std::string endDescription() const { return end_ ? end_->description : std::string(); }
  const client::OrvoClient& client() const { return *client_; }

 private:
  std::shared_ptr<client::OrvoClient> client_;
  std::vector<std::uint32_t> windows_;
  std::uint64_t frames_ = 0;
  std::optional<client::SessionEnd> end_;
};

// The id of the window with this title in a window list that a raw session asks for.
std::optional<std::uint32_t> findWindow(ClientLoop& loop, AbuseHost& host, const HostCredential& credential,
                                        const std::string& title);

// A TCP connection to 127.0.0.1:port (blocking connect), or -1.
int connectTcp(std::uint16_t port);
// The same from a source address of 127.0.0.0/8 ("127.0.0.2"): another host, as the
// host's per-address limits see it.
int connectTcpFrom(const std::string& source, std::uint16_t port);

// An attacker on a thread of its own: from one source address it keeps `count` idle TCP
// connections to the port, each reopened as soon as the host closes it, until stopped.
class ConnectionHolder {
 public:
  ConnectionHolder(std::string source, std::uint16_t port, int count);
  ~ConnectionHolder();
  ConnectionHolder(const ConnectionHolder&) = delete;
  ConnectionHolder& operator=(const ConnectionHolder&) = delete;
  void stop();

  std::atomic<long> opened = 0;
  std::atomic<long> closedByHost = 0;
  std::atomic<long> failedConnects = 0;

 private:
  std::string source_;
  std::uint16_t port_;
  int count_;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

// One pairing handshake from `source` with a key no code gives (a wrong guess); true when
// the host refused it in the handshake (rather than closing it unstarted or timing out).
bool wrongPairingHandshakeFrom(const std::string& source, std::uint16_t port);

// Wrong-code pairing handshakes from each source address, one after another per address,
// on a thread per address, until stopped.
class WrongCodeGuessers {
 public:
  WrongCodeGuessers(std::vector<std::string> sources, std::uint16_t port);
  ~WrongCodeGuessers();
  WrongCodeGuessers(const WrongCodeGuessers&) = delete;
  WrongCodeGuessers& operator=(const WrongCodeGuessers&) = delete;
  void stop();

  std::atomic<long> attempts = 0;
  std::atomic<long> refusedInHandshake = 0;  // the host judged the code: a counted guess

 private:
  std::atomic<bool> stop_ = false;
  std::vector<std::thread> threads_;
};

// `orvo-client pair --pin CODE` through discovery (the salt comes from the advertisement),
// with private client directories; the outcome and how long it took.
struct PairingRun {
  Outcome outcome;
  double seconds = 0;
};
PairingRun pairWithClient(const std::string& pin, const std::string& name);
// The code `ctl pin` shows, or empty when it shows none (pairing suspended).
std::string shownPin(const AbuseHost& host);

// The median of a non-empty list.
double median(std::vector<double> values);

}  // namespace orvo::testing
