// What one buffer of a window stream costs on the PipeWire thread and the capture queue:
// GNOME sends monitor-sized buffers (1280x800) with the window in a crop (640x480 here);
// the crop is placed and checked, copied into the window's incoming picture (BGRx as is,
// RGBx with red and blue swapped), published with its damage, and taken over by the
// capture queue's takeChanges. With one buffer its pixels stay in the cache; with eight
// (32 MiB) each read comes from memory, as a compositor's freshly drawn buffer does.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/linux/pipewire/BufferPicture.h"
#include "platform/linux/pipewire/PictureHandOver.h"

namespace {

using namespace orvo::platform;
using namespace orvo::platform::pipewire;

void BM_HandOver(benchmark::State& state) {
  const int width = 1280, height = 800;
  const auto order = state.range(0) == 0 ? ChannelOrder::bgr : ChannelOrder::rgb;
  const std::size_t bytes = static_cast<std::size_t>(width) * height * 4;
  std::vector<std::vector<std::uint8_t>> buffers(static_cast<std::size_t>(state.range(1)));
  for (auto& buffer : buffers) {
    buffer.resize(bytes);
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<std::uint8_t>(i * 7);
  }
  const BufferChunk chunk{0, static_cast<std::uint32_t>(bytes), width * 4, false};
  std::size_t next = 0;
  const BufferRegion crop{0, 0, 640, 480};
  PictureHandOver handOver;
  PictureChanges changes{false, {}};
  for (auto _ : state) {
    const auto& buffer = buffers[next++ % buffers.size()];
    const BufferMemory memory{buffer.data(), static_cast<std::uint32_t>(buffer.size())};
    std::string_view why;
    const auto placed = placePicture(memory, chunk, width, height, crop, why);
    changes.rows.clear();
    addDamage(changes, placed->crop, BufferRegion{10, 100, 300, 40});
    copyPicture(*placed, order, handOver.beginWrite());
    handOver.publish(changes);
    const PictureChanges taken = handOver.takeChanges();
    benchmark::DoNotOptimize(taken);
    benchmark::DoNotOptimize(handOver.current());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 640 * 480 * 4);
}
BENCHMARK(BM_HandOver)->ArgNames({"rgb", "buffers"})->ArgsProduct({{0, 1}, {1, 8}})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
