#include "platform/linux/avahi/AsioAvahiPoll.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>

using orvo::platform::avahi::AsioAvahiPoll;

// Avahi leaves the watch and timeout types to the main-loop implementation.
struct AvahiWatch {
  AvahiWatch(asio::io_context& context, AsioAvahiPoll& poll) : descriptor(context), owner(&poll) {}

  // Waits on our own duplicate of Avahi's descriptor: libdbus watches one socket twice
  // (reading and writing), and epoll refuses a second registration of one descriptor.
  // Closing the duplicate never closes Avahi's descriptor.
  asio::posix::stream_descriptor descriptor;
  AsioAvahiPoll* owner;
  int fd = -1;  // Avahi's descriptor, handed back to the callback
  int events = 0;
  AvahiWatchCallback callback = nullptr;
  void* userdata = nullptr;
  int happened = 0;  // what the running callback was told
  bool freed = false;
  bool broken = false;  // the reactor refused the descriptor; no more waits
  bool checkQueued = false;
  bool readWaiting = false;
  bool writeWaiting = false;
};

struct AvahiTimeout {
  AvahiTimeout(asio::io_context& context, AsioAvahiPoll& poll) : timer(context), owner(&poll) {}

  asio::steady_timer timer;
  AsioAvahiPoll* owner;
  AvahiTimeoutCallback callback = nullptr;
  void* userdata = nullptr;
  // Bumped on every update, so a completion queued for an earlier deadline does nothing.
  std::uint64_t generation = 0;
  bool freed = false;
};

namespace orvo::platform::avahi {
namespace {

void scheduleCheck(const std::shared_ptr<AvahiWatch>& watch);

void armWait(const std::shared_ptr<AvahiWatch>& watch, asio::posix::descriptor_base::wait_type type,
             bool AvahiWatch::*waiting) {
  if ((*watch).*waiting) return;
  (*watch).*waiting = true;
  watch->descriptor.async_wait(type, [weak = std::weak_ptr(watch), waiting](const std::error_code& error) {
    auto self = weak.lock();
    if (!self) return;
    (*self).*waiting = false;
    if (self->freed || error == asio::error::operation_aborted) return;
    if (error) self->broken = true;
    scheduleCheck(self);
  });
}

// Asks poll(2) what is ready now and tells Avahi; otherwise waits for readiness. A wait
// only says "readable" or "writable"; poll(2) gives Avahi the exact events (hang-up and
// error included) and keeps the level-triggered meaning Avahi expects, whatever the
// reactor does underneath.
void check(const std::shared_ptr<AvahiWatch>& watch) {
  if (watch->freed || watch->events == 0) return;
  pollfd entry{watch->descriptor.native_handle(), static_cast<short>(watch->events), 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, 0);
  } while (ready < 0 && errno == EINTR);
  int happened = ready > 0 ? entry.revents & (watch->events | POLLERR | POLLHUP) : 0;
  if (happened == 0 && watch->broken) happened = POLLERR;
  if (happened != 0) {
    watch->happened = happened;
    watch->callback(watch.get(), watch->fd, static_cast<AvahiWatchEvent>(happened), watch->userdata);
    watch->happened = 0;
    // Level-triggered: look again on the next turn, after other handlers had theirs.
    scheduleCheck(watch);
    return;
  }
  if (watch->broken) return;
  if (watch->events & AVAHI_WATCH_IN) armWait(watch, asio::posix::descriptor_base::wait_read, &AvahiWatch::readWaiting);
  if (watch->events & AVAHI_WATCH_OUT) {
    armWait(watch, asio::posix::descriptor_base::wait_write, &AvahiWatch::writeWaiting);
  }
}

void scheduleCheck(const std::shared_ptr<AvahiWatch>& watch) {
  if (watch->freed || watch->checkQueued) return;
  watch->checkQueued = true;
  asio::post(watch->descriptor.get_executor(), [weak = std::weak_ptr(watch)] {
    auto self = weak.lock();
    if (!self) return;
    self->checkQueued = false;
    check(self);
  });
}

std::chrono::steady_clock::duration untilWallTime(const struct timeval& when) {
  // Avahi's deadlines are absolute gettimeofday() times.
  struct timeval now {};
  ::gettimeofday(&now, nullptr);
  auto delay = std::chrono::seconds(when.tv_sec - now.tv_sec) + std::chrono::microseconds(when.tv_usec - now.tv_usec);
  return delay.count() > 0 ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(delay)
                           : std::chrono::steady_clock::duration::zero();
}

void armTimeout(const std::shared_ptr<AvahiTimeout>& timeout, const struct timeval* when) {
  ++timeout->generation;
  timeout->timer.cancel();
  if (!when) return;
  timeout->timer.expires_after(untilWallTime(*when));
  timeout->timer.async_wait(
      [weak = std::weak_ptr(timeout), generation = timeout->generation](const std::error_code& error) {
        auto self = weak.lock();
        if (!self || self->freed || error || self->generation != generation) return;
        ++self->generation;  // fired: disabled until updated
        self->callback(self.get(), self->userdata);
      });
}

}  // namespace

