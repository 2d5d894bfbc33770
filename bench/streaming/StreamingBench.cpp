// The frame path on a real X server: capture (MIT-SHM), the host's frame production
// (scaling, conversion and encoding in strips on two threads), and the whole
// captureAndSendFrame up to the hand-off to the send queue, for the interactive and refine
// profiles; next to them, in the same run, the baseline pieces: libyuv's box scaling of
// the whole picture and plain TurboJPEG (tjCompress2 from B, G, R, X) of the already-scaled
// picture at the same quality and subsampling. Each benchmark times one frame per
// repetition (200 repetitions) and reports the median; the summary prints
// R1 = whole / (capture + TurboJPEG encode alone), and the PSNR of the host's frames and of
// the baseline (box scale + tjCompress2) against the exactly box-downscaled window. The
// whole path runs without change tracking, so every frame is captured, scaled and encoded
// whole, as for a window whose every row changed; a last table gives the whole path for
// the still windows with change tracking on (the kept frame answered again).
//
// A private Xvfb (3840 × 2160) shows two xterms full of coloured text: one of about
// 3200 × 2000 pixels, one of about 1200 × 800. Run: build/bench/streaming/orvo_streaming_bench
// (ORVO_BENCH_MEMORY_FRAMES=5000 also streams 5000 frames and reports memory;
// ORVO_BENCH_ROUNDS sets the repetitions and rounds of every measurement, by default 200
// per benchmark, 100 for the interleaved R1 and 30 for CPU;
// ORVO_BENCH_SAMPLES=DIR keeps the host's frames of both windows and profiles).

#include <benchmark/benchmark.h>
#include <libyuv/scale_argb.h>
#include <malloc.h>
#include <turbojpeg.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "core/AsioQueues.h"
#include "core/Clock.h"
#include "core/Log.h"
#include "fakes/FakePlatform.h"
#include "fakes/FakeSession.h"
#include "fakes/FakeWindowServer.h"
#include "input/WindowFocus.h"
#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11capture/X11WindowCapturer.h"
#include "streaming/FrameFormat.h"
#include "streaming/FrameProducer.h"
#include "streaming/JpegStrips.h"
#include "streaming/SnapshotPump.h"
#include "streaming/WindowCatalogue.h"
#include "support/XvfbFixture.h"

