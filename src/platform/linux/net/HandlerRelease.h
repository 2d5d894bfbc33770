#pragma once

#include <asio/execution_context.hpp>
#include <memory>
#include <mutex>
#include <vector>

namespace orvo::platform {

// Something that keeps handlers of the host (state handlers, completions).
class HandlerOwner {
 public:
  // Drops every handler without calling it. Runs while the io_context is destroyed.
  virtual void releaseHandlers() = 0;

 protected:
  HandlerOwner() = default;
  ~HandlerOwner() = default;
  HandlerOwner(const HandlerOwner&) = default;
  HandlerOwner& operator=(const HandlerOwner&) = default;
};

// Releases the handlers of every listener and connection still alive when their
// io_context is destroyed. A handler that holds its own connection (the usual way to keep
// a connection until its last state) would otherwise keep both alive for ever once no
// final state can come. One per io_context; `track` may be called from any thread.
class HandlerReleaseService final : public asio::execution_context::service {
 public:
  static inline asio::execution_context::id id;  // Asio's key for the service, never changes

  explicit HandlerReleaseService(asio::execution_context& context);
  HandlerReleaseService(const HandlerReleaseService&) = delete;
  HandlerReleaseService& operator=(const HandlerReleaseService&) = delete;

  void track(std::weak_ptr<HandlerOwner> owner);

 private:
  void shutdown() override;

  std::mutex mutex_;
  std::vector<std::weak_ptr<HandlerOwner>> owners_;
  std::size_t sweepAt_ = 64;
};

}  // namespace orvo::platform
