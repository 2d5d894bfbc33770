#pragma once

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>

namespace orvo::platform::dbus {

// Owning handles of sd-bus objects.
struct SdBusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using BusPtr = std::unique_ptr<sd_bus, SdBusUnref>;
using MessagePtr = std::unique_ptr<sd_bus_message, SdBusUnref>;
// A match, an object vtable or a pending call: destroying the slot ends it (a pending
// call's reply is then dropped).
using SlotPtr = std::unique_ptr<sd_bus_slot, SdBusUnref>;

// An sd_bus_error that frees itself.
class BusError {
 public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&error_); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  sd_bus_error* get() { return &error_; }
  bool isSet() const { return sd_bus_error_is_set(&error_); }
  bool hasName(const char* name) const { return sd_bus_error_has_name(&error_, name); }
  // "name: message", or the text of `errnoValue` when no error was set.
  std::string describe(int errnoValue) const;

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

// The error of a failed method reply as "name: message".
std::string describeReplyError(sd_bus_message* reply);
// Whether an error means that nobody owns (or can start) the called name.
bool isNoOwnerError(const sd_bus_error* error);

// An owned file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace orvo::platform::dbus
