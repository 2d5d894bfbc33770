// What a hostile control line costs the host: one line of just under 1 MiB holding 100,000
// distinct keys, decoded the way dispatch does it (parse once, then the envelope and the
// record of its type), against the insertion-ordered object type the host writes with.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "core/Json.h"
#include "host/ControlMessages.h"

namespace {

std::string manyKeysLine(int keys) {
  std::string line = "{\"type\":\"clientPing\"";
  char key[16];
  for (int i = 0; i < keys; ++i) {
    std::snprintf(key, sizeof key, ",\"%05x\":0", i);
    line += key;
  }
  line += "}";
  return line;
}

void BM_DecodeManyKeysLine(benchmark::State& state) {
  const std::string line = manyKeysLine(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const auto parsed = orvo::json::parse(line);
    const auto envelope = orvo::decodeRecord<orvo::MessageEnvelope>(*parsed);
    const auto ping = orvo::decodeRecord<orvo::ClientPingMessage>(*parsed);
    benchmark::DoNotOptimize(envelope);
    benchmark::DoNotOptimize(ping);
  }
  state.counters["line_bytes"] = static_cast<double>(line.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_DecodeManyKeysLine)->Arg(100000)->Unit(benchmark::kMillisecond);

// The same line read into insertion-ordered objects, as every line was before: each new key
// is compared with all earlier ones.
void BM_DecodeManyKeysLineOrdered(benchmark::State& state) {
  const std::string line = manyKeysLine(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const auto parsed = orvo::json::parseDocument(line);
    benchmark::DoNotOptimize(parsed);
  }
  state.counters["line_bytes"] = static_cast<double>(line.size());
}
BENCHMARK(BM_DecodeManyKeysLineOrdered)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
