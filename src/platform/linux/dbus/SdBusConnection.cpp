#include "platform/linux/dbus/SdBusConnection.h"

#include <poll.h>

#include <asio/post.hpp>
#include <chrono>
#include <cstring>
#include <vector>

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

namespace {

// A new connection to the bus of `kind`; the reason in `error` when there is none.
BusPtr connect(SdBusConnection::Kind kind, int& fd, std::string& error) {
  sd_bus* raw = nullptr;
  const int result = kind == SdBusConnection::Kind::system ? sd_bus_open_system(&raw) : sd_bus_open_user(&raw);
  BusPtr bus(raw);
  if (result < 0) {
    error = std::strerror(-result);
    return nullptr;
  }
  // Calls made while starting up must not stall the host for long on a hung service.
  sd_bus_set_method_call_timeout(bus.get(), 3'000'000);
  fd = sd_bus_get_fd(bus.get());
  if (fd < 0) {
    error = std::strerror(-fd);
    return nullptr;
  }
  return bus;
}

}  // namespace

std::shared_ptr<SdBusConnection> SdBusConnection::open(asio::io_context& context, Kind kind, Logger& logger,
                                                       std::string& error, Reconnect reconnect) {
  int fd = -1;
  auto bus = connect(kind, fd, error);
  if (!bus) return nullptr;
  auto connection = std::make_shared<SdBusConnection>(Key(), context, kind, reconnect, std::move(bus), fd, logger);
  connection->wake();
  return connection;
}

SdBusConnection::SdBusConnection(Key, asio::io_context& context, Kind kind, Reconnect reconnect, BusPtr bus, int fd,
                                 Logger& logger)
    : context_(context),
      kind_(kind),
      reconnect_(reconnect),
      bus_(std::move(bus)),
      descriptor_(context, fd),
      timer_(context),
      retryTimer_(context),
      logger_(logger) {}

SdBusConnection::~SdBusConnection() {
  // The descriptor belongs to sd-bus: stop watching it without closing it.
  descriptor_.release();
  timer_.cancel();
  retryTimer_.cancel();
}

Subscription SdBusConnection::watch(Watcher watcher) {
  const auto id = nextWatcher_++;
  watchers_.emplace(id, std::move(watcher));
  return Subscription([weak = weak_from_this(), id] {
    if (auto self = weak.lock()) self->watchers_.erase(id);
  });
}

void SdBusConnection::notify(bool connected) {
  // A watcher may end its own or another's subscription while it runs.
  std::vector<std::uint64_t> ids;
  for (const auto& [id, watcher] : watchers_) ids.push_back(id);
  for (const auto id : ids) {
    const auto found = watchers_.find(id);
    if (found == watchers_.end()) continue;
    auto watcher = found->second;
    watcher(connected);
  }
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
    if (result < 0) return lost(result);
    if (result == 0) break;
  }
  if (awaitingHello_ && sd_bus_is_ready(bus_.get()) > 0) {
    // The bus answered: a later loss starts again with a short wait.
    awaitingHello_ = false;
    retryDelay_ = kFirstRetryDelay;
    logLine(logger_, std::string("OrvoHost: connected to the ") + name() + " again");
  }
  arm();
}

void SdBusConnection::lost(int error) {
  dead_ = true;
  timer_.cancel();
  if (!awaitingHello_) logLine(logger_, std::string("OrvoHost: lost the ") + name() + ":", std::strerror(-error));
  notify(false);
  if (reconnect_ == Reconnect::withBackOff) scheduleReconnect();
}

void SdBusConnection::scheduleReconnect() {
  retryTimer_.expires_after(std::chrono::milliseconds(static_cast<std::int64_t>(retryDelay_ * 1000)));
  retryDelay_ = std::min(retryDelay_ * 2, kMaxRetryDelay);
  retryTimer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
    if (error) return;
    if (auto self = weak.lock()) self->reconnect();
  });
}

void SdBusConnection::reconnect() {
  int fd = -1;
  std::string error;
  auto bus = connect(kind_, fd, error);
  if (!bus) {
    if (!retryFailureLogged_) {
      logLine(logger_, std::string("OrvoHost: the ") + name() + " is not back yet (" + error +
                           "); trying again, less often as time goes on");
    }
    retryFailureLogged_ = true;
    return scheduleReconnect();
  }
  // Waits armed for the old descriptor end now; the old connection (closed) goes once the
  // last slot made on it goes.
  ++generation_;
  descriptor_.release();
  readWaiting_ = writeWaiting_ = false;
  bus_ = std::move(bus);
  descriptor_.assign(fd);
  dead_ = false;
  retryFailureLogged_ = false;
  awaitingHello_ = true;
  wake();
  notify(true);
}

void SdBusConnection::arm() {
  const int events = sd_bus_get_events(bus_.get());
  if (events < 0) return;
  auto weak = weak_from_this();
  const auto generation = generation_;
  if ((events & POLLIN) && !readWaiting_) {
    readWaiting_ = true;
    descriptor_.async_wait(asio::posix::stream_descriptor::wait_read, [weak, generation](const std::error_code& error) {
      auto self = weak.lock();
      if (!self || self->generation_ != generation) return;
      self->readWaiting_ = false;
      if (!error) self->process();
    });
  }
  if ((events & POLLOUT) && !writeWaiting_) {
    writeWaiting_ = true;
    descriptor_.async_wait(asio::posix::stream_descriptor::wait_write, [weak, generation](const std::error_code& error) {
      auto self = weak.lock();
      if (!self || self->generation_ != generation) return;
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
