#include "client/SessionStreamParser.h"

#include <algorithm>
#include <cstring>

namespace orvo::client {

namespace {

std::uint32_t readLE32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

SessionStreamParser::SessionStreamParser(Handlers handlers, Limits limits)
    : handlers_(std::move(handlers)), limits_(limits) {}

bool SessionStreamParser::feed(std::span<const std::uint8_t> bytes) {
  while (!broken() && !bytes.empty()) {
    std::size_t used = 0;
    switch (state_) {
      case State::between:
        if (bytes[0] == '\n') {
          used = 1;  // an empty line
        } else if (bytes[0] == frameMarker) {
          state_ = State::frameHeader;
          headerFill_ = 0;
        } else {
          state_ = State::line;
          line_.clear();
        }
        break;
      case State::line:
        used = takeLine(bytes);
        break;
      case State::frameHeader:
        used = takeHeader(bytes);
        break;
      case State::frameBody:
        used = takeBody(bytes);
        break;
    }
    bytes = bytes.subspan(used);
  }
  return !broken();
}

std::size_t SessionStreamParser::takeLine(std::span<const std::uint8_t> bytes) {
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(bytes.data(), '\n', bytes.size()));
  const std::size_t available = end != nullptr ? static_cast<std::size_t>(end - bytes.data()) : bytes.size();
  if (line_.size() + available > limits_.maxLineBytes) {
    fail("control line longer than " + std::to_string(limits_.maxLineBytes) + " bytes");
    return bytes.size();
  }
  line_.append(reinterpret_cast<const char*>(bytes.data()), available);
  if (end == nullptr) return bytes.size();
  state_ = State::between;
  std::string line = std::move(line_);
  line_ = {};
  if (handlers_.line) handlers_.line(std::move(line));
  return available + 1;
}

std::size_t SessionStreamParser::takeHeader(std::span<const std::uint8_t> bytes) {
  const std::size_t used = std::min(frameHeaderSize - headerFill_, bytes.size());
  std::memcpy(header_.data() + headerFill_, bytes.data(), used);
  headerFill_ += used;
  if (headerFill_ < frameHeaderSize) return used;
  const std::uint32_t length = readLE32(header_.data() + 5);
  if (length > limits_.maxFrameBytes) {
    fail("frame of " + std::to_string(length) + " bytes exceeds the limit of " +
         std::to_string(limits_.maxFrameBytes));
    return bytes.size();
  }
  frame_.windowId = readLE32(header_.data() + 1);
  frame_.jpeg.clear();
  frame_.jpeg.resize(length);
  bodyFill_ = 0;
  state_ = State::frameBody;
  if (length == 0) takeBody({});
  return used;
}

std::size_t SessionStreamParser::takeBody(std::span<const std::uint8_t> bytes) {
  const std::size_t used = std::min(frame_.jpeg.size() - bodyFill_, bytes.size());
  if (used > 0) std::memcpy(frame_.jpeg.data() + bodyFill_, bytes.data(), used);
  bodyFill_ += used;
  if (bodyFill_ < frame_.jpeg.size()) return used;
  state_ = State::between;
  ReceivedFrame frame = std::move(frame_);
  frame_ = {};
  if (handlers_.frame) handlers_.frame(std::move(frame));
  return used;
}

}  // namespace orvo::client