namespace orvo::bench {
namespace {

using testing::XvfbFixture;
using Seconds = std::chrono::duration<double>;
constexpr int kFrames = 200;

// ORVO_BENCH_ROUNDS when set (a quick run), else `fallback`.
int roundsOr(int fallback) {
  const char* rounds = std::getenv("ORVO_BENCH_ROUNDS");
  return rounds && std::atoi(rounds) > 0 ? std::atoi(rounds) : fallback;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return Seconds(std::chrono::steady_clock::now() - start).count();
}

// Keeps the producer's timing lines for the summary; prints nothing while benchmarks run.
class KeepingLogger final : public Logger {
 public:
  void write(std::string_view line) override {
    std::lock_guard lock(mutex_);
    if (line.rfind("HOST ", 0) == 0) lines_.emplace_back(line);
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// The system clock, moved forward by hand so that refine frames (at most every 0.4 s per
// window) can follow one another.
class SteppingClock final : public Clock {
 public:
  double now() const override { return system_.now() + offset_.load(); }
  void step(double seconds) { offset_ = offset_.load() + seconds; }

 private:
  SystemClock system_;
  std::atomic<double> offset_{0};
};

// A session connection that accepts the bytes and reports them processed at once, as a
// fast network would, through the main queue.
class SinkConnection final : public platform::Connection {
 public:
  explicit SinkConnection(MainQueue& main) : main_(main) {}
  void setStateHandler(StateHandler) override {}
  void start() override {}
  void receive(std::size_t, std::size_t, ReceiveCompletion) override {}
  void send(Bytes data, SendCompletion completion) override {
    if (data.size() != frameHeaderSize) lastJpegBytes = data.size();
    if (completion) main_.async([completion = std::move(completion)] { completion(std::nullopt); });
  }
  void cancel() override {}
  std::string endpointDescription() const override { return "127.0.0.1:1"; }
  std::atomic<std::size_t> lastJpegBytes{0};

 private:
  MainQueue& main_;
};

// The desktop: Xvfb with two xterms of coloured text.
struct Desktop {
  Desktop() : x(testing::XvfbOptions{.screen = "3840x2160x24"}) {
    const std::string script = x.dir().file("colours.sh");
    std::ofstream(script) << R"SH(i=0
while [ $i -lt 12000 ]; do
  printf '\033[3%dm%s\033[0m \033[1;3%dm%05d\033[0m ' $((i % 7 + 1)) "word$((i * 7919 % 1000))" $(((i / 3) % 7 + 1)) $i
  i=$((i + 1))
done
ls -la --color=always /usr/bin | head -n 60
echo "$WINDOWID" > "$1.tmp" && mv "$1.tmp" "$1"
exec sleep 100000
)SH";
    big = startTerm(script, "320x100+0+0");
    small = startTerm(script, "120x40+200+100");
  }

  // Waits until xterm has drawn everything: two captures 300 ms apart are the same.
  void waitUntilDrawn(platform::WindowCapturer& capturer) {
    for (const std::uint32_t id : {big, small}) {
      std::vector<std::uint8_t> previous;
      for (int attempt = 0; attempt < 100; ++attempt) {
        const auto image = capturer.captureWindow(id, std::nullopt, CaptureMode::isolated);
        if (!image) continue;
        std::vector<std::uint8_t> now(image->pixels, image->pixels + static_cast<std::size_t>(image->stride) * image->height);
        if (now == previous) break;
        previous = std::move(now);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
      }
    }
  }

  std::uint32_t startTerm(const std::string& script, const std::string& geometry) {
    const std::string idFile = x.dir().file("window" + std::to_string(terms.size()));
    terms.push_back(x.launch({"xterm", "-geometry", geometry, "-fa", "Monospace", "-fs", "12", "-e", "sh", script,
                              idFile}));
    if (!XvfbFixture::waitUntil([&] { return std::filesystem::exists(idFile); }, std::chrono::seconds(20))) {
      throw std::runtime_error("xterm did not start: " + terms.back()->stderrText());
    }
    std::ifstream in(idFile);
    std::uint32_t id = 0;
    in >> id;
    return id;
  }

  XvfbFixture x;
  std::vector<std::unique_ptr<testing::TestProcess>> terms;
  std::uint32_t big = 0;
  std::uint32_t small = 0;
};

// The streaming part on real queues, as the host wires it. Without change tracking every
// frame is captured, scaled and encoded whole, as for a window whose every row changed;
// with it, a still window is answered from its kept frame.
struct Rig {
  Rig(const std::string& display, bool trackChanges)
      : work(asio::make_work_guard(io)),
        mainThread([this] { io.run(); }),
        mainQueue(io, logger),
        factory(logger, 3),
        sendQueue(factory.makeSerialQueue("orvo.host.send", QueuePriority::userInitiated)),
        captureQueue(factory.makeSerialQueue("orvo.capture", QueuePriority::userInitiated)),
        focusQueue(factory.makeSerialQueue("orvo.host.focusState", QueuePriority::unspecified)),
        streamQueue(factory.makeSerialQueue("orvo.host.streamState", QueuePriority::unspecified)),
        clickQueue(factory.makeSerialQueue("orvo.host.clickTracking", QueuePriority::unspecified)),
        xConnection(logger, display, "capture"),
        capturer(xConnection, logger, true, trackChanges),
        catalogue(windows, session, mainQueue, clock, logger),
        focus(session, catalogue, windows, activation, *focusQueue, mainQueue, clock, logger),
        pump(session, HostQueues{*sendQueue, *captureQueue, *focusQueue, *streamQueue, *clickQueue}, mainQueue, clock,
             logger, catalogue, focus, capturer),
        sink(std::make_shared<SinkConnection>(mainQueue)) {
    session.setConnection(sink);
  }
  ~Rig() {
    // Queues first, then the main loop; the pump goes after both (members in reverse).
    factory.join();
    work.reset();
    mainThread.join();
  }