AsioAvahiPoll::AsioAvahiPoll(asio::io_context& context) : context_(context) {
  api_.userdata = this;
  api_.watch_new = &AsioAvahiPoll::watchNew;
  api_.watch_update = &AsioAvahiPoll::watchUpdate;
  api_.watch_get_events = &AsioAvahiPoll::watchGetEvents;
  api_.watch_free = &AsioAvahiPoll::watchFree;
  api_.timeout_new = &AsioAvahiPoll::timeoutNew;
  api_.timeout_update = &AsioAvahiPoll::timeoutUpdate;
  api_.timeout_free = &AsioAvahiPoll::timeoutFree;
}

AsioAvahiPoll::~AsioAvahiPoll() {
  for (auto& [raw, watch] : watches_) {
    watch->freed = true;
    std::error_code ignored;
    watch->descriptor.close(ignored);
  }
  for (auto& [raw, timeout] : timeouts_) {
    timeout->freed = true;
    timeout->timer.cancel();
  }
}

AvahiWatch* AsioAvahiPoll::watchNew(const AvahiPoll* api, int fd, AvahiWatchEvent events, AvahiWatchCallback callback,
                                    void* userdata) {
  auto& self = *static_cast<AsioAvahiPoll*>(api->userdata);
  int duplicate = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) return nullptr;
  auto watch = std::make_shared<AvahiWatch>(self.context_, self);
  std::error_code error;
  watch->descriptor.assign(duplicate, error);
  if (error) {
    ::close(duplicate);
    return nullptr;
  }
  watch->fd = fd;
  watch->events = events;
  watch->callback = callback;
  watch->userdata = userdata;
  self.watches_.emplace(watch.get(), watch);
  scheduleCheck(watch);
  return watch.get();
}

void AsioAvahiPoll::watchUpdate(AvahiWatch* watch, AvahiWatchEvent events) {
  watch->events = events;
  auto& watches = watch->owner->watches_;
  if (auto found = watches.find(watch); found != watches.end()) scheduleCheck(found->second);
}

AvahiWatchEvent AsioAvahiPoll::watchGetEvents(AvahiWatch* watch) {
  return static_cast<AvahiWatchEvent>(watch->happened);
}

void AsioAvahiPoll::watchFree(AvahiWatch* watch) {
  watch->freed = true;
  watch->events = 0;
  std::error_code ignored;
  watch->descriptor.close(ignored);
  // A callback that frees its own watch still holds it until the callback returns.
  watch->owner->watches_.erase(watch);
}

AvahiTimeout* AsioAvahiPoll::timeoutNew(const AvahiPoll* api, const struct timeval* when, AvahiTimeoutCallback callback,
                                        void* userdata) {
  auto& self = *static_cast<AsioAvahiPoll*>(api->userdata);
  auto timeout = std::make_shared<AvahiTimeout>(self.context_, self);
  timeout->callback = callback;
  timeout->userdata = userdata;
  self.timeouts_.emplace(timeout.get(), timeout);
  armTimeout(timeout, when);
  return timeout.get();
}

void AsioAvahiPoll::timeoutUpdate(AvahiTimeout* timeout, const struct timeval* when) {
  auto& timeouts = timeout->owner->timeouts_;
  if (auto found = timeouts.find(timeout); found != timeouts.end()) armTimeout(found->second, when);
}

void AsioAvahiPoll::timeoutFree(AvahiTimeout* timeout) {
  timeout->freed = true;
  ++timeout->generation;
  timeout->timer.cancel();
  timeout->owner->timeouts_.erase(timeout);
}

}  // namespace orvo::platform::avahi
