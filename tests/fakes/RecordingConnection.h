#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Network.h"

namespace orvo::testing {

// A session connection that records every send and holds each completion until the test
// releases it, so frames stay "in flight" as long as the test wants. Sends are callable
// from any queue; the test releases completions on its own thread (the main queue).
class RecordingConnection final : public platform::Connection {
 public:
  void setStateHandler(StateHandler) override {}
  void start() override {}
  void receive(std::size_t, std::size_t, ReceiveCompletion) override {}
  void send(Bytes data, SendCompletion completion) override {
    std::lock_guard lock(mutex_);
    chunks_.push_back(std::move(data));
    if (completion) completions_.push_back(std::move(completion));
  }
  void cancel() override {}
  std::string endpointDescription() const override { return "127.0.0.1:50000"; }

  // Runs the oldest held completion; false when none is held.
  bool releaseOldest(std::optional<std::string> error = std::nullopt) {
    SendCompletion completion;
    {
      std::lock_guard lock(mutex_);
      if (completions_.empty()) return false;
      completion = std::move(completions_.front());
      completions_.pop_front();
    }
    completion(std::move(error));
    return true;
  }
  std::size_t heldCompletions() const {
    std::lock_guard lock(mutex_);
    return completions_.size();
  }
  std::vector<Bytes> chunks() const {
    std::lock_guard lock(mutex_);
    return chunks_;
  }
  void clearChunks() {
    std::lock_guard lock(mutex_);
    chunks_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Bytes> chunks_;
  std::deque<SendCompletion> completions_;
};

}  // namespace orvo::testing