  // One whole frame; returns the time from the request on the capture queue until the
  // frame was handed to the send queue, and waits until the network has finished it.
  double frame(std::uint32_t window, bool interactive) {
    if (interactive) {
      pump.noteInput(std::nullopt);  // keyboard input: interactive, no change of active window
    } else {
      clock.step(1.0);  // input long past, the last refine frame too
    }
    streamQueue->sync([] {});
    double elapsed = 0;
    captureQueue->sync([&] {
      const auto start = std::chrono::steady_clock::now();
      pump.requestSnapshot(window);
      elapsed = secondsSince(start);
    });
    while (captureQueue->sync([&] { return pump.globalHostSnapshotsInFlight(); }) > 0) std::this_thread::yield();
    return elapsed;
  }

  KeepingLogger logger;
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work;
  std::thread mainThread;
  AsioMainQueue mainQueue;
  AsioQueueFactory factory;
  std::unique_ptr<SerialQueue> sendQueue, captureQueue, focusQueue, streamQueue, clickQueue;
  SteppingClock clock;
  testing::FakeWindowServer windows;
  testing::FakeSession session;
  testing::FakeWindowActivation activation;
  platform::x11::X11Connection xConnection;
  platform::x11::X11WindowCapturer capturer;
  WindowCatalogue catalogue;
  WindowFocus focus;
  SnapshotPump pump;
  std::shared_ptr<SinkConnection> sink;
};

// A stable copy of a captured picture.
struct Picture {
  std::vector<std::uint8_t> pixels;
  int width = 0;
  int height = 0;
  platform::ImageView view() const { return {pixels.data(), width, height, width * 4}; }
};

Picture copyOf(const platform::ImageView& image) {
  Picture picture{{}, image.width, image.height};
  picture.pixels.resize(static_cast<std::size_t>(image.width) * image.height * 4);
  for (int y = 0; y < image.height; ++y) {
    std::copy_n(image.pixels + static_cast<std::size_t>(y) * image.stride, image.width * 4,
                picture.pixels.data() + static_cast<std::size_t>(y) * image.width * 4);
  }
  return picture;
}

// libyuv's box scaling of the whole picture in one call: the host's scaling before strips.
Picture scaledFor(const Picture& source, const StreamProfile& profile) {
  const FrameSize size = targetFrameSize(source.width, source.height, profile.maxDim);
  if (size.width == source.width && size.height == source.height) return source;
  Picture scaled{std::vector<std::uint8_t>(static_cast<std::size_t>(size.width) * size.height * 4), size.width,
                 size.height};
  libyuv::ARGBScale(source.pixels.data(), source.width * 4, source.width, source.height, scaled.pixels.data(),
                    size.width * 4, size.width, size.height, libyuv::kFilterBox);
  return scaled;
}

// The exact box (area-average) downscale: every source pixel weighs by the part of its
// area inside the destination pixel. The reference the frames are compared with.
Picture exactBoxDownscale(const Picture& source, const StreamProfile& profile) {
  const FrameSize size = targetFrameSize(source.width, source.height, profile.maxDim);
  if (size.width == source.width && size.height == source.height) return source;
  const double sx = static_cast<double>(source.width) / size.width;
  const double sy = static_cast<double>(source.height) / size.height;
  Picture result{std::vector<std::uint8_t>(static_cast<std::size_t>(size.width) * size.height * 4), size.width,
                 size.height};
  std::vector<double> row(static_cast<std::size_t>(source.width) * 3);
  for (int y = 0; y < size.height; ++y) {
    const double y0 = y * sy, y1 = (y + 1) * sy;
    std::fill(row.begin(), row.end(), 0.0);
    for (int v = static_cast<int>(y0); v < std::min(static_cast<int>(std::ceil(y1)), source.height); ++v) {
      const double weight = std::min<double>(v + 1, y1) - std::max<double>(v, y0);
      const std::uint8_t* line = source.pixels.data() + static_cast<std::size_t>(v) * source.width * 4;
      for (int x = 0; x < source.width; ++x) {
        for (int c = 0; c < 3; ++c) row[static_cast<std::size_t>(x) * 3 + c] += weight * line[x * 4 + c];
      }
    }
    for (int x = 0; x < size.width; ++x) {
      const double x0 = x * sx, x1 = (x + 1) * sx;
      double sum[3] = {0, 0, 0};
      for (int u = static_cast<int>(x0); u < std::min(static_cast<int>(std::ceil(x1)), source.width); ++u) {
        const double weight = std::min<double>(u + 1, x1) - std::max<double>(u, x0);
        for (int c = 0; c < 3; ++c) sum[c] += weight * row[static_cast<std::size_t>(u) * 3 + c];
      }
      std::uint8_t* out = result.pixels.data() + (static_cast<std::size_t>(y) * size.width + x) * 4;
      for (int c = 0; c < 3; ++c) out[c] = static_cast<std::uint8_t>(std::lround(sum[c] / (sx * sy)));
      out[3] = 0xFF;
    }
  }
  return result;
}

// Plain TurboJPEG from B, G, R, X pixels: the baseline encoder of R1.
class TurboEncoder {
 public:
  TurboEncoder() : handle_(tjInitCompress()) {}
  ~TurboEncoder() { tjDestroy(handle_); }
  TurboEncoder(const TurboEncoder&) = delete;
  TurboEncoder& operator=(const TurboEncoder&) = delete;
  std::size_t encode(const Picture& picture, double quality, ChromaSubsampling subsampling) {
    const int samples = subsampling == ChromaSubsampling::s420 ? TJSAMP_420 : TJSAMP_444;
    buffer_.resize(tjBufSize(picture.width, picture.height, samples));
    unsigned char* out = buffer_.data();
    unsigned long size = buffer_.size();
    if (tjCompress2(handle_, picture.pixels.data(), picture.width, picture.width * 4, picture.height, TJPF_BGRX, &out,
                    &size, samples, jpegQualityNumber(quality), TJFLAG_NOREALLOC) != 0) {
      return 0;
    }
    return size;
  }
  Bytes copy(std::size_t length) const { return Bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length)); }

