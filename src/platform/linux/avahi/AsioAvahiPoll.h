#pragma once

#include <avahi-common/watch.h>

#include <asio/io_context.hpp>
#include <memory>
#include <unordered_map>

namespace orvo::platform::avahi {

// Avahi's main-loop abstraction (AvahiPoll) on an Asio io_context, so that the Avahi
// client runs on the host's main queue without a thread of its own: descriptor watches
// wait with stream_descriptor::async_wait, timeouts with steady_timer.
//
// Every Avahi callback runs from a handler on the io_context, never from inside a
// watch_* or timeout_* call, so Avahi is never re-entered. Watches behave level-triggered
// like poll(2): a descriptor that is still ready after its callback is reported again.
//
// Create, use and destroy the object on the thread that runs the io_context (or before
// it runs). It must outlive every Avahi object made with get() (free the client first);
// handlers still queued on the io_context when it goes do nothing.
class AsioAvahiPoll {
 public:
  explicit AsioAvahiPoll(asio::io_context& context);
  ~AsioAvahiPoll();
  AsioAvahiPoll(const AsioAvahiPoll&) = delete;
  AsioAvahiPoll& operator=(const AsioAvahiPoll&) = delete;

  // The vtable to pass to avahi_client_new; valid while this object lives.
  const AvahiPoll* get() const { return &api_; }

  // Watches and timeouts that Avahi has not freed yet.
  std::size_t watchCount() const { return watches_.size(); }
  std::size_t timeoutCount() const { return timeouts_.size(); }

 private:
  static AvahiWatch* watchNew(const AvahiPoll* api, int fd, AvahiWatchEvent events, AvahiWatchCallback callback,
                              void* userdata);
  static void watchUpdate(AvahiWatch* watch, AvahiWatchEvent events);
  static AvahiWatchEvent watchGetEvents(AvahiWatch* watch);
  static void watchFree(AvahiWatch* watch);
  static AvahiTimeout* timeoutNew(const AvahiPoll* api, const struct timeval* tv, AvahiTimeoutCallback callback,
                                  void* userdata);
  static void timeoutUpdate(AvahiTimeout* timeout, const struct timeval* tv);
  static void timeoutFree(AvahiTimeout* timeout);

  AvahiPoll api_{};
  asio::io_context& context_;
  // Shared so that queued handlers can tell (through weak references) that a watch or
  // timeout was freed before they ran.
  std::unordered_map<AvahiWatch*, std::shared_ptr<AvahiWatch>> watches_;
  std::unordered_map<AvahiTimeout*, std::shared_ptr<AvahiTimeout>> timeouts_;
};

}  // namespace orvo::platform::avahi
