#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <memory>
#include <string>

#include "core/Log.h"
#include "platform/linux/dbus/SdBusHandles.h"

namespace orvo::platform::dbus {

// One connection to the system or the session bus, driven by the main queue's io_context:
// the bus's descriptor is watched with stream_descriptor::async_wait and its timeout with
// a steady_timer, and sd_bus_process runs on the io_context's thread. Every sd-bus
// callback (signal matches, replies of asynchronous calls) therefore runs on the main
// queue.
//
// Create (open), use and destroy on the thread that runs the io_context (or before it
// runs). Slots made on the bus must go before the connection. A connection that the bus
// drops is logged once and stays dead; its matches and calls then see nothing more.
class SdBusConnection : public std::enable_shared_from_this<SdBusConnection> {
 public:
  enum class Kind { system, session };

  // Connects to the bus ($DBUS_SYSTEM_BUS_ADDRESS or the standard system socket; for the
  // session bus $DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus). Nothing, with the
  // reason in `error`, when there is no such bus.
  static std::shared_ptr<SdBusConnection> open(asio::io_context& context, Kind kind, Logger& logger,
                                               std::string& error);
  // Only through open(): the key keeps other callers out.
  struct Key {
    explicit Key() = default;
  };
  SdBusConnection(Key, asio::io_context& context, Kind kind, BusPtr bus, int fd, Logger& logger);
  ~SdBusConnection();
  SdBusConnection(const SdBusConnection&) = delete;
  SdBusConnection& operator=(const SdBusConnection&) = delete;

  sd_bus* get() const { return bus_.get(); }
  Kind kind() const { return kind_; }
  // "system bus" or "session bus", for log lines.
  const char* name() const { return kind_ == Kind::system ? "system bus" : "session bus"; }
  // Call after queueing a message (an asynchronous call), so that it is written out and
  // its reply waited for.
  void wake();

 private:
  void process();
  void arm();

  asio::io_context& context_;
  Kind kind_;
  BusPtr bus_;
  asio::posix::stream_descriptor descriptor_;
  asio::steady_timer timer_;
  Logger& logger_;
  bool readWaiting_ = false;
  bool writeWaiting_ = false;
  bool processQueued_ = false;
  bool dead_ = false;
};

}  // namespace orvo::platform::dbus