 private:
  tjhandle handle_;
  std::vector<std::uint8_t> buffer_;
};

// The quality the adaptive loop settles at for this picture and profile.
double settledQuality(const Picture& picture, const StreamProfile& profile, ChromaSubsampling subsampling) {
  TurboEncoder encoder;
  double quality = profile.initialQ;
  for (int i = 0; i < 40; ++i) quality = adaptQuality(quality, encoder.encode(picture, quality, subsampling), profile);
  return quality;
}

double psnr(const Picture& reference, const std::uint8_t* jpeg, std::size_t length) {
  tjhandle decoder = tjInitDecompress();
  std::vector<std::uint8_t> decoded(reference.pixels.size());
  tjDecompress2(decoder, jpeg, length, decoded.data(), reference.width, reference.width * 4, reference.height,
                TJPF_BGRX, 0);
  tjDestroy(decoder);
  double squared = 0;
  std::size_t count = 0;
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    if (i % 4 == 3) continue;
    const double d = static_cast<double>(decoded[i]) - reference.pixels[i];
    squared += d * d;
    ++count;
  }
  return 10 * std::log10(255.0 * 255.0 / (squared / static_cast<double>(count)));
}
double psnr(const Picture& reference, const Bytes& jpeg) { return psnr(reference, jpeg.data(), jpeg.size()); }

