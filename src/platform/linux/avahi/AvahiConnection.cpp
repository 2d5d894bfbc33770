#include "platform/linux/avahi/AvahiConnection.h"

#include <avahi-common/error.h>

#include <algorithm>
#include <asio/post.hpp>
#include <chrono>

namespace orvo::platform::avahi {
namespace {
// Pause before a new client when the last one could not reach the bus or the daemon.
constexpr std::chrono::seconds kRetryPause{5};
}  // namespace

std::shared_ptr<AvahiConnection> AvahiConnection::create(asio::io_context& context, Logger& logger) {
  auto connection = std::make_shared<AvahiConnection>(Private{}, context, logger);
  connection->connect();
  return connection;
}

AvahiConnection::AvahiConnection(Private, asio::io_context& context, Logger& logger)
    : context_(context), logger_(logger), poll_(context), retryTimer_(context) {}

AvahiConnection::~AvahiConnection() {
  retryTimer_.cancel();
  client_.reset();
}

AvahiClient* AvahiConnection::runningClient() const {
  if (!running_ || !client_ || avahi_client_get_state(client_.get()) != AVAHI_CLIENT_S_RUNNING) return nullptr;
  return client_.get();
}

std::optional<std::string> AvahiConnection::unavailableReason() const {
  if (!client_) return errorText(lastError_);
  switch (avahi_client_get_state(client_.get())) {
    case AVAHI_CLIENT_CONNECTING:
      return errorText(AVAHI_ERR_NO_DAEMON);
    case AVAHI_CLIENT_FAILURE:
      return errorText(avahi_client_errno(client_.get()));
    default:
      return std::nullopt;
  }
}

void AvahiConnection::attach(ClientUser& user) { users_.push_back(&user); }

void AvahiConnection::detach(ClientUser& user) { std::erase(users_, &user); }

void AvahiConnection::clientCallback(AvahiClient*, AvahiClientState, void* userdata) {
  // Also called from inside avahi_client_new, before client_ is set: only queue a look.
  static_cast<AvahiConnection*>(userdata)->queueReconcile();
}

void AvahiConnection::connect() {
  int error = 0;
  reachedDaemon_ = false;
  client_.reset(avahi_client_new(poll_.get(), AVAHI_CLIENT_NO_FAIL, &AvahiConnection::clientCallback, this, &error));
  if (!client_) {
    // Even with NO_FAIL the client needs the system bus itself. Said once per outage.
    if (!busMissing_) logLine(logger_, "OrvoHost: Avahi client unavailable:", errorText(error));
    busMissing_ = true;
    lastError_ = error;
    connectLater();
    return;
  }
  busMissing_ = false;
  queueReconcile();
}

void AvahiConnection::connectLater() {
  retryTimer_.expires_after(kRetryPause);
  retryTimer_.async_wait([weak = weak_from_this()](const std::error_code& cancelled) {
    if (auto self = weak.lock(); self && !cancelled) self->connect();
  });
}

void AvahiConnection::queueReconcile() {
  if (reconcileQueued_) return;
  reconcileQueued_ = true;
  asio::post(context_, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->reconcileQueued_ = false;
      self->reconcile();
    }
  });
}

void AvahiConnection::reconcile() {
  if (!client_) return;
  switch (avahi_client_get_state(client_.get())) {
    case AVAHI_CLIENT_S_RUNNING:
      reachedDaemon_ = true;
      setRunning(true);
      break;
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_COLLISION:
      // The daemon is (re)registering its host name; entries are registered again once
      // it runs.
      reachedDaemon_ = true;
      setRunning(false);
      break;
    case AVAHI_CLIENT_CONNECTING:
      setRunning(false);
      break;
    case AVAHI_CLIENT_FAILURE: {
      lastError_ = avahi_client_errno(client_.get());
      logLine(logger_, "OrvoHost: Avahi daemon connection lost:", errorText(lastError_));
      setRunning(false);
      bool wasConnected = reachedDaemon_;
      client_.reset();
      if (wasConnected) {
        connect();  // waits for the daemon to come back
      } else {
        connectLater();
      }
      break;
    }
  }
}

void AvahiConnection::setRunning(bool running) {
  if (running == running_) return;
  running_ = running;
  // Users only touch Avahi here (delegates are queued), but iterate over a copy so that
  // an attach or detach during the walk cannot invalidate it.
  auto users = users_;
  for (ClientUser* user : users) {
    if (std::find(users_.begin(), users_.end(), user) == users_.end()) continue;
    if (running) {
      user->clientRunning(client_.get());
    } else {
      user->clientLost();
    }
  }
}

}  // namespace orvo::platform::avahi
