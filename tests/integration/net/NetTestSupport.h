#pragma once

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Bytes.h"
#include "platform/Network.h"
#include "platform/linux/net/AsioNetwork.h"
#include "support/RecordingLogger.h"

namespace orvo::platform::nettest {

using namespace std::chrono_literals;

// 32 key bytes as the host draws them: no 0x00, mostly not printable.
Bytes keyBytes(std::uint8_t seed);
std::string hex(const Bytes& bytes);
// The host's parameters for one key pair: `identityText` becomes the secret, the key
// bytes the identity (keys empty: no key at all).
TlsParameters sessionParameters(const std::vector<std::pair<std::string, Bytes>>& keys);

// Records what a connection reports; can run the host's receive loop (1 to 65536 bytes
// until the end or an error). Completions still come after the connection is dropped;
// once the probe is gone they record nothing.
class ConnectionProbe {
 public:
  explicit ConnectionProbe(std::shared_ptr<Connection> subject);
  ConnectionProbe(const ConnectionProbe&) = delete;
  ConnectionProbe& operator=(const ConnectionProbe&) = delete;

  void receiveAll();
  bool reached(ConnectionStateKind kind) const;
  std::vector<ConnectionStateKind> kinds() const;
  // The error of the final state, if it failed.
  std::string failure() const;
  bool ended() const { return complete || receiveError.has_value(); }

  std::shared_ptr<Connection> connection;
  std::vector<ConnectionState> states;
  Bytes received;
  bool complete = false;
  std::optional<std::string> receiveError;
  int receiveCompletions = 0;

 private:
  std::shared_ptr<int> alive_ = std::make_shared<int>();
};

// A started listener that wraps each new connection in a probe (and starts it, unless
// told not to).
class ListenerProbe {
 public:
  ListenerProbe(Network& network, const TlsParameters& parameters, bool startConnections);
  ListenerProbe(const ListenerProbe&) = delete;
  ListenerProbe& operator=(const ListenerProbe&) = delete;

  bool reached(ListenerStateKind kind) const;

  std::shared_ptr<Listener> listener;
  std::vector<ListenerState> states;
  std::vector<std::unique_ptr<ConnectionProbe>> accepted;

 private:
  std::shared_ptr<int> alive_ = std::make_shared<int>();
};

// The io_context is driven on the test's own thread, so handlers run there and the test
// reads what they recorded without locks. Every wait has a timeout: a hang fails fast.
class NetworkTest : public ::testing::Test {
 protected:
  // Runs handlers until `done` holds; false after `timeout`.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s);
  void runFor(std::chrono::milliseconds duration);
  // A listener on 127.0.0.1 that has reported ready.
  std::unique_ptr<ListenerProbe> listen(const TlsParameters& parameters, bool startConnections = true);
  // A started client connection to the listener.
  std::unique_ptr<ConnectionProbe> connect(const ListenerProbe& listener, const TlsParameters& parameters);

  orvo::testing::RecordingLogger logger;
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
  AsioNetwork network{context, "127.0.0.1", logger};
};

}  // namespace orvo::platform::nettest