Bytes encodeCopy(const Picture& picture, double quality, ChromaSubsampling subsampling) {
  TurboEncoder encoder;
  return encoder.copy(encoder.encode(picture, quality, subsampling));
}

// Collects the median of every benchmark for the summary.
class SummaryReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.aggregate_name == "median") medians[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
  }
  std::map<std::string, double> medians;  // milliseconds
};

void registerAll(Desktop& desktop, Rig& rig, std::map<std::string, Picture>& pictures) {
  const auto timed = [](const std::string& name, std::function<double()> body) {
    benchmark::RegisterBenchmark(name.c_str(), [body](benchmark::State& state) {
      for (auto _ : state) state.SetIterationTime(body());
    })->Iterations(1)->Repetitions(roundsOr(kFrames))->UseManualTime()->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);
  };

  struct Window {
    std::string name;
    std::uint32_t id;
  };
  for (const Window& w : {Window{"big", desktop.big}, Window{"small", desktop.small}}) {
    const Picture& source = pictures.at(w.name);
    for (const auto* profile : {&interactiveProfile, &refineProfile}) {
      const std::string suffix = w.name + "/" + profile->name;
      // Warm up once: buffers made, quality settled.
      auto warmed = std::make_shared<bool>(false);
      timed("frame/" + suffix, [&rig, id = w.id, profile, warmed] {
        const bool interactive = !profile->isRefine;
        if (!*warmed) {
          for (int i = 0; i < 40; ++i) rig.frame(id, interactive);
          *warmed = true;
        }
        return rig.frame(id, interactive);
      });

      const Picture scaled = scaledFor(source, *profile);
      const ChromaSubsampling subsampling = subsamplingFor(*profile);
      const double quality = settledQuality(scaled, *profile, subsampling);
      auto encoder = std::make_shared<TurboEncoder>();
      timed("encode/" + suffix, [encoder, scaled, quality, subsampling] {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(encoder->encode(scaled, quality, subsampling));
        return secondsSince(start);
      });

      // The host's frame production alone (scale, convert, encode in strips on two threads).
      auto producer = std::make_shared<FrameProducer>(rig.capturer);
      timed("produce/" + suffix, [producer, &source, profile, quality] {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(producer->makeFrame(1, source.view(), *profile, quality));
        return secondsSince(start);
      });

      const FrameSize size = targetFrameSize(source.width, source.height, profile->maxDim);
      if (size.width != source.width || size.height != source.height) {
        timed("scale/" + suffix, [&source, profile] {
          const auto start = std::chrono::steady_clock::now();
          benchmark::DoNotOptimize(scaledFor(source, *profile));
          return secondsSince(start);
        });
      }
    }
    for (const auto mode : {CaptureMode::isolated, CaptureMode::composited}) {
      const std::string modeName = mode == CaptureMode::isolated ? "isolated" : "composited";
      timed("capture/" + w.name + "/" + modeName, [&rig, id = w.id, mode] {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(rig.capturer.captureWindow(id, std::nullopt, mode));
        return secondsSince(start);
      });
    }
  }
  // Plain GetImage, for comparison with MIT-SHM.
  auto plain = std::make_shared<platform::x11::X11WindowCapturer>(rig.xConnection, rig.logger, false);
  timed("capture/big/isolated-getimage", [plain, id = desktop.big] {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(plain->captureWindow(id, std::nullopt, CaptureMode::isolated));
    return secondsSince(start);
  });
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// CPU time (all threads) per frame of the host's strips against the baseline (libyuv box
// of the whole picture, then tjCompress2), medians over `rounds`: a busy machine stretches
// wall times, much less the work itself. On two otherwise idle cores the strips' wall time
// approaches half their CPU time.
void measureCpu(const std::map<std::string, Picture>& pictures, platform::WindowCapturer& capturer, int rounds) {
  std::printf("\nCPU per frame, all threads (ms, medians over %d rounds): baseline = box scale + tjCompress2\n", rounds);
  std::printf("%-12s %9s %9s %s\n", "window/prof", "baseline", "strips", "strips/baseline");
  FrameProducer producer(capturer);
  for (const char* name : {"big", "small"}) {
    for (const auto* profile : {&interactiveProfile, &refineProfile}) {
      const Picture& source = pictures.at(name);
      const ChromaSubsampling subsampling = subsamplingFor(*profile);
      const double quality = settledQuality(scaledFor(source, *profile), *profile, subsampling);
      TurboEncoder encoder;
      std::vector<double> baseline, strips;
      for (int round = 0; round < rounds; ++round) {
        double start = processCpuSeconds();
        const Picture scaled = scaledFor(source, *profile);
        benchmark::DoNotOptimize(encoder.encode(scaled, quality, subsampling));
        baseline.push_back((processCpuSeconds() - start) * 1000);
        start = processCpuSeconds();
        benchmark::DoNotOptimize(producer.makeFrame(1, source.view(), *profile, quality));
        strips.push_back((processCpuSeconds() - start) * 1000);
      }
      const double b = median(baseline), t = median(strips);
      std::printf("%-12s %9.2f %9.2f %.2f\n", (std::string(name) + "/" + profile->name).c_str(), b, t, t / b);
    }
  }
}

