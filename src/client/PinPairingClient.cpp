#include "client/PinPairingClient.h"

#include "client/OrvoClient.h"

#include "core/Json.h"
#include "pairing/OrvoTLS.h"
#include "pairing/PinKey.h"

namespace orvo::client {

namespace {
constexpr const char* kPinIdentity = "orvo-pin";
}

std::optional<PairResponseMessage> decodePairResponse(const Bytes& answer, std::string* error) {
  std::string fault;
  auto parsed = json::parse(std::string_view(reinterpret_cast<const char*>(answer.data()), answer.size()), &fault);
  PairResponseMessage response;
  if (parsed && fromJson(*parsed, response, fault)) return response;
  if (error) *error = fault;
  return std::nullopt;
}

std::shared_ptr<PinPairingClient> PinPairingClient::create(MainQueue& main, platform::Network& network) {
  return std::shared_ptr<PinPairingClient>(new PinPairingClient(main, network));
}

PinPairingClient::~PinPairingClient() {
  if (connection_ && !finished_) {
    connection_->setStateHandler(nullptr);
    connection_->cancel();
  }
}

void PinPairingClient::pair(const std::string& host, std::uint16_t port, const std::string& pin, const Bytes& salt,
                            const std::string& hostId, const PairRequestMessage& request, Completion completion,
                            double timeoutSeconds) {
  if (connection_ || finished_) return;
  completion_ = std::move(completion);
  request_ = toBytes(json::encode(toJson(request)) + "\n");
  const Bytes key = derivePinKey(pin, salt, hostId);
  connection_ = network_.makeConnection(host, port, makePSKParameters(kPinIdentity, key));
  connection_->setStateHandler([weak = weak_from_this()](const platform::ConnectionState& state) {
    if (auto self = weak.lock()) self->handleState(state);
  });
  connection_->start();
  main_.asyncAfter(timeoutSeconds, [weak = weak_from_this(), timeoutSeconds] {
    if (auto self = weak.lock()) {
      self->finish({PairingFailureKind::timedOut,
                    "no answer from the host within " + std::to_string(static_cast<int>(timeoutSeconds)) + " s",
                    {}});
    }
  });
}

void PinPairingClient::handleState(const platform::ConnectionState& state) {
  if (finished_) return;
  switch (state.kind) {
    case platform::ConnectionStateKind::ready:
      if (connected_) return;
      connected_ = true;
      connection_->send(request_, nullptr);
      receiveNext();
      return;
    case platform::ConnectionStateKind::failed:
      if (connected_) {
        finish({PairingFailureKind::badAnswer, "the pairing connection failed: " + state.error, {}});
      } else if (const auto kind = classifyHandshakeFailure(state.error); kind == SessionEndKind::refused) {
        finish({PairingFailureKind::refused, state.error, {}});
      } else if (kind == SessionEndKind::busy) {
        finish({PairingFailureKind::busy, state.error, {}});
      } else if (kind == SessionEndKind::failed) {
        finish({PairingFailureKind::badAnswer, state.error, {}});
      } else {
        finish({PairingFailureKind::unreachable, state.error, {}});
      }
      return;
    case platform::ConnectionStateKind::cancelled:
      finish({connected_ ? PairingFailureKind::badAnswer : PairingFailureKind::unreachable,
              "the pairing connection was closed", {}});
      return;
    default:
      return;
  }
}

void PinPairingClient::receiveNext() {
  connection_->receive(1, 4096, [weak = weak_from_this()](Bytes data, bool isComplete, std::optional<std::string> error) {
    auto self = weak.lock();
    if (!self || self->finished_) return;
    self->answer_.insert(self->answer_.end(), data.begin(), data.end());
    std::string fault;
    if (auto response = decodePairResponse(self->answer_, &fault)) {
      if (!response->accepted) {
        self->finish({PairingFailureKind::refused,
                      "the host declined" + (response->reason ? ": " + *response->reason : std::string()), {}});
      } else if (response->psk.empty()) {
        self->finish({PairingFailureKind::badAnswer, "the host's answer carries no key", {}});
      } else {
        self->finish({PairingFailureKind::none, {}, std::move(*response)});
      }
      return;
    }
    if (self->answer_.size() > kMaxAnswerBytes) {
      self->finish({PairingFailureKind::badAnswer, "the host's answer is larger than 64 KiB", {}});
    } else if (error) {
      self->finish({PairingFailureKind::badAnswer, "receive failed: " + *error, {}});
    } else if (isComplete) {
      self->finish({PairingFailureKind::badAnswer,
                    self->answer_.empty() ? "the host closed the pairing connection without an answer"
                                          : "the host's answer does not decode: " + fault,
                    {}});
    } else {
      self->receiveNext();
    }
  });
}

void PinPairingClient::finish(PairingOutcome outcome) {
  if (finished_) return;
  finished_ = true;
  if (connection_) {
    connection_->setStateHandler(nullptr);
    connection_->cancel();
  }
  auto completion = std::move(completion_);
  if (completion) completion(outcome);
}

}  // namespace orvo::client
