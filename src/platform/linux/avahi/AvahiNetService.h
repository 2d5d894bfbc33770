#pragma once

#include <asio/steady_timer.hpp>
#include <memory>
#include <optional>
#include <string>

#include "platform/ServiceDiscovery.h"
#include "platform/linux/avahi/AvahiConnection.h"

namespace orvo::platform::avahi {

// One advertised service: one Avahi entry group holding one service entry. Main queue
// only (see AvahiServiceDiscovery). Delegate callbacks are queued on the main queue and
// dropped if the service is stopped or destroyed before they run.
class AvahiNetService final : public NetService, private ClientUser {
 public:
  // A renamed service tries its own name again after `reclaimDelay` seconds (doubling).
  AvahiNetService(std::shared_ptr<AvahiConnection> connection, std::string domain, std::string type, std::string name,
                  std::uint16_t port, double reclaimDelay);
  ~AvahiNetService() override;
  AvahiNetService(const AvahiNetService&) = delete;
  AvahiNetService& operator=(const AvahiNetService&) = delete;

  void setDelegate(Delegate delegate) override { delegate_ = std::move(delegate); }
  std::string name() const override { return name_; }
  std::string type() const override { return type_; }
  std::string domain() const override { return domain_; }
  std::uint16_t port() const override { return port_; }
  void setTXTRecord(const TXTRecord& record) override;
  void publish() override;
  void stop() override;

 private:
  void clientRunning(AvahiClient* client) override;
  void clientLost() override;

  static void groupCallback(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata);
  void handleGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state);
  void registerWith(AvahiClient* client);
  // Adds the service entry to `group` and commits it, renaming on local collisions.
  // Returns 0 or the Avahi error.
  int addAndCommit(AvahiEntryGroup* group);
  void rename();
  // While renamed: after the delay, registers again under the own name.
  void scheduleReclaim();
  void reclaim();
  void withdraw();
  void failed(int avahiError);
  void notifyPublished();
  void notifyNotPublished(std::string reason);
  const char* avahiDomainOrNull() const { return avahiDomain_ ? avahiDomain_->c_str() : nullptr; }

  std::shared_ptr<AvahiConnection> connection_;
  std::string domain_;
  std::string type_;
  std::string ownName_;  // the name asked for
  std::string name_;     // the name registered (an alternative after a collision)
  std::uint16_t port_;
  double reclaimDelay_;
  double nextReclaimDelay_;
  asio::steady_timer reclaimTimer_;
  std::string avahiType_;
  std::optional<std::string> avahiDomain_;
  TXTRecord txt_;
  Delegate delegate_;
  // Published and not stopped: register whenever the daemon runs.
  bool wanted_ = false;
  EntryGroupHandle group_;
  // The entry is in the group, so the TXT record can be updated in place.
  bool added_ = false;
  // Queued delegate calls carry a weak reference to this; stop() replaces it.
  std::shared_ptr<bool> token_ = std::make_shared<bool>();
};

}  // namespace orvo::platform::avahi
