#include "host/OrvoHost.h"

#include "core/Clock.h"
#include "core/Coding.h"
#include "core/Log.h"
#include "environment/HostPowerLockObserver.h"
#include "pairing/OrvoPairingStore.h"
#include "platform/HostInfo.h"
#include "platform/SettingsStore.h"
#include "platform/WindowActivation.h"

namespace orvo {
namespace {

constexpr const char* kDiscoverableKey = "OrvoHost.isDiscoverable";
constexpr const char* kHostIdKey = "OrvoHost.hostId";
constexpr const char* kAllowControlKey = "allowControlThisMac";

}  // namespace

std::shared_ptr<OrvoHost> OrvoHost::create(const OrvoHostServices& services) {
  std::shared_ptr<OrvoHost> host(new OrvoHost(services));
  host->start();
  return host;
}

OrvoHost::OrvoHost(const OrvoHostServices& services)
    : services_(services),
      pairingStore_(std::make_unique<OrvoPairingStore>(OrvoPairingRole::host, services.settings, services.secrets,
                                                       services.clock, services.collator, services.logger)),
      lastClientPingAt_(services.clock.now()),
      powerLockObserver_(std::make_unique<HostPowerLockObserver>(services.main, services.powerLockEvents)),
      pairingPinExpiresAt_(kDistantPast),
      pairingGuard_(std::make_unique<PairingGuard>(PairingGuard::Limits{}, services.clock.now())),
      focusStateQueue_(services.queues.makeSerialQueue("orvo.host.focusState", QueuePriority::unspecified)),
      sendQueue_(services.queues.makeSerialQueue("orvo.host.send", QueuePriority::userInitiated)),
      clickTrackingQueue_(services.queues.makeSerialQueue("orvo.host.clickTracking", QueuePriority::unspecified)),
      captureQueue_(services.queues.makeSerialQueue("orvo.capture", QueuePriority::userInitiated)),
      streamStateQueue_(services.queues.makeSerialQueue("orvo.host.streamState", QueuePriority::unspecified)) {
  // Before didFinishInit the assignment only stores the value.
  if (const auto stored = services_.settings.value(kDiscoverableKey)) {
    const bool value = stored->is_boolean() ? stored->get<bool>() : (stored->is_number() && stored->get<double>() != 0);
    isDiscoverable_.set(value);
  }
  remoteControlAllowed_.set(allowControlThisMac());
}

void OrvoHost::start() {
  didFinishInit_ = true;
  refusalLog_ = std::make_unique<LogThrottle>(
      services_.logger, refusalLogPeriod, refusalLinesPerPeriod, [weak = weak_from_this()](double seconds) {
        auto self = weak.lock();
        if (!self) return;
        self->services_.main.asyncAfter(seconds, [weak] {
          if (auto host = weak.lock()) host->refusalLog_->flush(host->services_.clock.now());
        });
      });
  regeneratePairingCode();
  applyDiscoverable();
  // Every announcement of the peer list, the first included, rebuilds the session listener
  // on a later turn of the main queue so that its key set matches the store.
  pairingCancellable_ = pairingStore_->paired().subscribe([this, weak = weak_from_this()](const auto&) {
    services_.main.async([weak] {
      if (auto self = weak.lock()) self->restartListener();
    });
  });
  installPowerLockCallbacks();
  startListener();
  auto& hostInfo = services_.hostInfo;
  logLine(services_.logger, "OrvoHost PID:", hostInfo.processId());
  logLine(services_.logger, "Bundle:", hostInfo.bundlePath().value_or("nil"));
  logLine(services_.logger, "Executable:", hostInfo.executablePath().value_or("nil"));
}

OrvoHost::~OrvoHost() {
  // Nothing may call back into a host that is gone: detach from every network object.
  if (listener_) {
    listener_->setStateHandler({});
    listener_->setNewConnectionHandler({});
    listener_->cancel();
  }
  if (pairingListener_) {
    pairingListener_->setStateHandler({});
    pairingListener_->setNewConnectionHandler({});
    pairingListener_->cancel();
  }
  if (auto connection = connection_.load()) {
    connection->setStateHandler({});
    connection->cancel();
  }
  for (auto& [key, pending] : pendingHandshakes_) {
    pending.connection->setStateHandler({});
    pending.connection->cancel();
  }
  for (auto& [key, pairing] : pairingConnections_) {
    pairing.connection->setStateHandler({});
    pairing.connection->cancel();
  }
}

HostQueues OrvoHost::queues() {
  return HostQueues{*sendQueue_, *captureQueue_, *focusStateQueue_, *streamStateQueue_, *clickTrackingQueue_};
}

void OrvoHost::setStatus(std::string text) { statusText_.set(std::move(text)); }

std::string OrvoHost::hostName() { return services_.hostInfo.localizedName().value_or("Mac"); }

void OrvoHost::setDiscoverable(bool discoverable) {
  isDiscoverable_.set(discoverable);
  if (didFinishInit_) applyDiscoverable();
}

void OrvoHost::applyDiscoverable() {
  services_.settings.setValue(kDiscoverableKey, *isDiscoverable_);
  if (*isDiscoverable_) {
    startListener();
    startPairingListener();
    if (listener_ && listener_->port() && !netService_) publishService(*listener_->port());
    return;
  }
  shutdown();
  setStatus("Not discoverable");
}

void OrvoHost::shutdown() {
  publishedNames_.clear();
  if (netService_) {
    netService_->stop();
    netService_.reset();
  }
  if (pairingNetService_) {
    pairingNetService_->stop();
    pairingNetService_.reset();
  }
  stopPairingListener();
  pairingListenerPort_.reset();
  if (auto connection = connection_.load()) {
    connection->setStateHandler({});
    connection->cancel();
  }
  cancelPendingHandshakes();
  resetSessionState();
  if (listener_) {
    listener_->setStateHandler({});
    listener_->setNewConnectionHandler({});
    listener_->cancel();
    listener_.reset();
  }
}

const std::string& OrvoHost::hostId() {
  if (!hostId_) {
    auto stored = services_.settings.string(kHostIdKey);
    if (stored && !stored->empty()) {
      hostId_ = std::move(*stored);
    } else {
      hostId_ = makeUUIDString(services_.random);
      services_.settings.setValue(kHostIdKey, *hostId_);
    }
  }
  return *hostId_;
}

bool OrvoHost::allowControlThisMac() const { return services_.settings.boolean(kAllowControlKey).value_or(false); }

void OrvoHost::setAllowControlThisMac(bool allowed) {
  services_.settings.setValue(kAllowControlKey, allowed);
  if (*remoteControlAllowed_ != allowed) remoteControlAllowed_.set(allowed);
}

bool OrvoHost::isRemoteControlPermitted() { return allowControlThisMac() && services_.activation.isTrusted(); }

}  // namespace orvo
