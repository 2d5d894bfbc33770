#include "streaming/FrameProducer.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <atomic>
#include <cmath>
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
  // The runs of MCU rows to encode: all strips on the full path, the changed rows of
  // each strip otherwise. Never more than `strips`, each within one strip.
  std::vector<StripPart>* partsList = nullptr;
  std::atomic<int> nextStrip{0};
  std::atomic<bool> failed{false};
};

// A kept frame of a window: the JPEG, where its rows of MCUs lie, what made it, and the
// picture's rows that have changed since.
struct FrameProducer::CachedFrame {
  std::uint32_t windowId = 0;
  CaptureMode mode = CaptureMode::isolated;
  bool refine = false;
  bool valid = false;
  FrameSize source;
  FrameSize target;
  JpegPartSettings settings;
  std::vector<std::uint8_t> jpeg;
  std::size_t headerLength = 0;
  std::vector<ByteRange> rows;
  std::vector<platform::RowSpan> changed;  // picture rows, sorted and disjoint
  std::uint64_t lastUsed = 0;
};

namespace {

// Adds `span` to sorted, disjoint spans.
void addSpan(std::vector<platform::RowSpan>& spans, platform::RowSpan span) {
  auto it = std::lower_bound(spans.begin(), spans.end(), span,
                             [](const platform::RowSpan& a, const platform::RowSpan& b) { return a.bottom < b.top; });
  while (it != spans.end() && it->top <= span.bottom) {
    span.top = std::min(span.top, it->top);
    span.bottom = std::max(span.bottom, it->bottom);
    it = spans.erase(it);
  }
  spans.insert(it, span);
}

// Past this many separate changed runs, a kept frame's changes become one run.
constexpr std::size_t maxChangedSpans = 64;

}  // namespace

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
  return encodeFrame(windowId, picture, profile, quality, nullptr);
}

FrameProducer::Outcome FrameProducer::produce(std::uint32_t windowId, const std::optional<Rect>& bounds,
                                              CaptureMode mode, const StreamProfile& profile, double quality) {
  const double start = secondsNow();
  Outcome outcome;
  // Taken before any capture: what is drawn from here on shows in the next frame.
  const auto changes = capturer_.takeChanges(windowId, bounds, mode);
  noteChanges(windowId, mode, changes);
  const JpegPartSettings wanted{0, subsamplingFor(profile), jpegQualityNumber(quality)};
  CachedFrame* cached = changes.everything ? nullptr : findCached(windowId, mode, profile.isRefine, wanted);
  if (cached) {
    const FrameSize target = targetFrameSize(cached->source.width, cached->source.height, profile.maxDim);
    if (target != cached->target || cached->settings.width != target.width) cached = nullptr;
  }
  if (cached && cached->changed.empty()) {
    // Nothing changed: the kept frame as it is.
    ProducedFrame frame;
    frame.path = ProducedFrame::Path::cached;
    frame.width = cached->target.width;
    frame.height = cached->target.height;
    frame.jpegLength = cached->jpeg.size();
    frame.mcuRows = static_cast<int>(cached->rows.size());
    const FrameHeader header = makeFrameHeader(windowId, static_cast<std::uint32_t>(frame.jpegLength));
    frame.wire.reserve(header.size() + frame.jpegLength);
    frame.wire.assign(header.begin(), header.end());
    frame.wire.insert(frame.wire.end(), cached->jpeg.begin(), cached->jpeg.end());
    frame.captureSeconds = secondsNow() - start;
    cached->lastUsed = ++cacheUses_;
    outcome.frame = std::move(frame);
    return outcome;
  }

  std::optional<platform::ImageView> picture;
  if (cached) picture = capturer_.captureRows(windowId, bounds, mode, changes.rows);
  if (!picture) {
    picture = capturer_.captureWindow(windowId, bounds, mode);
    if (cached) cached->valid = false;  // read whole: encoded whole
  }
  const double captured = secondsNow();
  if (!picture) {
    for (auto& c : cache_) {
      if (c->windowId == windowId) c->valid = false;
    }
    outcome.captureFailed = true;
    return outcome;
  }
  if (!cached) cached = &newCached(windowId, mode, profile.isRefine);
  cached->lastUsed = ++cacheUses_;
  outcome.frame = encodeFrame(windowId, *picture, profile, quality, cached);
  if (outcome.frame) outcome.frame->captureSeconds = captured - start;
  return outcome;
}

