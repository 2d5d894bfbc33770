#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "core/Log.h"
#include "core/Published.h"
#include "platform/linux/dbus/SdBusHandles.h"

namespace orvo::platform::dbus {

// One connection to the system or the session bus, driven by the main queue's io_context:
// the bus's descriptor is watched with stream_descriptor::async_wait and its timeout with
// a steady_timer, and sd_bus_process runs on the io_context's thread. Every sd-bus
// callback (signal matches, replies of asynchronous calls) therefore runs on the main
// queue.
//
// Losing the bus (the daemon restarted or stopped) is logged once. A connection opened
// with Reconnect::withBackOff then connects again, first after kFirstRetryDelay, each
// further attempt after twice the wait of the one before, at most kMaxRetryDelay, until
// the bus is back (the wait starts over once a new connection is up). Watchers hear of
// the loss and of the new connection; the matches, pending calls and objects made on the
// old one are dead, and a watcher makes them again on the new one. A connection opened
// with Reconnect::never stays dead: what lives on it ends with it (a portal session does
// anyway).
//
// Create (open), use and destroy on the thread that runs the io_context (or before it
// runs). Slots made on the bus must go before the connection.
class SdBusConnection : public std::enable_shared_from_this<SdBusConnection> {
 public:
  enum class Kind { system, session };
  enum class Reconnect { never, withBackOff };
  using Watcher = std::function<void(bool connected)>;

  static constexpr double kFirstRetryDelay = 0.25;
  static constexpr double kMaxRetryDelay = 30.0;

  // Connects to the bus ($DBUS_SYSTEM_BUS_ADDRESS or the standard system socket; for the
  // session bus $DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus). Nothing, with the
  // reason in `error`, when there is no such bus now (no later attempt is made then).
  static std::shared_ptr<SdBusConnection> open(asio::io_context& context, Kind kind, Logger& logger,
                                               std::string& error, Reconnect reconnect = Reconnect::never);
  // Only through open(): the key keeps other callers out.
  struct Key {
    explicit Key() = default;
  };
  SdBusConnection(Key, asio::io_context& context, Kind kind, Reconnect reconnect, BusPtr bus, int fd, Logger& logger);
  ~SdBusConnection();
  SdBusConnection(const SdBusConnection&) = delete;
  SdBusConnection& operator=(const SdBusConnection&) = delete;

  // The current connection; after a loss, the dead one until a new one replaces it (calls
  // on it fail with ENOTCONN). Do not keep it across a watcher's call.
  sd_bus* get() const { return bus_.get(); }
  Kind kind() const { return kind_; }
  bool isConnected() const { return !dead_; }
  asio::io_context& context() { return context_; }
  // "system bus" or "session bus", for log lines.
  const char* name() const { return kind_ == Kind::system ? "system bus" : "session bus"; }
  // Call after queueing a message (an asynchronous call), so that it is written out and
  // its reply waited for.
  void wake();

  // `watcher` hears false when the connection is lost and true when a new one is up, until
  // the subscription goes. Called on the io_context's thread, never from within watch().
  [[nodiscard]] Subscription watch(Watcher watcher);

 private:
  void process();
  void arm();
  void lost(int error);
  void scheduleReconnect();
  void reconnect();
  void notify(bool connected);

  asio::io_context& context_;
  Kind kind_;
  Reconnect reconnect_;
  BusPtr bus_;
  asio::posix::stream_descriptor descriptor_;
  asio::steady_timer timer_;
  asio::steady_timer retryTimer_;
  Logger& logger_;
  // Changes with each new connection: waits armed for an older one are ignored.
  std::uint64_t generation_ = 0;
  bool readWaiting_ = false;
  bool writeWaiting_ = false;
  bool processQueued_ = false;
  bool dead_ = false;
  double retryDelay_ = kFirstRetryDelay;
  bool retryFailureLogged_ = false;
  bool awaitingHello_ = false;
  std::uint64_t nextWatcher_ = 0;
  std::map<std::uint64_t, Watcher> watchers_;
};

}  // namespace orvo::platform::dbus
