#include "platform/linux/avahi/AvahiNetService.h"

#include <avahi-common/error.h>

#include <algorithm>
#include <asio/post.hpp>
#include <chrono>
#include <exception>

namespace orvo::platform::avahi {
namespace {
// Renames tried in a row for local collisions before giving up.
constexpr int kMaxRenames = 32;
}  // namespace

AvahiNetService::AvahiNetService(std::shared_ptr<AvahiConnection> connection, std::string domain, std::string type,
                                 std::string name, std::uint16_t port, double reclaimDelay)
    : connection_(std::move(connection)),
      domain_(std::move(domain)),
      type_(std::move(type)),
      ownName_(name),
      name_(std::move(name)),
      port_(port),
      reclaimDelay_(reclaimDelay),
      nextReclaimDelay_(reclaimDelay),
      reclaimTimer_(connection_->context()),
      avahiType_(avahiServiceType(type_)),
      avahiDomain_(avahi::avahiDomain(domain_)) {
  connection_->attach(*this);
}

AvahiNetService::~AvahiNetService() {
  connection_->detach(*this);
  withdraw();
}

void AvahiNetService::publish() {
  if (wanted_) return;
  wanted_ = true;
  if (AvahiClient* client = connection_->runningClient()) {
    registerWith(client);
  } else if (auto reason = connection_->unavailableReason()) {
    // Registered by clientRunning() once the daemon is there.
    notifyNotPublished(*reason);
  }
}

void AvahiNetService::stop() {
  wanted_ = false;
  withdraw();
  token_ = std::make_shared<bool>();
}

void AvahiNetService::withdraw() {
  group_.reset();  // freeing the group withdraws the entry
  added_ = false;
  reclaimTimer_.cancel();
}

void AvahiNetService::setTXTRecord(const TXTRecord& record) {
  txt_ = record;
  if (!group_ || !added_) return;  // the next registration uses the new record
  StringListHandle list = makeStringList(txt_);
  int error = avahi_entry_group_update_service_txt_strlst(group_.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                          AvahiPublishFlags(0), name_.c_str(), avahiType_.c_str(),
                                                          avahiDomainOrNull(), list.get());
  if (error < 0) logLine(connection_->logger(), "OrvoHost: TXT record update failed:", errorText(error));
}

void AvahiNetService::clientRunning(AvahiClient* client) {
  if (wanted_ && !group_) registerWith(client);
}

void AvahiNetService::clientLost() { withdraw(); }

void AvahiNetService::registerWith(AvahiClient* client) {
  // A new registration asks for the own name; a conflict of the past may be over.
  name_ = ownName_;
  nextReclaimDelay_ = reclaimDelay_;
  // The first state callback comes from inside avahi_entry_group_new, before group_ is
  // set; handleGroupState works on the group it is given.
  group_.reset(avahi_entry_group_new(client, &AvahiNetService::groupCallback, this));
  if (!group_) {
    failed(avahi_client_errno(client));
    return;
  }
  if (int error = addAndCommit(group_.get()); error < 0) failed(error);
}

int AvahiNetService::addAndCommit(AvahiEntryGroup* group) {
  StringListHandle list = makeStringList(txt_);
  for (int renames = 0;; ++renames) {
    int error = avahi_entry_group_add_service_strlst(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                     name_.c_str(), avahiType_.c_str(), avahiDomainOrNull(), nullptr,
                                                     port_, list.get());
    if (error == AVAHI_ERR_COLLISION && renames < kMaxRenames) {
      rename();
      continue;
    }
    if (error < 0) return error;
    break;
  }
  added_ = true;
  return avahi_entry_group_commit(group);
}

void AvahiNetService::groupCallback(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
  static_cast<AvahiNetService*>(userdata)->handleGroupState(group, state);
}

void AvahiNetService::handleGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state) {
  switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
      if (name_ == ownName_) {
        nextReclaimDelay_ = reclaimDelay_;
      } else {
        scheduleReclaim();
      }
      notifyPublished();
      break;
    case AVAHI_ENTRY_GROUP_COLLISION: {
      // Another host claims the name: take the next one and register again in the same
      // group (resetting is allowed here; freeing the group is not).
      rename();
      avahi_entry_group_reset(group);
      added_ = false;
      if (int error = addAndCommit(group); error < 0) failed(error);
      break;
    }
    case AVAHI_ENTRY_GROUP_FAILURE:
      failed(avahi_client_errno(avahi_entry_group_get_client(group)));
      break;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
      break;
  }
}

void AvahiNetService::rename() {
  name_ = alternativeServiceName(name_);
  logLine(connection_->logger(), "OrvoHost: service name collision, renamed to", name_);
}

void AvahiNetService::scheduleReclaim() {
  reclaimTimer_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(nextReclaimDelay_)));
  reclaimTimer_.async_wait([this, alive = std::weak_ptr(token_)](const std::error_code& error) {
    if (error || alive.expired()) return;
    reclaim();
  });
  nextReclaimDelay_ = std::min(nextReclaimDelay_ * 2, reclaimDelay_ * 32);
}

void AvahiNetService::reclaim() {
  if (!wanted_ || !group_ || name_ == ownName_) return;
  // Register again under the own name: Avahi probes it, and a claimant still there makes
  // it collide again (and the alternative is taken again).
  logLine(connection_->logger(), "OrvoHost: asking for the service name", ownName_, "again");
  name_ = ownName_;
  avahi_entry_group_reset(group_.get());
  added_ = false;
  if (int error = addAndCommit(group_.get()); error < 0) failed(error);
}

void AvahiNetService::failed(int avahiError) {
  // A lost daemon is not the service's fault: it is registered again when the daemon
  // returns. Anything else (bad name or type, a refused record) is final.
  if (avahiError != AVAHI_ERR_DISCONNECTED && avahiError != AVAHI_ERR_NO_DAEMON) wanted_ = false;
  added_ = false;
  notifyNotPublished(errorText(avahiError));
}

void AvahiNetService::notifyPublished() {
  asio::post(connection_->context(), [this, alive = std::weak_ptr(token_)] {
    if (alive.expired() || !delegate_.didPublish) return;
    try {
      delegate_.didPublish(*this);
    } catch (const std::exception& error) {
      logLine(connection_->logger(), "OrvoHost: service delegate threw:", error.what());
    }
  });
}

void AvahiNetService::notifyNotPublished(std::string reason) {
  asio::post(connection_->context(), [this, alive = std::weak_ptr(token_), reason = std::move(reason)] {
    if (alive.expired() || !delegate_.didNotPublish) return;
    try {
      delegate_.didNotPublish(*this, reason);
    } catch (const std::exception& error) {
      logLine(connection_->logger(), "OrvoHost: service delegate threw:", error.what());
    }
  });
}

}  // namespace orvo::platform::avahi
