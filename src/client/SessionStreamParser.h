#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "core/Bytes.h"
#include "streaming/FrameFormat.h"

namespace orvo::client {

// One frame record taken off the session stream: the window it shows and its JPEG.
struct ReceivedFrame {
  std::uint32_t windowId = 0;
  Bytes jpeg;
};

// Splits the host-to-client byte stream of a session into its two kinds of units: control
// lines (JSON text ended by a line feed) and frame records (0x02, window id and length as
// little-endian 32-bit numbers, then that many JPEG bytes). The first byte of each unit
// tells them apart; empty lines are skipped.
//
// Bounds: a line may hold at most `maxLineBytes` bytes before its line feed and a frame at
// most `maxFrameBytes` JPEG bytes. A stream that breaks either bound is broken for good:
// feed() returns false, error() says why, and every later feed() returns false at once.
// Memory held is therefore bounded by one line or one frame.
//
// Not thread-safe; the owner feeds it from one thread. Handlers run inside feed(), in
// stream order; a handler may not feed the parser again.
class SessionStreamParser {
 public:
  struct Limits {
    std::size_t maxLineBytes = std::size_t{1} << 20;
    std::uint32_t maxFrameBytes = std::uint32_t{64} << 20;
  };
  struct Handlers {
    std::function<void(std::string line)> line;  // without the line feed
    std::function<void(ReceivedFrame frame)> frame;
  };

  explicit SessionStreamParser(Handlers handlers) : SessionStreamParser(std::move(handlers), Limits{}) {}
  SessionStreamParser(Handlers handlers, Limits limits);
  SessionStreamParser(const SessionStreamParser&) = delete;
  SessionStreamParser& operator=(const SessionStreamParser&) = delete;

  bool feed(std::span<const std::uint8_t> bytes);
  bool broken() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  // Whether a unit has been started and not finished (bytes are waiting for the rest).
  bool midUnit() const { return state_ != State::between; }

 private:
  enum class State { between, line, frameHeader, frameBody };

  std::size_t takeLine(std::span<const std::uint8_t> bytes);
  std::size_t takeHeader(std::span<const std::uint8_t> bytes);
  std::size_t takeBody(std::span<const std::uint8_t> bytes);
  void fail(std::string error) { error_ = std::move(error); }

  Handlers handlers_;
  Limits limits_;
  State state_ = State::between;
  std::string line_;
  FrameHeader header_{};
  std::size_t headerFill_ = 0;
  ReceivedFrame frame_;
  std::size_t bodyFill_ = 0;
  std::string error_;
};

}  // namespace orvo::client
