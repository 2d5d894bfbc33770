#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/Queues.h"
#include "platform/Network.h"

namespace orvo::testing {

// A connection the test drives: it delivers states and received bytes when told to, and
// records what the host sends. Completions and cancellation run through the main queue,
// like the real network.
class FakeConnection final : public platform::Connection, public std::enable_shared_from_this<FakeConnection> {
 public:
  FakeConnection(MainQueue& main, std::string endpoint) : main_(main), endpoint_(std::move(endpoint)) {}

  void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
  void start() override { started = true; }
  void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override {
    receiveMinimum = minimum;
    receiveMaximum = maximum;
    pendingReceive_ = std::move(completion);
  }
  void send(Bytes data, SendCompletion completion) override {
    std::lock_guard lock(mutex_);
    sent_.push_back(std::move(data));
    if (completion) {
      main_.async([completion = std::move(completion), failed = cancelled] {
        completion(failed ? std::optional<std::string>("cancelled") : std::nullopt);
      });
    }
  }
  void cancel() override {
    if (cancelled) return;
    cancelled = true;
    if (stateHandler_) {
      main_.async([self = shared_from_this()] {
        if (self->stateHandler_) self->stateHandler_({platform::ConnectionStateKind::cancelled, ""});
      });
    }
  }
  std::string endpointDescription() const override { return endpoint_; }
  Bytes authenticatedKeySecret() const override { return Bytes(authenticatedAs.begin(), authenticatedAs.end()); }
  bool hasReceivedFirstRecord() const override { return firstRecord; }
  bool hasReceivedBeyondFirstRecord() const override { return firstRecord && secondFlight; }

  // Test side.
  void deliverState(platform::ConnectionStateKind kind, std::string error = {}) {
    if (stateHandler_) stateHandler_({kind, std::move(error)});
  }
  // Completes the pending receive. Returns false when none is pending.
  bool deliver(const std::string& bytes, bool isComplete = false, std::optional<std::string> error = std::nullopt) {
    if (!pendingReceive_) return false;
    auto completion = std::move(pendingReceive_);
    pendingReceive_ = nullptr;
    completion(Bytes(bytes.begin(), bytes.end()), isComplete, std::move(error));
    return true;
  }
  bool hasPendingReceive() const { return static_cast<bool>(pendingReceive_); }
  std::vector<Bytes> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  std::string sentText() const {
    std::string text;
    for (const auto& chunk : sent()) text.append(chunk.begin(), chunk.end());
    return text;
  }

  bool started = false;
  bool cancelled = false;
  std::string authenticatedAs;  // the pairing id whose key "admitted" this connection
  bool firstRecord = true;      // the peer's first TLS record "arrived"
  bool secondFlight = true;     // and more after it (where a PSK client names its key)
  std::size_t receiveMinimum = 0;
  std::size_t receiveMaximum = 0;

 private:
  MainQueue& main_;
  std::string endpoint_;
  StateHandler stateHandler_;
  ReceiveCompletion pendingReceive_;
  mutable std::mutex mutex_;
  std::vector<Bytes> sent_;
};

class FakeListener final : public platform::Listener {
 public:
  FakeListener(MainQueue& main, platform::TlsParameters tls, std::uint16_t port)
      : parameters(std::move(tls)), main_(main), port_(port) {}

  void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
  void setNewConnectionHandler(NewConnectionHandler handler) override { connectionHandler_ = std::move(handler); }
  void start() override {
    started = true;
    if (autoReady) {
      main_.async([this, alive = alive_] {
        if (*alive && stateHandler_ && !cancelled) {
          listening = true;
          stateHandler_({platform::ListenerStateKind::ready, ""});
        }
      });
    }
  }
  void cancel() override {
    cancelled = true;
    listening = false;
    if (stateHandler_) {
      main_.async([this, alive = alive_] {
        if (*alive && stateHandler_) stateHandler_({platform::ListenerStateKind::cancelled, ""});
      });
    }
  }
  std::optional<std::uint16_t> port() const override {
    return listening ? std::optional<std::uint16_t>(port_) : std::nullopt;
  }
  ~FakeListener() override { *alive_ = false; }

  // Test side.
  std::shared_ptr<FakeConnection> accept(const std::string& endpoint = "192.0.2.7:50000") {
    auto connection = std::make_shared<FakeConnection>(main_, endpoint);
    if (connectionHandler_) connectionHandler_(connection);
    return connection;
  }
  void deliverState(platform::ListenerStateKind kind, std::string error = {}) {
    if (kind == platform::ListenerStateKind::ready) listening = true;
    if (stateHandler_) stateHandler_({kind, std::move(error)});
  }

  platform::TlsParameters parameters;
  bool started = false;
  bool cancelled = false;
  bool listening = false;
  bool autoReady = true;

 private:
  MainQueue& main_;
  std::uint16_t port_;
  StateHandler stateHandler_;
  NewConnectionHandler connectionHandler_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Makes fake listeners, each on its own port, and keeps them for the test to drive.
class FakeNetwork final : public platform::Network {
 public:
  explicit FakeNetwork(MainQueue& main) : main_(main) {}

  using platform::Network::makeListener;
  std::shared_ptr<platform::Listener> makeListener(const platform::TlsParameters& parameters,
                                                   std::uint16_t preferredPort, std::string& error) override {
    if (failNextListener) {
      failNextListener = false;
      error = "Address already in use";
      return nullptr;
    }
    preferredPorts.push_back(preferredPort);
    auto listener = std::make_shared<FakeListener>(main_, parameters, preferredPort ? preferredPort : nextPort_++);
    listener->autoReady = autoReady;
    listeners.push_back(listener);
    return listener;
  }
  std::shared_ptr<platform::Connection> makeConnection(const std::string& host, std::uint16_t port,
                                                       const platform::TlsParameters&) override {
    return std::make_shared<FakeConnection>(main_, host + ":" + std::to_string(port));
  }

  // The most recent listener whose key set uses this identity text as the secret
  // ("orvo-pin" for the pairing listener); otherwise the most recent session listener.
  std::shared_ptr<FakeListener> latestWithSecret(const std::string& secret) const {
    for (auto it = listeners.rbegin(); it != listeners.rend(); ++it) {
      for (const auto& key : (*it)->parameters.preSharedKeys) {
        if (std::string(key.secret.begin(), key.secret.end()) == secret) return *it;
      }
    }
    return nullptr;
  }
  std::shared_ptr<FakeListener> latestSession() const {
    for (auto it = listeners.rbegin(); it != listeners.rend(); ++it) {
      bool pairing = false;
      for (const auto& key : (*it)->parameters.preSharedKeys) {
        pairing = pairing || std::string(key.secret.begin(), key.secret.end()) == "orvo-pin";
      }
      if (!pairing && !(*it)->cancelled) return *it;
    }
    return nullptr;
  }

  std::vector<std::shared_ptr<FakeListener>> listeners;
  std::vector<std::uint16_t> preferredPorts;  // as asked, one per listener made
  bool failNextListener = false;
  bool autoReady = true;

 private:
  MainQueue& main_;
  std::uint16_t nextPort_ = 40000;
};

}  // namespace orvo::testing
