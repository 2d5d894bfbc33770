// How long one window list takes (X11WindowServer::copyWindowInfo): on a private Xvfb,
// bare and with openbox, with 10 and then 100 fixture windows open.
//
//   build/bench/x11/orvo_x11_bench [--benchmark_repetitions=N ...]

#include <benchmark/benchmark.h>

#include <deque>
#include <memory>
#include <string>

#include "core/Log.h"
#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11/X11WindowServer.h"
#include "support/XvfbFixture.h"

namespace {

using orvo::platform::WindowListOption;

class SilentLogger final : public orvo::Logger {
 public:
  void write(std::string_view) override {}
};

// One display with its windows; windows are only ever added, so the benchmarks run with
// 10 windows before those with 100.
class Desktop {
 public:
  explicit Desktop(bool windowManager)
      : x_(orvo::testing::XvfbOptions{.windowManager = windowManager}), connection_(logger_, x_.display()) {}

  orvo::platform::x11::X11WindowServer& server() { return server_; }

  void open(std::size_t count) {
    while (windows_.size() < count) {
      const std::size_t i = windows_.size();
      const std::string geometry =
          "160x90+" + std::to_string(20 + (i % 10) * 180) + "+" + std::to_string(20 + (i / 10) * 100);
      windows_.push_back(x_.startTestWindow(
          {"--title", "Window " + std::to_string(i), "--class", "Bench", "--geometry", geometry}));
    }
  }

 private:
  orvo::testing::XvfbFixture x_;
  SilentLogger logger_;
  orvo::platform::x11::X11Connection connection_;
  orvo::platform::x11::X11WindowServer server_{connection_};
  std::deque<orvo::testing::TestWindowProcess> windows_;
};

void registerOn(Desktop& desktop, const std::string& name) {
  for (const std::size_t count : {std::size_t{10}, std::size_t{100}}) {
    for (const auto option : {WindowListOption::onScreenOnly, WindowListOption::all}) {
      const std::string title = "copyWindowInfo/" + name + "/" + std::to_string(count) + "/" +
                                (option == WindowListOption::all ? "all" : "onScreenOnly");
      benchmark::RegisterBenchmark(title.c_str(), [&desktop, option, count](benchmark::State& state) {
        desktop.open(count);
        for (auto _ : state) {
          auto list = desktop.server().copyWindowInfo(option);
          if (list.size() != count) {
            state.SkipWithError("wrong number of windows");
            break;
          }
          benchmark::DoNotOptimize(list);
        }
      })->Unit(benchmark::kMicrosecond);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Desktop bare(false);
  Desktop openbox(true);
  registerOn(bare, "bare");
  registerOn(openbox, "openbox");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
