// How long one frame (a 9-byte header send and a body send, as the host writes them from
// its send queue) takes from send() to the last byte at a client, over loopback TLS.
#include <benchmark/benchmark.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <memory>
#include <stdexcept>

#include "core/AsioQueues.h"
#include "core/Log.h"
#include "pairing/OrvoTLS.h"
#include "platform/linux/net/AsioNetwork.h"

namespace orvo::platform {
namespace {

class SilentLogger final : public Logger {
 public:
  void write(std::string_view) override {}
};

struct LoopbackPair {
  LoopbackPair() {
    Bytes key(32);
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const TlsParameters parameters = makePSKParameters("3F2504E0-4F89-11D3-9A0C-0305E82C3301", key);
    std::string error;
    listener = network.makeListener(parameters, error);
    if (!listener) throw std::runtime_error(error);
    listener->setNewConnectionHandler([this](std::shared_ptr<Connection> connection) {
      host = connection;
      host->setStateHandler([this](const ConnectionState& state) { hostReady |= state.kind == ConnectionStateKind::ready; });
      host->start();
    });
    listener->start();
    while (!listener->port()) context.run_one_for(std::chrono::milliseconds(10));
    client = network.makeConnection("127.0.0.1", *listener->port(), parameters);
    client->setStateHandler(
        [this](const ConnectionState& state) { clientReady |= state.kind == ConnectionStateKind::ready; });
    client->start();
    while (!hostReady || !clientReady) context.run_one_for(std::chrono::milliseconds(10));
  }

  // Receives until `total` bytes arrived.
  void receiveAll(std::size_t total) {
    std::size_t got = 0;
    bool done = false;
    std::function<void()> next = [&] {
      client->receive(1, 65536, [&](Bytes data, bool complete, std::optional<std::string> error) {
        got += data.size();
        if (got >= total || complete || error) {
          done = true;
        } else {
          next();
        }
      });
    };
    next();
    while (!done) context.run_one();
  }

  SilentLogger logger;
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
  AsioNetwork network{context, "127.0.0.1", logger};
  std::shared_ptr<Listener> listener;
  std::shared_ptr<Connection> host, client;
  bool hostReady = false, clientReady = false;
};

// As the host sends: from its "orvo.host.send" serial queue on the shared pool.
void BM_FrameToClientFromSendQueue(benchmark::State& state) {
  LoopbackPair pair;
  AsioQueueFactory queues(pair.logger, 1);
  std::unique_ptr<SerialQueue> sendQueue = queues.makeSerialQueue("orvo.host.send", QueuePriority::userInitiated);
  const Bytes header(9, 0x01);
  const Bytes body(static_cast<std::size_t>(state.range(0)), 0x5A);
  for (auto _ : state) {
    sendQueue->async([&] {
      pair.host->send(header, nullptr);
      pair.host->send(body, nullptr);
    });
    pair.receiveAll(header.size() + body.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (state.range(0) + 9));
}
BENCHMARK(BM_FrameToClientFromSendQueue)->Arg(20 * 1024)->Arg(150 * 1024)->Arg(1024 * 1024)->UseRealTime();

// The same from the io_context's own thread: the cost of TLS and loopback alone.
void BM_FrameToClientFromIoThread(benchmark::State& state) {
  LoopbackPair pair;
  const Bytes header(9, 0x01);
  const Bytes body(static_cast<std::size_t>(state.range(0)), 0x5A);
  for (auto _ : state) {
    pair.host->send(header, nullptr);
    pair.host->send(body, nullptr);
    pair.receiveAll(header.size() + body.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (state.range(0) + 9));
}
BENCHMARK(BM_FrameToClientFromIoThread)->Arg(20 * 1024)->Arg(150 * 1024)->Arg(1024 * 1024)->UseRealTime();

}  // namespace
}  // namespace orvo::platform

BENCHMARK_MAIN();
