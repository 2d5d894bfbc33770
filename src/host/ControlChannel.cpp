// The control channel of the session: newline-framed JSON lines in, JSON lines out on the
// send queue, in call order.
#include <algorithm>
#include <cstring>

#include "core/Log.h"
#include "core/Utf8.h"
#include "host/OrvoHost.h"

namespace orvo {

void OrvoHost::ingestReceivedData(const std::uint8_t* data, std::size_t size) {
  receiveBuffer_.insert(receiveBuffer_.end(), data, data + size);
  std::size_t lineStart = 0;
  auto connection = currentConnection();
  while (true) {
    const auto* begin = receiveBuffer_.data();
    const std::size_t searchFrom = std::max(lineStart, receiveScanned_);
    const void* found = std::memchr(begin + searchFrom, '\n', receiveBuffer_.size() - searchFrom);
    if (!found) {
      receiveScanned_ = receiveBuffer_.size();
      break;
    }
    const auto end = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - begin);
    const std::string line(reinterpret_cast<const char*>(begin + lineStart), end - lineStart);
    lineStart = end + 1;
    receiveScanned_ = lineStart;
    // Empty lines and lines that are not UTF-8 are dropped without a word.
    if (!line.empty() && isValidUtf8(line)) handleMessageLine(line);
    // A handler may have ended the session (and emptied the buffer).
    if (currentConnection() != connection || receiveBuffer_.empty()) return;
  }
  receiveBuffer_.erase(receiveBuffer_.begin(), receiveBuffer_.begin() + static_cast<std::ptrdiff_t>(lineStart));
  receiveScanned_ -= lineStart;
  if (receiveBuffer_.size() > maxPartialLineBytes) {
    logLine(services_.logger, "OrvoHost: control line longer than", maxPartialLineBytes,
            "bytes; closing the connection");
    disconnectClient("control line too long");
  }
}

void OrvoHost::sendLine(const std::string& text) {
  auto connection = currentConnection();
  if (!connection) return;
  Bytes bytes(text.begin(), text.end());
  bytes.push_back('\n');
  sendQueue_->async([connection = std::move(connection), bytes = std::move(bytes), &logger = services_.logger]() mutable {
    connection->send(std::move(bytes), [&logger](std::optional<std::string> error) {
      if (error) logLine(logger, "OrvoHost: sendLine error:", *error);
    });
  });
}

namespace {

template <class Record>
std::optional<std::string> encodeForSending(const Record& record, Logger& logger) {
  try {
    return encodeMessage(record);
  } catch (const std::exception& error) {
    logLine(logger, "OrvoHost: encode failed:", error.what());
    return std::nullopt;
  }
}

}  // namespace

void OrvoHost::sendMessage(const WindowListMessage& message) {
  if (auto text = encodeForSending(message, services_.logger)) sendLine(*text);
}

void OrvoHost::sendMessage(const InputRejectedMessage& message) {
  if (auto text = encodeForSending(message, services_.logger)) sendLine(*text);
}

}  // namespace orvo
