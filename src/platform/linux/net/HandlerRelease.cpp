#include "platform/linux/net/HandlerRelease.h"

#include <algorithm>

namespace orvo::platform {

HandlerReleaseService::HandlerReleaseService(asio::execution_context& context) : service(context) {}

void HandlerReleaseService::track(std::weak_ptr<HandlerOwner> owner) {
  std::lock_guard lock(mutex_);
  owners_.push_back(std::move(owner));
  if (owners_.size() < sweepAt_) return;
  // Forget the ones that are gone; sweeping again only after the list doubled keeps
  // tracking cheap however many connections come and go.
  std::erase_if(owners_, [](const std::weak_ptr<HandlerOwner>& entry) { return entry.expired(); });
  sweepAt_ = std::max<std::size_t>(64, owners_.size() * 2);
}

void HandlerReleaseService::shutdown() {
  std::vector<std::weak_ptr<HandlerOwner>> owners;
  {
    std::lock_guard lock(mutex_);
    owners.swap(owners_);
  }
  for (const std::weak_ptr<HandlerOwner>& entry : owners) {
    if (std::shared_ptr<HandlerOwner> owner = entry.lock()) owner->releaseHandlers();
  }
}

}  // namespace orvo::platform
