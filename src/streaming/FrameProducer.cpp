#include "streaming/FrameProducer.h"

#include <cstring>

#include <cstdio>
#include <limits>

#include "core/Clock.h"
#include "core/Log.h"
#include "core/Queues.h"
#include "host/HostConstants.h"
#include "streaming/FrameFormat.h"
#include "streaming/SnapshotPump.h"
#include "streaming/WindowCatalogue.h"

namespace orvo {

FrameProducer::FrameProducer(SnapshotPump& pump, SerialQueue& captureQueue, SerialQueue& sendQueue, const Clock& clock,
                             Logger& logger, WindowCatalogue& catalogue, platform::WindowCapturer& capturer)
    : pump_(pump),
      captureQueue_(captureQueue),
      sendQueue_(sendQueue),
      clock_(clock),
      logger_(logger),
      catalogue_(catalogue),
      capturer_(capturer) {}

FrameProducer::~FrameProducer() = default;

void FrameProducer::captureAndSendFrame(std::uint32_t windowId,
                                        const std::shared_ptr<platform::Connection>& connection) {
  if (!pump_.admitSnapshot(windowId, connection)) return;
  const double t0 = clock_.now();

  const auto bounds = catalogue_.windowBounds(windowId);
  const CaptureMode mode = pump_.resolveEffectiveCaptureMode(windowId);
  const auto image = capturer_.captureWindow(windowId, bounds, mode);
  if (!image) {
    logLine(logger_, "OrvoHost: failed snapshot " + std::to_string(windowId));
    pump_.finishSnapshot(windowId);
    return;
  }

  const double t1 = clock_.now();
  const double now = t1;
  const StreamProfile& profile = pump_.chooseStreamProfile(windowId, now);
  const FrameSize target = targetFrameSize(image->width, image->height, profile.maxDim);
  WindowBuffers& cache = buffers(windowId);
  const auto scaled = scaleImage(*image, target.width, target.height, cache.scaler);
  if (!scaled) {
    pump_.finishSnapshot(windowId);
    return;
  }

  const double t2 = clock_.now();
  const double quality = windowStateOr(jpegQualityByWindow_, windowId, profile.initialQ);
  const auto encoded = encoder_.encode(*scaled, quality, subsamplingFor(profile), cache.jpeg);
  // No compressor or no output buffer is a failed frame; a frame the 32-bit length field
  // cannot describe is one too (the profiles' sizes never come near it).
  if (!encoded || *encoded > std::numeric_limits<std::uint32_t>::max()) {
    pump_.finishSnapshot(windowId);
    return;
  }
  const std::size_t length = *encoded;
  const double t3 = clock_.now();

  setJpegQuality(windowId, adaptQuality(quality, length, profile));
  if (profile.isRefine) pump_.noteRefineSent(windowId, now);

  // The header and a copy of the JPEG in one buffer: the window's encode buffer is free for
  // its next frame at once, and the frame reaches the connection in one write.
  const FrameHeader header = makeFrameHeader(windowId, static_cast<std::uint32_t>(length));
  Bytes frame(header.size() + length);
  std::memcpy(frame.data(), header.data(), header.size());
  if (length > 0) std::memcpy(frame.data() + header.size(), cache.jpeg.data(), length);
  sendQueue_.async([connection, frame = std::move(frame), windowId, weak = std::weak_ptr(self_)]() mutable {
    sendFrame(*connection, std::move(frame), [weak = std::move(weak), windowId](const std::optional<std::string>&) {
      // On the main queue, where the producer is destroyed: safe to look.
      const auto self = weak.lock();
      if (!self) return;
      (*self)->captureQueue_.async([weak, windowId] {
        if (const auto producer = weak.lock()) (*producer)->pump_.finishSnapshot(windowId);
      });
    });
  });

  if (++perf_frameCounter_ % perf_logEveryNFrames == 0) {
    logTiming(windowId, length, profile.name.c_str(), quality, t0, t1, t2, t3);
  }
}

void FrameProducer::sendFrame(platform::Connection& connection, Bytes frame,
                              platform::Connection::SendCompletion completion) {
  connection.send(std::move(frame), std::move(completion));
}

FrameProducer::WindowBuffers& FrameProducer::buffers(std::uint32_t windowId) {
  auto it = buffersByWindow_.find(windowId);
  if (it == buffersByWindow_.end()) {
    if (buffersByWindow_.size() >= maxBufferedWindows) {
      auto oldest = buffersByWindow_.begin();
      for (auto candidate = buffersByWindow_.begin(); candidate != buffersByWindow_.end(); ++candidate) {
        if (candidate->second.lastUsed < oldest->second.lastUsed) oldest = candidate;
      }
      buffersByWindow_.erase(oldest);
    }
    it = buffersByWindow_.try_emplace(windowId).first;
  }
  it->second.lastUsed = ++useCounter_;
  return it->second;
}

WindowFrameScalerCache& FrameProducer::scalerCache(std::uint32_t windowId) { return buffers(windowId).scaler; }

WindowJPEGEncodeCache& FrameProducer::jpegEncodeCache(std::uint32_t windowId) { return buffers(windowId).jpeg; }

std::optional<double> FrameProducer::jpegQuality(std::uint32_t windowId) const {
  const auto it = jpegQualityByWindow_.find(windowId);
  if (it == jpegQualityByWindow_.end()) return std::nullopt;
  return it->second;
}

void FrameProducer::setJpegQuality(std::uint32_t windowId, double quality) {
  storeWindowState(jpegQualityByWindow_, windowId, quality);
}

void FrameProducer::logTiming(std::uint32_t windowId, std::size_t bytes, const char* profile, double quality,
                              double t0, double t1, double t2, double t3) {
  char line[256];
  const int written =
      std::snprintf(line, sizeof line,
                    "HOST win=%u bytes=%d mode=%s q=%.2f cap=%.1fms scale=%.1fms enc=%.1fms total=%.1fms inFlight=%d/%d",
                    static_cast<unsigned>(windowId), static_cast<int>(bytes), profile, quality, (t1 - t0) * 1000,
                    (t2 - t1) * 1000, (t3 - t2) * 1000, (t3 - t0) * 1000,
                    static_cast<int>(pump_.globalHostSnapshotsInFlight()), static_cast<int>(maxHostSnapshotsInFlight));
  if (written > 0) logger_.write(std::string_view(line, std::min<std::size_t>(written, sizeof line - 1)));
}

}  // namespace orvo