// R1 with its three terms measured round by round (capture alone, TurboJPEG alone of the
// already-scaled picture, the whole frame), so that a busy machine weighs on all three
// alike: the other benchmarks run each piece's 200 repetitions one after another.
void measureInterleaved(Desktop& desktop, Rig& rig, const std::map<std::string, Picture>& pictures, int rounds) {
  std::printf("\nR1 interleaved over %d rounds (ms, medians; R1 = whole / (capture + encode); per-round: median of\n"
              "each round's whole / (capture + encode))\n",
              rounds);
  std::printf("%-12s %9s %9s %9s %9s %s\n", "window/prof", "capture", "encode", "whole", "R1", "per-round");
  for (const auto& [name, id] : {std::pair{std::string("big"), desktop.big}, std::pair{std::string("small"), desktop.small}}) {
    for (const auto* profile : {&interactiveProfile, &refineProfile}) {
      const bool interactive = !profile->isRefine;
      const Picture scaled = scaledFor(pictures.at(name), *profile);
      const ChromaSubsampling subsampling = subsamplingFor(*profile);
      const double quality = settledQuality(scaled, *profile, subsampling);
      TurboEncoder encoder;
      for (int i = 0; i < 20; ++i) rig.frame(id, interactive);
      std::vector<double> capture, encode, whole, ratio;
      for (int round = 0; round < rounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(rig.capturer.captureWindow(id, std::nullopt, CaptureMode::isolated));
        capture.push_back(secondsSince(start) * 1000);
        start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(encoder.encode(scaled, quality, subsampling));
        encode.push_back(secondsSince(start) * 1000);
        whole.push_back(rig.frame(id, interactive) * 1000);
        ratio.push_back(whole.back() / (capture.back() + encode.back()));
      }
      const double c = median(capture), e = median(encode), w = median(whole);
      std::printf("%-12s %9.2f %9.2f %9.2f %9.2f %.2f\n", (name + "/" + profile->name).c_str(), c, e, w, w / (c + e),
                  median(ratio));
    }
  }
}