void FrameProducer::noteChanges(std::uint32_t windowId, CaptureMode mode, const platform::PictureChanges& changes) {
  // Frames of the window in the other mode, or of a picture the capturer cannot relate to
  // this one, can never be reused.
  // (Marked, not dropped: their buffers serve the window's next frames.)
  for (auto& c : cache_) {
    if (c->windowId == windowId && (changes.everything || c->mode != mode)) c->valid = false;
  }
  if (changes.everything || changes.rows.empty()) return;
  for (auto& c : cache_) {
    if (c->windowId != windowId || !c->valid) continue;
    for (const auto& span : changes.rows) addSpan(c->changed, span);
    if (c->changed.size() > maxChangedSpans) {
      c->changed.assign(1, platform::RowSpan{c->changed.front().top, c->changed.back().bottom});
    }
  }
}

FrameProducer::CachedFrame* FrameProducer::findCached(std::uint32_t windowId, CaptureMode mode, bool refine,
                                                      const JpegPartSettings& settings) {
  for (auto& c : cache_) {
    if (c->windowId == windowId && c->mode == mode && c->refine == refine && c->valid &&
        c->settings.subsampling == settings.subsampling && c->settings.quality == settings.quality) {
      return c.get();
    }
  }
  return nullptr;
}

std::size_t FrameProducer::cachedBytes() const {
  std::size_t bytes = 0;
  for (const auto& c : cache_) bytes += c->jpeg.capacity();
  return bytes;
}

void FrameProducer::trimCache(const CachedFrame* keep) {
  while (cachedBytes() > maxCachedBytes) {
    auto oldest = cache_.end();
    for (auto it = cache_.begin(); it != cache_.end(); ++it) {
      if (it->get() != keep && (oldest == cache_.end() || (*it)->lastUsed < (*oldest)->lastUsed)) oldest = it;
    }
    if (oldest == cache_.end()) return;
    cache_.erase(oldest);
  }
}

FrameProducer::CachedFrame& FrameProducer::newCached(std::uint32_t windowId, CaptureMode mode, bool refine) {
  // A frame of the window that can no longer be used lends its buffers.
  for (auto& c : cache_) {
    if (c->windowId == windowId && !c->valid) {
      c->mode = mode;
      c->refine = refine;
      c->changed.clear();
      return *c;
    }
  }
  // A bound on the quality steps per window, mode and profile and on the frames in all:
  // the least recently used one makes room.
  const auto evictOldest = [this](auto matches) {
    auto oldest = cache_.end();
    std::size_t count = 0;
    for (auto it = cache_.begin(); it != cache_.end(); ++it) {
      if (!matches(**it)) continue;
      ++count;
      if (oldest == cache_.end() || (*it)->lastUsed < (*oldest)->lastUsed) oldest = it;
    }
    return std::pair{oldest, count};
  };
  auto [oldest, count] = evictOldest(
      [&](const CachedFrame& c) { return c.windowId == windowId && c.mode == mode && c.refine == refine; });
  if (count >= maxCachedSteps) {
    cache_.erase(oldest);
  } else if (cache_.size() >= maxCachedFrames) {
    cache_.erase(evictOldest([](const CachedFrame&) { return true; }).first);
  }
  auto frame = std::make_unique<CachedFrame>();
  frame->windowId = windowId;
  frame->mode = mode;
  frame->refine = refine;
  cache_.push_back(std::move(frame));
  return *cache_.back();
}

