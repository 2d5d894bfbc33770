#include "streaming/FrameProducer.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <new>

#include "streaming/FrameFormat.h"

namespace orvo {
namespace {

double secondsNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int roundUp(int value, int multiple) { return (value + multiple - 1) / multiple * multiple; }

}  // namespace

// One thread's tools: its encoder and the buffers of one MCU row (scaled pixels and
// planes, each row with room for the encoder's padding to whole blocks).
struct FrameProducer::Worker {
  JpegPartEncoder encoder;
  std::vector<std::uint8_t> pixels;
  std::vector<std::uint8_t> y, u, v;
  int pixelStride = 0;
  int yStride = 0;
  int uvStride = 0;
  double scaleSeconds = 0;
  double encodeSeconds = 0;
};

// One frame's work, shared by both threads while they take strips from `nextStrip`.
struct FrameProducer::Job {
  platform::ImageView picture;
  FrameSize target;
  bool scaled = false;
  JpegPartSettings settings;
  JpegPartEncoder::Input input = JpegPartEncoder::Input::planes;
  int mcuHeight = 16;
  int stripRows = 0;
  int strips = 0;
  std::atomic<int> nextStrip{0};
  std::atomic<bool> failed{false};
};

FrameProducer::FrameProducer(platform::WindowCapturer& capturer) : capturer_(capturer) {
  for (int i = 0; i < StripWorkers::count; ++i) workers_.push_back(std::make_unique<Worker>());
}

FrameProducer::~FrameProducer() = default;

std::optional<platform::ImageView> FrameProducer::capture(std::uint32_t windowId,
                                                          const std::optional<Rect>& bounds,
                                                          CaptureMode mode) {
  return capturer_.captureWindow(windowId, bounds, mode);
}

std::optional<ProducedFrame> FrameProducer::makeFrame(std::uint32_t windowId, const platform::ImageView& picture,
                                                      const StreamProfile& profile, double quality) {
  if (!picture.pixels || picture.width < 1 || picture.height < 1 || picture.stride < picture.width * 4) {
    return std::nullopt;
  }
  Job job;
  job.picture = picture;
  job.target = targetFrameSize(picture.width, picture.height, profile.maxDim);
  job.scaled = job.target.width != picture.width || job.target.height != picture.height;
  const ChromaSubsampling subsampling = subsamplingFor(profile);
  job.settings = {job.target.width, subsampling, jpegQualityNumber(quality)};
  // 4:2:0 from libyuv's planes (scaled and converted strip by strip); 4:4:4 straight from
  // the pixels (libyuv has no full-range 4:4:4 conversion; the encoder's own is as fast).
  job.input = subsampling == ChromaSubsampling::s420 ? JpegPartEncoder::Input::planes : JpegPartEncoder::Input::pixels;
  job.mcuHeight = mcuRowHeight(subsampling);
  job.stripRows = job.mcuHeight * mcuRowsPerStrip;
  job.strips = (job.target.height + job.stripRows - 1) / job.stripRows;
  if (!prepare(job)) return std::nullopt;

  for (auto& worker : workers_) worker->scaleSeconds = worker->encodeSeconds = 0;
  const double start = secondsNow();
  auto work = [this, &job](int index) { encodeStrips(*workers_[static_cast<std::size_t>(index)], job); };
  if (job.strips > 1) {
    threads_.run(work);
  } else {
    work(0);  // a single strip: no helper to wake
  }
  const double wall = secondsNow() - start;

  ProducedFrame frame;
  frame.width = job.target.width;
  frame.height = job.target.height;
  std::optional<std::size_t> length;
  if (!job.failed) {
    parts_.clear();
    for (int strip = 0; strip < job.strips; ++strip) {
      const auto index = static_cast<std::size_t>(strip);
      parts_.push_back({{output_.get() + index * stripCapacity_, stripLengths_[index]}, strip * mcuRowsPerStrip});
    }
    length = joinedJpegLength(parts_);
  }
  // A JPEG the 32-bit length field cannot describe is no frame (the profiles' sizes never
  // come near it); an encoder that failed gives a frame of the header alone.
  if (length && *length > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  frame.jpegLength = length.value_or(0);
  const FrameHeader header = makeFrameHeader(windowId, static_cast<std::uint32_t>(frame.jpegLength));
  frame.wire.resize(header.size() + frame.jpegLength);
  std::memcpy(frame.wire.data(), header.data(), header.size());
  if (length) joinJpegParts(parts_, job.target.height, frame.wire.data() + header.size());

  double scale = 0, encode = 0;
  for (const auto& worker : workers_) {
    scale += worker->scaleSeconds;
    encode += worker->encodeSeconds;
  }
  const double busy = scale + encode;
  frame.scaleSeconds = busy > 0 ? wall * scale / busy : 0;
  frame.encodeSeconds = wall - frame.scaleSeconds;
  return frame;
}

bool FrameProducer::prepare(const Job& job) {
  const int width = job.target.width;
  try {
    for (auto& worker : workers_) {
      Worker& w = *worker;
      w.pixelStride = width * 4;
      w.yStride = roundUp(width, 32);
      w.uvStride = roundUp((width + 1) / 2, 32);
      const auto grow = [this](std::vector<std::uint8_t>& buffer, std::size_t bytes) {
        if (buffer.size() < bytes) {
          buffer.resize(bytes);
          ++allocations_;
        }
      };
      if (job.scaled) grow(w.pixels, static_cast<std::size_t>(w.pixelStride) * 16);
      if (job.input == JpegPartEncoder::Input::planes) {
        grow(w.y, static_cast<std::size_t>(w.yStride) * 16);
        grow(w.u, static_cast<std::size_t>(w.uvStride) * 8);
        grow(w.v, static_cast<std::size_t>(w.uvStride) * 8);
      }
    }
    stripCapacity_ = JpegPartEncoder::partCapacity(job.settings, job.stripRows);
    const std::size_t bytes = stripCapacity_ * static_cast<std::size_t>(job.strips);
    if (!output_ || outputCapacity_ < bytes) {
      output_.reset();
      outputCapacity_ = 0;
      // Not zero-filled: pages the encoder never writes are never touched.
      output_ = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
      outputCapacity_ = bytes;
      ++allocations_;
    }
    if (stripLengths_.size() < static_cast<std::size_t>(job.strips)) stripLengths_.resize(static_cast<std::size_t>(job.strips));
    if (parts_.capacity() < static_cast<std::size_t>(job.strips)) parts_.reserve(static_cast<std::size_t>(job.strips));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void FrameProducer::encodeStrips(Worker& worker, Job& job) {
  for (;;) {
    const int strip = job.nextStrip.fetch_add(1, std::memory_order_relaxed);
    if (strip >= job.strips || job.failed.load(std::memory_order_relaxed)) return;
    if (!encodeStrip(worker, job, strip)) job.failed.store(true, std::memory_order_relaxed);
  }
}

bool FrameProducer::encodeStrip(Worker& w, const Job& job, int strip) {
  const int first = strip * job.stripRows;
  const int rows = std::min(job.stripRows, job.target.height - first);
  const auto index = static_cast<std::size_t>(strip);
  if (!w.encoder.begin(job.settings, job.input, rows, output_.get() + index * stripCapacity_, stripCapacity_)) {
    return false;
  }
  const platform::ImageView& source = job.picture;
  const int width = job.target.width;
  for (int row = first; row < first + rows; row += job.mcuHeight) {
    const int count = std::min(job.mcuHeight, first + rows - row);
    const double t0 = secondsNow();
    const std::uint8_t* pixels = source.pixels + static_cast<std::ptrdiff_t>(row) * source.stride;
    int stride = source.stride;
    if (job.scaled) {
      // libyuv writes the clipped rows at their place in a whole destination picture:
      // hand it an origin `row` rows above the strip buffer, so those rows land in it.
      const auto origin = reinterpret_cast<std::uintptr_t>(w.pixels.data()) -
                          static_cast<std::uintptr_t>(row) * static_cast<std::uintptr_t>(w.pixelStride);
      if (libyuv::ARGBScaleClip(source.pixels, source.stride, source.width, source.height,
                                reinterpret_cast<std::uint8_t*>(origin), w.pixelStride, width, job.target.height, 0,
                                row, width, count, libyuv::kFilterBox) != 0) {
        return false;
      }
      pixels = w.pixels.data();
      stride = w.pixelStride;
    }
    bool written = false;
    double t1 = t0;
    if (job.input == JpegPartEncoder::Input::planes) {
      // Bytes B, G, R, X are libyuv's "ARGB" (little-endian words).
      if (libyuv::ARGBToJ420(pixels, stride, w.y.data(), w.yStride, w.u.data(), w.uvStride, w.v.data(), w.uvStride,
                             width, count) != 0) {
        return false;
      }
      t1 = secondsNow();
      written = w.encoder.writePlanes({w.y.data(), w.yStride, w.u.data(), w.uvStride, w.v.data(), w.uvStride}, count,
                                      true);
    } else {
      t1 = secondsNow();
      written = w.encoder.writePixels(pixels, stride, count);
    }
    w.scaleSeconds += t1 - t0;
    w.encodeSeconds += secondsNow() - t1;
    if (!written) return false;
  }
  const auto length = w.encoder.finish();
  if (!length) return false;
  stripLengths_[index] = *length;
  return true;
}

}  // namespace orvo
