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
  // The frame records in the bytes sent so far, however the sends split them: each a
  // 9-byte header (0x02, window id, JPEG length, little-endian) and the JPEG. Stops at
  // anything that is not a whole frame record.
  struct FrameRecord {
    std::uint32_t windowId = 0;
    Bytes jpeg;
  };
  std::vector<FrameRecord> frameRecords() const {
    Bytes stream;
    for (const auto& chunk : chunks()) stream.insert(stream.end(), chunk.begin(), chunk.end());
    std::vector<FrameRecord> records;
    std::size_t at = 0;
    while (stream.size() - at >= 9 && stream[at] == 0x02) {
      std::uint32_t id = 0;
      std::uint32_t length = 0;
      for (int b = 0; b < 4; ++b) {
        id |= static_cast<std::uint32_t>(stream[at + 1 + b]) << (8 * b);
        length |= static_cast<std::uint32_t>(stream[at + 5 + b]) << (8 * b);
      }
      if (stream.size() - at - 9 < length) break;
      records.push_back({id, Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at + 9),
                                   stream.begin() + static_cast<std::ptrdiff_t>(at + 9 + length))});
      at += 9 + length;
    }
    return records;
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