// The whole frame of a still window with change tracking: the kept frame answered again.
void measureStill(Desktop& desktop, Rig& rig, int rounds) {
  std::printf("\nStill windows, change tracking on (ms, medians over %d rounds): the whole captureAndSendFrame\n",
              rounds);
  for (const auto& [name, id] : {std::pair{std::string("big"), desktop.big}, std::pair{std::string("small"), desktop.small}}) {
    for (const auto* profile : {&interactiveProfile, &refineProfile}) {
      const bool interactive = !profile->isRefine;
      for (int i = 0; i < 40; ++i) rig.frame(id, interactive);
      std::vector<double> whole;
      for (int round = 0; round < rounds; ++round) whole.push_back(rig.frame(id, interactive) * 1000);
      std::printf("%-12s %9.3f\n", (name + "/" + profile->name).c_str(), median(whole));
    }
  }
}

// Resident memory of this process, kB.
long residentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Streams many frames of both windows, interactive and refine mixed, and reports resident
// memory and the heap in use early on and at the end. Enabled by ORVO_BENCH_MEMORY_FRAMES.
void measureMemory(Desktop& desktop, Rig& rig, int frames) {
  const auto heap = [] {
    const auto info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
  };
  long rssEarly = 0, heapEarly = 0;
  for (int i = 0; i < frames; ++i) {
    rig.frame(i % 2 == 0 ? desktop.big : desktop.small, i % 3 != 0);
    if (i == 99) {
      rssEarly = residentKilobytes();
      heapEarly = heap();
    }
  }
  std::printf("\nMemory over %d frames: resident %ld kB after 100, %ld kB at the end; heap in use %ld kB, %ld kB\n",
              frames, rssEarly, residentKilobytes(), heapEarly, heap());
}

void printSummary(const std::map<std::string, double>& medians, const std::map<std::string, Picture>& pictures,
                  Rig& rig) {
  std::printf("\nMedians over %d frames (ms); whole = captureAndSendFrame up to the send queue;\n",
              roundsOr(kFrames));
  std::printf("encode = tjCompress2 from BGRX of the already-scaled picture; scale = libyuv box of the whole picture;\n");
  std::printf("produce = the host's strips (scale + convert + encode on two threads); R1 = whole / (capture + encode)\n");
  std::printf("%-12s %9s %9s %9s %9s %9s %9s %s\n", "window/prof", "capture", "scale", "encode", "produce", "whole",
              "cap+enc", "R1");
  for (const char* window : {"big", "small"}) {
    for (const char* profile : {"int", "ref"}) {
      const std::string suffix = std::string(window) + "/" + profile;
      const auto get = [&](const std::string& name) {
        const auto it = medians.find(name);
        return it == medians.end() ? 0.0 : it->second;
      };
      const double capture = get("capture/" + std::string(window) + "/isolated");
      const double encode = get("encode/" + suffix);
      const double whole = get("frame/" + suffix);
      std::printf("%-12s %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %.2f\n", suffix.c_str(), capture, get("scale/" + suffix),
                  encode, get("produce/" + suffix), whole, capture + encode, whole / (capture + encode));
    }
  }

  // Fidelity against the exactly box-downscaled window, each at the quality the adaptive
  // loop settles at: the host's frame, and the baseline (libyuv box of the whole picture,
  // then tjCompress2), the path the host took before strips.
  std::printf("\nPSNR (R, G, B) against the exact box downscale, at the settled quality:\n");
  FrameProducer producer(rig.capturer);
  for (const char* window : {"big", "small"}) {
    for (const auto* profile : {&interactiveProfile, &refineProfile}) {
      const Picture& source = pictures.at(window);
      const Picture exact = exactBoxDownscale(source, *profile);
      const Picture scaled = scaledFor(source, *profile);
      const ChromaSubsampling subsampling = subsamplingFor(*profile);
      const double quality = settledQuality(scaled, *profile, subsampling);
      const Bytes baseline = encodeCopy(scaled, quality, subsampling);
      const auto frame = producer.makeFrame(1, source.view(), *profile, quality);
      // ORVO_BENCH_SAMPLES=DIR keeps each frame, to check that text stays legible.
      if (const char* dir = std::getenv("ORVO_BENCH_SAMPLES")) {
        const std::string name = std::string(dir) + "/" + window + "-" + profile->name + ".jpg";
        std::ofstream(name, std::ios::binary)
            .write(reinterpret_cast<const char*>(frame->wire.data() + frameHeaderSize),
                   static_cast<std::streamsize>(frame->jpegLength));
      }
      std::printf("  %-5s %-3s %dx%d q=%.2f  host %.2f dB %zu bytes  baseline %.2f dB %zu bytes\n", window,
                  profile->name.c_str(), exact.width, exact.height, quality,
                  psnr(exact, frame->wire.data() + frameHeaderSize, frame->jpegLength), frame->jpegLength,
                  psnr(exact, baseline), baseline.size());
    }
  }

  // 4:2:0 against 4:4:4 on refine frames, each at the quality its own adaptive loop
  // settles at: bytes, fidelity (PSNR over R, G, B) and encoding time.
  std::printf("\nRefine frames, each subsampling at its settled quality:\n");
  for (const char* window : {"big", "small"}) {
    const Picture scaled = scaledFor(pictures.at(window), refineProfile);
    for (const auto subsampling : {ChromaSubsampling::s420, ChromaSubsampling::s444}) {
      const double quality = settledQuality(scaled, refineProfile, subsampling);
      const Bytes jpeg = encodeCopy(scaled, quality, subsampling);
      TurboEncoder encoder;
      std::vector<double> times;
      for (int i = 0; i < 21; ++i) {
        const auto start = std::chrono::steady_clock::now();
        encoder.encode(scaled, quality, subsampling);
        times.push_back(secondsSince(start) * 1000);
      }
      std::sort(times.begin(), times.end());
      std::printf("  %-5s %dx%d %s q=%.2f %7zu bytes  PSNR %.2f dB  encode %.2f ms\n", window, scaled.width,
                  scaled.height, subsampling == ChromaSubsampling::s420 ? "4:2:0" : "4:4:4", quality, jpeg.size(),
                  psnr(scaled, jpeg), times[times.size() / 2]);
    }
  }
  std::printf("\nTiming lines of the whole-path runs:\n");
  for (const auto& line : rig.logger.lines()) std::printf("  %s\n", line.c_str());
}

}  // namespace
}  // namespace orvo::bench

