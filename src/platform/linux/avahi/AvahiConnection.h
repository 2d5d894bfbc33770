#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Log.h"
#include "platform/linux/avahi/AsioAvahiPoll.h"
#include "platform/linux/avahi/AvahiHandles.h"

namespace orvo::platform::avahi {

// Something kept on the daemon (an entry group, a browser) that has to be made again
// whenever a client becomes usable. Called on the main queue.
class ClientUser {
 public:
  // The client is running: make (or make again) what is wanted.
  virtual void clientRunning(AvahiClient* client) = 0;
  // The client stopped being usable (daemon gone or re-registering its host name):
  // free every object made from it now, before the client itself may be freed.
  virtual void clientLost() = 0;

 protected:
  ~ClientUser() = default;
};

// The one Avahi client of the process and its life across daemon restarts. Created with
// AVAHI_CLIENT_NO_FAIL, so it waits for a daemon that is not running yet; when the daemon
// goes away the client is replaced by a fresh one that waits for it to come back, and
// the attached users are told to let go and, later, to register again.
//
// Shared by the discovery object and every service and browser it made, so those may
// outlive the discovery. Everything runs on the main queue (the io_context's thread);
// Avahi callbacks only queue a look at the client's state, which keeps Avahi from being
// re-entered or freed inside its own callbacks.
class AvahiConnection : public std::enable_shared_from_this<AvahiConnection> {
 public:
  static std::shared_ptr<AvahiConnection> create(asio::io_context& context, Logger& logger);
  ~AvahiConnection();
  AvahiConnection(const AvahiConnection&) = delete;
  AvahiConnection& operator=(const AvahiConnection&) = delete;

  asio::io_context& context() { return context_; }
  Logger& logger() { return logger_; }

  // The client while it is running, else null. Asks the client itself, so a client that
  // has just failed is not handed out before the queued reconcile has seen it.
  AvahiClient* runningClient() const;
  // Why nothing can be registered now ("Daemon not running", ...), or nothing when the
  // daemon is there (running, or about to run after registering its host name).
  std::optional<std::string> unavailableReason() const;

  // Users are told about every change until they detach; attach does not call back.
  void attach(ClientUser& user);
  void detach(ClientUser& user);

 private:
  struct Private {};

 public:
  AvahiConnection(Private, asio::io_context& context, Logger& logger);

 private:
  static void clientCallback(AvahiClient* client, AvahiClientState state, void* userdata);
  void connect();
  void connectLater();
  void queueReconcile();
  void reconcile();
  void setRunning(bool running);

  asio::io_context& context_;
  Logger& logger_;
  AsioAvahiPoll poll_;  // declared before the client: it must outlive it
  asio::steady_timer retryTimer_;
  ClientHandle client_;
  int lastError_ = 0;
  bool running_ = false;
  bool reconcileQueued_ = false;
  // Whether the current client ever reached the daemon; a client that fails before that
  // is replaced after a pause rather than at once.
  bool reachedDaemon_ = false;
  // The last attempt could not even make a client (no system bus); logged once.
  bool busMissing_ = false;
  std::vector<ClientUser*> users_;
};

}  // namespace orvo::platform::avahi