std::optional<ProducedFrame> FrameProducer::encodeFrame(std::uint32_t windowId, const platform::ImageView& picture,
                                                        const StreamProfile& profile, double quality,
                                                        CachedFrame* cached) {
  if (!picture.pixels || picture.width < 1 || picture.height < 1 || picture.stride < picture.width * 4) {
    if (cached) cached->valid = false;
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
  const int mcuRows = (job.target.height + job.mcuHeight - 1) / job.mcuHeight;
  const FrameSize source{picture.width, picture.height};

  // Which rows of MCUs to encode: all, or those the changed picture rows reach.
  const bool partial = cached && cached->valid && cached->source == source && cached->target == job.target &&
                       cached->settings.width == job.settings.width &&
                       cached->settings.subsampling == job.settings.subsampling &&
                       cached->settings.quality == job.settings.quality &&
                       static_cast<int>(cached->rows.size()) == mcuRows;
  std::vector<char>& encode = encodeRows_;
  encode.assign(static_cast<std::size_t>(mcuRows), partial ? 0 : 1);
  stripParts_.clear();
  job.partsList = &stripParts_;
  const std::vector<StripPart>& parts = stripParts_;
  if (partial) {
    const double ratio = static_cast<double>(source.height) / job.target.height;
    for (const auto& span : cached->changed) {
      int first = span.top, last = span.bottom;  // target rows [first, last)
      if (job.scaled) {
        // The scaling filter reads a couple of source rows around each target row.
        first = static_cast<int>(std::floor(span.top / ratio)) - 2;
        last = static_cast<int>(std::ceil(span.bottom / ratio)) + 2;
      }
      first = std::clamp(first, 0, job.target.height);
      last = std::clamp(last, 0, job.target.height);
      for (int row = first / job.mcuHeight; row * job.mcuHeight < last; ++row) encode[static_cast<std::size_t>(row)] = 1;
    }
  }
  for (int strip = 0; strip < job.strips; ++strip) {
    int first = -1, last = -1;
    for (int row = strip * mcuRowsPerStrip; row < std::min((strip + 1) * mcuRowsPerStrip, mcuRows); ++row) {
      if (!encode[static_cast<std::size_t>(row)]) continue;
      if (first < 0) first = row;
      last = row;
    }
    if (first >= 0) stripParts_.push_back({first, last - first + 1});
  }
  if (!prepare(job)) {
    if (cached) cached->valid = false;
    return std::nullopt;
  }

  for (auto& worker : workers_) worker->scaleSeconds = worker->encodeSeconds = 0;
  const double start = secondsNow();
  auto work = [this, &job](int index) { encodeStrips(*workers_[static_cast<std::size_t>(index)], job); };
  if (parts.size() > 1) {
    threads_.run(work);
  } else if (!parts.empty()) {
    work(0);  // a single part: no helper to wake
  }
  const double wall = secondsNow() - start;

  ProducedFrame frame;
  frame.path = partial ? ProducedFrame::Path::partial : ProducedFrame::Path::full;
  frame.width = job.target.width;
  frame.height = job.target.height;
  frame.mcuRows = mcuRows;
  for (const auto& part : parts) frame.encodedMcuRows += part.mcuRows;

  // Where each row of MCUs comes from: the kept frame, or the part that encoded it.
  bool ok = !job.failed;
  auto& rowSource = rowSource_;
  rowSource.assign(static_cast<std::size_t>(mcuRows), {});
  const std::uint8_t* headerBytes = nullptr;
  std::size_t headerLength = 0;
  std::optional<std::size_t> heightOffset;
  if (partial) {
    headerBytes = cached->jpeg.data();
    headerLength = cached->headerLength;
    for (std::size_t row = 0; row < rowSource.size(); ++row) rowSource[row] = {cached->jpeg.data(), cached->rows[row]};
  }
  if (partRows_.size() < parts.size()) partRows_.resize(parts.size());
  for (std::size_t index = 0; ok && index < parts.size(); ++index) {
    const auto& part = parts[index];
    const std::uint8_t* bytes = output_.get() + index * stripCapacity_;
    const std::span<const std::uint8_t> encoded(bytes, stripLengths_[index]);
    const int partHeight = std::min(part.mcuRows * job.mcuHeight, job.target.height - part.firstMcuRow * job.mcuHeight);
    const int partMcuRows = (partHeight + job.mcuHeight - 1) / job.mcuHeight;
    std::size_t partHeader = 0;
    ok = jpegMcuRows(encoded, partMcuRows, partHeader, partRows_[index]);
    if (!ok) break;
    if (!partial && index == 0) {
      headerBytes = bytes;
      headerLength = partHeader;
      heightOffset = jpegHeightOffset(encoded);
      ok = heightOffset.has_value();
    }
    for (int row = 0; row < partMcuRows; ++row) {
      rowSource[static_cast<std::size_t>(part.firstMcuRow + row)] = {bytes, partRows_[index][static_cast<std::size_t>(row)]};
    }
  }
  std::size_t length = 0;
  if (ok) {
    length = headerLength + 2;  // and the end of image
    for (const auto& [bytes, range] : rowSource) length += range.end - range.begin + 2;
    length -= 2;  // no restart after the last row
  }
  // A JPEG the 32-bit length field cannot describe is no frame (the profiles' sizes never
  // come near it); an encoder that failed gives a frame of the header alone.
  if (ok && length > std::numeric_limits<std::uint32_t>::max()) {
    if (cached) cached->valid = false;
    return std::nullopt;
  }
  frame.jpegLength = ok ? length : 0;
  const FrameHeader header = makeFrameHeader(windowId, static_cast<std::uint32_t>(frame.jpegLength));
  frame.wire.resize(header.size() + frame.jpegLength);
  std::memcpy(frame.wire.data(), header.data(), header.size());
  if (ok) {
    std::uint8_t* const jpeg = frame.wire.data() + header.size();
    std::uint8_t* at = jpeg;
    std::memcpy(at, headerBytes, headerLength);
    if (heightOffset) {
      at[*heightOffset] = static_cast<std::uint8_t>(job.target.height >> 8);
      at[*heightOffset + 1] = static_cast<std::uint8_t>(job.target.height & 0xFF);
    }
    at += headerLength;
    rows_.resize(rowSource.size());
    for (std::size_t row = 0; row < rowSource.size(); ++row) {
      const auto& [bytes, range] = rowSource[row];
      const std::size_t size = range.end - range.begin;
      std::memcpy(at, bytes + range.begin, size);
      rows_[row] = {static_cast<std::size_t>(at - jpeg), static_cast<std::size_t>(at - jpeg) + size};
      at += size;
      *at++ = 0xFF;
      // After the last row the end of image, else the restart marker numbered row mod 8.
      *at++ = row + 1 < rowSource.size() ? static_cast<std::uint8_t>(0xD0 + row % 8) : 0xD9;
    }
  }
  if (cached) {
    cached->valid = ok;
    if (ok) {
      cached->source = source;
      cached->target = job.target;
      cached->settings = job.settings;
      cached->jpeg.assign(frame.wire.begin() + static_cast<std::ptrdiff_t>(header.size()), frame.wire.end());
      cached->headerLength = headerLength;
      cached->rows = rows_;
      cached->changed.clear();
    }
    trimCache(cached);
  }

  double scale = 0, encodeTime = 0;
  for (const auto& worker : workers_) {
    scale += worker->scaleSeconds;
    encodeTime += worker->encodeSeconds;
  }
  const double busy = scale + encodeTime;
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
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void FrameProducer::encodeStrips(Worker& worker, Job& job) {
  for (;;) {
    const int part = job.nextStrip.fetch_add(1, std::memory_order_relaxed);
    if (part >= static_cast<int>(job.partsList->size()) || job.failed.load(std::memory_order_relaxed)) return;
    if (!encodeStrip(worker, job, part)) job.failed.store(true, std::memory_order_relaxed);
  }
}

bool FrameProducer::encodeStrip(Worker& w, const Job& job, int part) {
  const auto index = static_cast<std::size_t>(part);
  const StripPart& stripPart = (*job.partsList)[index];
  const int first = stripPart.firstMcuRow * job.mcuHeight;
  const int rows = std::min(stripPart.mcuRows * job.mcuHeight, job.target.height - first);
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
