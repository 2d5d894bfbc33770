#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

#include "core/Bytes.h"
#include "platform/Network.h"
#include "platform/WindowServer.h"
#include "streaming/FrameScaler.h"
#include "streaming/JpegEncoder.h"
#include "streaming/WindowStateMap.h"

namespace orvo {

class Clock;
class Logger;
class SerialQueue;
class SnapshotPump;
class WindowCatalogue;

// Produces one video frame of one window and puts it on the wire: capture in the
// window's effective mode, scale to the stream profile's size, JPEG at the window's
// adaptive quality, then a 9-byte header and the JPEG on the send queue. The pump's
// in-flight slot is released once the network has processed the JPEG, or at once when a
// step fails. Every 60th frame writes a timing line.
//
// Capture, scaling and encoding run on the capture queue only; the send queue only
// writes the bytes. Per-window buffers (scaled picture, JPEG output) are kept between
// frames, so a steady stream allocates nothing per frame beyond the copy of the JPEG
// handed to the network. Buffers are kept for the most recently streamed windows only.
//
// Owned by the SnapshotPump it reports to; everything passed in must outlive it.
class FrameProducer {
 public:
  FrameProducer(SnapshotPump& pump, SerialQueue& captureQueue, SerialQueue& sendQueue, const Clock& clock,
                Logger& logger, WindowCatalogue& catalogue, platform::WindowCapturer& capturer);
  ~FrameProducer();
  FrameProducer(const FrameProducer&) = delete;
  FrameProducer& operator=(const FrameProducer&) = delete;

  // Capture queue; called by the pump with the connection it took.
  void captureAndSendFrame(std::uint32_t windowId, const std::shared_ptr<platform::Connection>& connection);

  // Capture queue: the window's caches, made on first use.
  WindowFrameScalerCache& scalerCache(std::uint32_t windowId);
  WindowJPEGEncodeCache& jpegEncodeCache(std::uint32_t windowId);
  // The window's stored quality, if it has one.
  std::optional<double> jpegQuality(std::uint32_t windowId) const;
  void setJpegQuality(std::uint32_t windowId, double quality);
  std::uint64_t frameCounter() const { return perf_frameCounter_; }
  // Windows whose buffers are currently kept.
  std::size_t cachedWindowCount() const { return buffersByWindow_.size(); }

  // Send queue: the frame (header and JPEG) in one write; `completion` runs (on the main
  // queue) once the bytes have been processed by the network, whether or not they went out.
  static void sendFrame(platform::Connection& connection, Bytes frame,
                        platform::Connection::SendCompletion completion);

  // How many windows keep their buffers; the least recently streamed one gives its
  // buffers up when another window needs them.
  static constexpr std::size_t maxBufferedWindows = 8;

 private:
  struct WindowBuffers {
    WindowFrameScalerCache scaler;
    WindowJPEGEncodeCache jpeg;
    std::uint64_t lastUsed = 0;
  };
  WindowBuffers& buffers(std::uint32_t windowId);
  void logTiming(std::uint32_t windowId, std::size_t bytes, const char* profile, double quality, double t0,
                 double t1, double t2, double t3);

  SnapshotPump& pump_;
  SerialQueue& captureQueue_;
  SerialQueue& sendQueue_;
  const Clock& clock_;
  Logger& logger_;
  WindowCatalogue& catalogue_;
  platform::WindowCapturer& capturer_;

  // Capture queue.
  JpegEncoder encoder_;
  std::unordered_map<std::uint32_t, WindowBuffers> buffersByWindow_;
  WindowStateMap<double> jpegQualityByWindow_;
  std::uint64_t perf_frameCounter_ = 0;
  std::uint64_t useCounter_ = 0;

  std::shared_ptr<FrameProducer*> self_ = std::make_shared<FrameProducer*>(this);
};

}  // namespace orvo
