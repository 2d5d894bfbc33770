#include "NetTestSupport.h"

#include <algorithm>

#include "pairing/OrvoTLS.h"

namespace orvo::platform::nettest {

Bytes keyBytes(std::uint8_t seed) {
  Bytes key(32);
  for (std::size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<std::uint8_t>((i * 151 + seed * 29 + 0x80) % 255 + 1);
  }
  return key;
}

std::string hex(const Bytes& bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 0xF];
  }
  return text;
}

TlsParameters sessionParameters(const std::vector<std::pair<std::string, Bytes>>& keys) {
  TlsParameters parameters = makePSKParameters("", {});
  for (const auto& [identityText, key] : keys) addPreSharedKey(parameters, identityText, key);
  return parameters;
}

ConnectionProbe::ConnectionProbe(std::shared_ptr<Connection> subject) : connection(std::move(subject)) {
  connection->setStateHandler([this, alive = std::weak_ptr<int>(alive_)](const ConnectionState& state) {
    if (!alive.expired()) states.push_back(state);
  });
}

void ConnectionProbe::receiveAll() {
  connection->receive(1, 65536, [this, alive = std::weak_ptr<int>(alive_)](Bytes data, bool isComplete,
                                                                         std::optional<std::string> error) {
    if (alive.expired()) return;
    ++receiveCompletions;
    received.insert(received.end(), data.begin(), data.end());
    if (error) {
      receiveError = error;
    } else if (isComplete) {
      complete = true;
    } else {
      receiveAll();
    }
  });
}

bool ConnectionProbe::reached(ConnectionStateKind kind) const {
  return std::any_of(states.begin(), states.end(), [kind](const ConnectionState& s) { return s.kind == kind; });
}

std::vector<ConnectionStateKind> ConnectionProbe::kinds() const {
  std::vector<ConnectionStateKind> kinds;
  for (const ConnectionState& state : states) kinds.push_back(state.kind);
  return kinds;
}

std::string ConnectionProbe::failure() const {
  for (const ConnectionState& state : states) {
    if (state.kind == ConnectionStateKind::failed) return state.error;
  }
  return {};
}

ListenerProbe::ListenerProbe(Network& network, const TlsParameters& parameters, bool startConnections) {
  std::string error;
  listener = network.makeListener(parameters, error);
  if (!listener) throw std::runtime_error("makeListener failed: " + error);
  listener->setStateHandler([this, alive = std::weak_ptr<int>(alive_)](const ListenerState& state) {
    if (!alive.expired()) states.push_back(state);
  });
  listener->setNewConnectionHandler([this, alive = std::weak_ptr<int>(alive_),
                                     startConnections](std::shared_ptr<Connection> connection) {
    if (alive.expired()) return;
    accepted.push_back(std::make_unique<ConnectionProbe>(std::move(connection)));
    if (startConnections) accepted.back()->connection->start();
  });
  listener->start();
}

bool ListenerProbe::reached(ListenerStateKind kind) const {
  return std::any_of(states.begin(), states.end(), [kind](const ListenerState& s) { return s.kind == kind; });
}

bool NetworkTest::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    context.run_one_for(10ms);
  }
  return true;
}

void NetworkTest::runFor(std::chrono::milliseconds duration) { context.run_for(duration); }

std::unique_ptr<ListenerProbe> NetworkTest::listen(const TlsParameters& parameters, bool startConnections) {
  auto probe = std::make_unique<ListenerProbe>(network, parameters, startConnections);
  EXPECT_TRUE(runUntil([&] { return !probe->states.empty(); }));
  EXPECT_TRUE(probe->reached(ListenerStateKind::ready));
  EXPECT_TRUE(probe->listener->port().has_value());
  return probe;
}

std::unique_ptr<ConnectionProbe> NetworkTest::connect(const ListenerProbe& listener, const TlsParameters& parameters) {
  auto probe = std::make_unique<ConnectionProbe>(
      network.makeConnection("127.0.0.1", listener.listener->port().value_or(0), parameters));
  probe->connection->start();
  return probe;
}

}  // namespace orvo::platform::nettest
