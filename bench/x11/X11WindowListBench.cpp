// How long one window list takes (X11WindowServer::copyWindowInfo): on a private Xvfb,
// bare and with openbox, with 10 and then 100 fixture windows open. Also the server time
// an activation asks for, alone and with another thread reading the same connection.
//
//   build/bench/x11/orvo_x11_bench [--benchmark_repetitions=N ...]

#include <benchmark/benchmark.h>

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <thread>

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
  orvo::platform::x11::X11Connection& connection() { return connection_; }

  void open(std::size_t count) {
    while (windows_.size() < count) {
      const std::size_t i = windows_.size();
      const std::string geometry =
          "160x90+" + std::to_string(20 + (i % 10) * 180) + "+" + std::to_string(20 + (i / 10) * 100);
      windows_.push_back(
          x_.startTestWindow({"--title", "Window " + std::to_string(i), "--class", "Bench", "--geometry", geometry}));
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
  // The unit of cost: one request and its reply.
  benchmark::RegisterBenchmark(("roundTrip/" + name).c_str(), [&desktop](benchmark::State& state) {
    const auto display = desktop.connection().display();
    xcb_connection_t* c = display->connection();
    for (auto _ : state) {
      benchmark::DoNotOptimize(orvo::platform::x11::replyOf(c, xcb_get_input_focus_reply, xcb_get_input_focus(c)));
    }
  })->Unit(benchmark::kMicrosecond);
  // The server's time for an activation, alone and while another thread waits for replies
  // on the same connection (as the capture queue did when it shared the main connection).
  for (const bool contended : {false, true}) {
    const std::string title = std::string("serverTime/") + name + (contended ? "/withReader" : "/alone");
    benchmark::RegisterBenchmark(title.c_str(), [&desktop, contended](benchmark::State& state) {
      const auto display = desktop.connection().display();
      std::atomic<bool> stop{false};
      std::thread reader;
      if (contended) {
        reader = std::thread([&] {
          xcb_connection_t* c = display->connection();
          while (!stop) orvo::platform::x11::replyOf(c, xcb_get_input_focus_reply, xcb_get_input_focus(c));
        });
      }
      std::int64_t missing = 0;
      for (auto _ : state) {
        if (!display->serverTime()) ++missing;
      }
      stop = true;
      if (reader.joinable()) reader.join();
      state.counters["missing"] = static_cast<double>(missing);
    })->Unit(benchmark::kMicrosecond);
  }
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
