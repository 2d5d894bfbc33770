#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/Bytes.h"
#include "core/Queues.h"
#include "pairing/PairingMessages.h"
#include "platform/Network.h"

namespace orvo::client {

enum class PairingFailureKind {
  none,
  refused,      // the host's TLS alert for an unknown identity: wrong or expired code (or wrong
                // salt / host id), or the host declined
  busy,         // the host closed the connection before its hello (its limits); try again later
  unreachable,  // no TCP connection to the pairing port
  badAnswer,    // the host's answer did not decode, was too large, or came without a key
  timedOut,
};

struct PairingOutcome {
  PairingFailureKind failure = PairingFailureKind::none;
  std::string description;  // why it failed
  PairResponseMessage response;  // when it succeeded
};

// The client's side of pairing with the 6-digit code: a TLS connection to the host's
// pairing port keyed with the code-derived key ("orvo-pin" as the secret, the derived key
// bytes as the PSK identity), one pair request, and the host's one answer (JSON without a
// trailing newline, read until it decodes or the host closes). Answers are bounded to
// 64 KiB and the whole exchange to `timeoutSeconds`.
//
// Threading: create, call and drop on the main queue; the completion runs there, exactly
// once, unless the object is dropped first (then the connection is closed silently).
class PinPairingClient : public std::enable_shared_from_this<PinPairingClient> {
 public:
  using Completion = std::function<void(const PairingOutcome&)>;
  static constexpr std::size_t kMaxAnswerBytes = 65536;

  static std::shared_ptr<PinPairingClient> create(MainQueue& main, platform::Network& network);
  ~PinPairingClient();
  PinPairingClient(const PinPairingClient&) = delete;
  PinPairingClient& operator=(const PinPairingClient&) = delete;

  // The code is trimmed before the key is derived (as the host does).
  void pair(const std::string& host, std::uint16_t port, const std::string& pin, const Bytes& salt,
            const std::string& hostId, const PairRequestMessage& request, Completion completion,
            double timeoutSeconds = 15.0);

 private:
  PinPairingClient(MainQueue& main, platform::Network& network) : main_(main), network_(network) {}
  void handleState(const platform::ConnectionState& state);
  void receiveNext();
  void finish(PairingOutcome outcome);

  MainQueue& main_;
  platform::Network& network_;
  std::shared_ptr<platform::Connection> connection_;
  Bytes request_;
  Bytes answer_;
  Completion completion_;
  bool connected_ = false;
  bool finished_ = false;
};

// The answer so far, decoded, or nothing while it is incomplete or not a pair response.
std::optional<PairResponseMessage> decodePairResponse(const Bytes& answer, std::string* error = nullptr);

}  // namespace orvo::client
