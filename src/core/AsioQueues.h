#pragma once

#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>

#include "core/Queues.h"

namespace orvo {

class Logger;

// The main queue on an Asio io_context run by one thread. Listeners and connections use
// the same io_context, so their handlers run on the main queue too.
class AsioMainQueue final : public MainQueue {
 public:
  AsioMainQueue(asio::io_context& context, Logger& logger);
  AsioMainQueue(const AsioMainQueue&) = delete;
  AsioMainQueue& operator=(const AsioMainQueue&) = delete;

  void async(Task task) override;
  void asyncAfter(double seconds, Task task) override;
  TimerHandle scheduleRepeating(double period, Task task) override;
  bool isCurrent() const override;

  asio::io_context& context() { return context_; }

 private:
  asio::io_context& context_;
  Logger& logger_;
};

// Serial queues over one shared pool of threads.
class AsioQueueFactory final : public QueueFactory {
 public:
  explicit AsioQueueFactory(Logger& logger, unsigned threads = 3);
  ~AsioQueueFactory() override;
  AsioQueueFactory(const AsioQueueFactory&) = delete;
  AsioQueueFactory& operator=(const AsioQueueFactory&) = delete;

  std::unique_ptr<SerialQueue> makeSerialQueue(std::string label, QueuePriority priority) override;
  // Finishes the queued work and joins the pool's threads.
  void join();

 private:
  asio::thread_pool pool_;
  Logger& logger_;
};

}  // namespace orvo
