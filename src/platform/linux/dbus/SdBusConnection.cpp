#include "platform/linux/dbus/SdBusConnection.h"

#include <poll.h>

#include <asio/post.hpp>
#include <chrono>
#include <cstring>

namespace orvo::platform::dbus {

std::string BusError::describe(int errnoValue) const {
  if (isSet()) return std::string(error_.name) + ": " + (error_.message ? error_.message : "");
  return std::strerror(errnoValue < 0 ? -errnoValue : errnoValue);
}

std::string describeReplyError(sd_bus_message* reply) {
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  if (!error) return "unknown error";
  return std::string(error->name ? error->name : "error") + ": " + (error->message ? error->message : "");
}

bool isNoOwnerError(const sd_bus_error* error) {
  return sd_bus_error_has_names(error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
}

std::shared_ptr<SdBusConnection> SdBusConnection::open(asio::io_context& context, Kind kind, Logger& logger,
                                                       std::string& error) {
  sd_bus* raw = nullptr;
  const int result = kind == Kind::system ? sd_bus_open_system(&raw) : sd_bus_open_user(&raw);
  BusPtr bus(raw);
  if (result < 0) {
    error = std::strerror(-result);
    return nullptr;
  }
  // Calls made while starting up must not stall the host for long on a hung service.
  sd_bus_set_method_call_timeout(bus.get(), 3'000'000);
  const int fd = sd_bus_get_fd(bus.get());
  if (fd < 0) {
    error = std::strerror(-fd);
    return nullptr;
  }
  auto connection = std::make_shared<SdBusConnection>(Key(), context, kind, std::move(bus), fd, logger);
  connection->wake();
  return connection;
}

SdBusConnection::SdBusConnection(Key, asio::io_context& context, Kind kind, BusPtr bus, int fd, Logger& logger)
    : context_(context), kind_(kind), bus_(std::move(bus)), descriptor_(context, fd), timer_(context),
      logger_(logger) {}

SdBusConnection::~SdBusConnection() {
  // The descriptor belongs to sd-bus: stop watching it without closing it.
  descriptor_.release();
  timer_.cancel();
}

void SdBusConnection::wake() {
  if (processQueued_ || dead_) return;
  processQueued_ = true;
  asio::post(context_, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->processQueued_ = false;
      self->process();
    }
  });
}

void SdBusConnection::process() {
  if (dead_) return;
  for (;;) {
    const int result = sd_bus_process(bus_.get(), nullptr);
    if (result < 0) {
      dead_ = true;
      logLine(logger_, std::string("OrvoHost: lost the ") + name() + ":", std::strerror(-result));
      timer_.cancel();
      return;
    }
    if (result == 0) break;
  }
  arm();
}

void SdBusConnection::arm() {
  const int events = sd_bus_get_events(bus_.get());
  if (events < 0) return;
  auto weak = weak_from_this();
  if ((events & POLLIN) && !readWaiting_) {
    readWaiting_ = true;
    descriptor_.async_wait(asio::posix::stream_descriptor::wait_read, [weak](const std::error_code& error) {
      auto self = weak.lock();
      if (!self) return;
      self->readWaiting_ = false;
      if (!error) self->process();
    });
  }
  if ((events & POLLOUT) && !writeWaiting_) {
    writeWaiting_ = true;
    descriptor_.async_wait(asio::posix::stream_descriptor::wait_write, [weak](const std::error_code& error) {
      auto self = weak.lock();
      if (!self) return;
      self->writeWaiting_ = false;
      if (!error) self->process();
    });
  }
  std::uint64_t until = 0;
  if (sd_bus_get_timeout(bus_.get(), &until) < 0 || until == UINT64_MAX) {
    timer_.cancel();
    return;
  }
  // sd-bus counts on CLOCK_MONOTONIC, which is steady_clock's clock here.
  timer_.expires_at(std::chrono::steady_clock::time_point(std::chrono::microseconds(until)));
  timer_.async_wait([weak](const std::error_code& error) {
    if (error) return;
    if (auto self = weak.lock()) self->process();
  });
}

}  // namespace orvo::platform::dbus