int main(int argc, char** argv) {
  using namespace orvo;
  using namespace orvo::bench;
  benchmark::Initialize(&argc, argv);
  Desktop desktop;
  Rig rig(desktop.x.display(), false);
  desktop.waitUntilDrawn(rig.capturer);
  Rig still(desktop.x.display(), true);
  for (Rig* r : {&rig, &still}) {
    r->windows.add(desktop.big, {0, 0, 3204, 2004});
    r->windows.add(desktop.small, {200, 100, 1204, 804});
  }

  std::map<std::string, Picture> pictures;
  for (const auto& [name, id] : {std::pair{"big", desktop.big}, std::pair{"small", desktop.small}}) {
    const auto image = rig.capturer.captureWindow(id, std::nullopt, CaptureMode::isolated);
    if (!image) {
      std::fprintf(stderr, "cannot capture the %s window\n", name);
      return 1;
    }
    pictures[name] = copyOf(*image);
    std::printf("%s window: %dx%d\n", name, image->width, image->height);
  }
  registerAll(desktop, rig, pictures);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printSummary(reporter.medians, pictures, rig);
  measureInterleaved(desktop, rig, pictures, roundsOr(100));
  measureStill(desktop, still, roundsOr(100));
  measureCpu(pictures, rig.capturer, roundsOr(30));
  if (const char* frames = std::getenv("ORVO_BENCH_MEMORY_FRAMES")) measureMemory(desktop, rig, std::atoi(frames));
  benchmark::Shutdown();
  return 0;
}
