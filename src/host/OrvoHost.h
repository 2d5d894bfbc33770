#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Bytes.h"
#include "core/Published.h"
#include "core/Queues.h"
#include "core/SharedSlot.h"
#include "host/ControlMessages.h"
#include "host/HostConstants.h"
#include "host/LogThrottle.h"
#include "host/PairingGuard.h"
#include "host/SessionHandlers.h"
#include "platform/Network.h"
#include "platform/ServiceDiscovery.h"

namespace orvo {

class Clock;
class HostPowerLockObserver;
class Logger;
class NameCollator;
class OrvoPairingStore;
class RandomSource;
namespace platform {
class HostInfo;
class PowerLockEvents;
class SecretStore;
class SettingsStore;
class SleepInhibitor;
class WindowActivation;
}  // namespace platform

// Everything the host talks to. All references must outlive the host.
struct OrvoHostServices {
  MainQueue& main;
  QueueFactory& queues;
  const Clock& clock;
  Logger& logger;
  RandomSource& random;
  platform::SettingsStore& settings;
  platform::SecretStore& secrets;
  platform::HostInfo& hostInfo;
  platform::Network& network;
  platform::ServiceDiscovery& discovery;
  platform::WindowActivation& activation;
  platform::SleepInhibitor& sleepInhibitor;
  const NameCollator& collator;
  platform::PowerLockEvents& powerLockEvents;
};

// The host's serial queues, created with the host and living as long as it.
struct HostQueues {
  SerialQueue& send;           // "orvo.host.send": every write to the session connection
  SerialQueue& capture;        // "orvo.capture": snapshot pump, capture, scaling, encoding
  SerialQueue& focusState;     // "orvo.host.focusState": active window, capture modes, focus throttle
  SerialQueue& streamState;    // "orvo.host.streamState": input and refine times
  SerialQueue& clickTracking;  // "orvo.host.clickTracking": multi-click detection
};

// The one controller of the host: listeners and their advertisements, the one client
// session with its control channel, message dispatch, client liveness, the pairing code
// and pairing listener, pairing tokens, and the awake/lock state. Streaming and input are
// served through the handlers attached with attachHandlers().
//
// Threading: everything here runs on the main queue, except the SessionContext methods
// that say otherwise. Closures handed to listeners, connections, timers and
// subscriptions hold the host weakly and do nothing once it is gone.
class OrvoHost final : public SessionContext, public std::enable_shared_from_this<OrvoHost> {
 public:
  // Builds the host and runs its start-up: persisted discoverability, first pairing code,
  // listeners and advertisements (started asynchronously), the pairing-store
  // subscription, and the three start-up log lines. Main queue.
  static std::shared_ptr<OrvoHost> create(const OrvoHostServices& services);
  ~OrvoHost() override;
  OrvoHost(const OrvoHost&) = delete;
  OrvoHost& operator=(const OrvoHost&) = delete;

  void attachHandlers(SessionHandlers handlers) { handlers_ = handlers; }
  HostQueues queues();

  // Published state, for the panel and the control command.
  const Published<std::string>& statusText() const { return statusText_; }
  const Published<bool>& isDiscoverable() const { return isDiscoverable_; }
  const Published<std::string>& pairingPIN() const { return pairingPIN_; }
  const Published<double>& pairingPinExpiresAt() const { return pairingPinExpiresAt_; }
  const Published<std::optional<std::string>>& connectedClientPairingID() const { return connectedClientPairingID_; }
  const Published<std::optional<std::string>>& lastPairingToken() const { return lastPairingToken_; }
  OrvoPairingStore& pairingStore() { return *pairingStore_; }

  // Host controller.
  void setDiscoverable(bool discoverable);
  void applyDiscoverable();
  const std::string& hostId();
  // The persisted "allowControlThisMac" setting (absent reads as false).
  bool allowControlThisMac() const;
  // The same setting, announced on every change made through setAllowControlThisMac.
  const Published<bool>& remoteControlAllowed() const { return remoteControlAllowed_; }
  void setAllowControlThisMac(bool allowed);
  // Orderly stop: withdraws both advertisements, closes the listeners and every
  // connection. The host stays usable (setDiscoverable(true) starts again).
  void shutdown();

  // Session listener and advertisement.
  void startListener();
  void restartListener();
  void publishService(std::uint16_t port);
  // The name under which the service of this type ("_orvo._tcp.", "_orvopair._tcp.") is
  // published now, as the daemon confirmed it (an alternative after a name conflict), or
  // none while it is not published.
  std::optional<std::string> publishedName(const std::string& type) const;
  void refreshAdvertisedTXT();
  void republishServiceIfNeeded();
  void resetSessionState();
  void disconnectClient(const std::string& reason);
  bool isClientConnected(const std::string& pairingID) const;
  bool hasConnection() const { return currentConnection() != nullptr; }
  // The session listener's port once it listens.
  std::optional<std::uint16_t> listenerPort() const { return listener_ ? listener_->port() : std::nullopt; }

  // Control channel.
  void ingestReceivedData(const std::uint8_t* data, std::size_t size);
  void sendLine(const std::string& text);
  void sendMessage(const WindowListMessage& message) override;
  void sendMessage(const InputRejectedMessage& message) override;
  std::shared_ptr<platform::Connection> currentConnection() const override;
  bool isRemoteControlPermitted() override;

  // Dispatch.
  void handleMessageLine(const std::string& line);
  static bool isRemoteControlMessageType(const std::string& type);
  void handleRequest(const OrvoRequest& request);

  // Client liveness.
  void handleClientHello(const ClientHelloMessage& hello);
  void startClientPingMonitor();
  void checkClientLiveness();
  bool clientIsVisible() const { return clientIsVisible_; }

  // PIN pairing.
  // A new code, salt and expiry, and a pairing listener keyed from them (at start, on
  // expiry, after a pairing). The guard's counts carry over: see PairingGuard.
  void regeneratePairingCode();
  // The person asked for a new code (panel, `ctl regenerate-pin`): a new code, and pairing
  // resumes if it was suspended.
  void requestNewPairingCode();
  // True once too many wrong codes were tried since the person last asked for a code;
  // nobody can pair until they ask again.
  const Published<bool>& pairingSuspended() const { return pairingSuspended_; }
  // One line on the state of pairing for `ctl status` and the panel.
  std::string pairingStateText() const;
  void checkPairingCodeExpiry();
  void startPairingListener();
  void restartPairingListener();
  void publishPairingService(std::uint16_t port);
  std::optional<std::uint16_t> pairingListenerPort() const;
  // Unpairs the devices an id, device id or display name names: drops the session opened
  // with one of their keys, abandons session handshakes begun with the old key set, then
  // removes them. Returns whether a paired device matched.
  bool revokePairing(const std::string& pairingID);
  const Bytes& pairingSalt() const { return pairingSalt_; }

  // Advanced pairing token.
  std::string generatePairingToken(const std::string& displayName);

  // Power, lock and sleep prevention.
  void updateAwakeState();
  void handleHostWillSleep();
  void handleHostDidWake();
  void handleScreenLocked();
  void handleScreenUnlocked();
  bool hostIsLockedOrAsleep() const { return hostIsLockedOrAsleep_; }
  // Sleep, wake, lock and unlock, wired to the four handlers above at start-up.
  const HostPowerLockObserver& powerLockObserver() const { return *powerLockObserver_; }

  // The computer's name as advertised ("Mac" when the system gives none).
  std::string hostName();

 private:
  // A session connection whose TLS handshake has not finished; it replaces the current
  // session only once authenticated.
  struct PendingHandshake {
    std::shared_ptr<platform::Connection> connection;
    std::string endpoint;
    std::uint64_t serial = 0;
    std::string address;  // addressKeyOf(endpoint)
  };
  // One connection of the pairing listener and the bytes of its request so far.
  struct PairingConnection {
    std::shared_ptr<platform::Connection> connection;
    Bytes data;
    bool receiveStarted = false;  // the handshake succeeded
    std::uint64_t serial = 0;
    std::string address;            // addressKeyOf the remote endpoint
    bool handshakeStarted = false;  // waits for the pairing guard's leave until then
    std::string endpoint;
  };

  explicit OrvoHost(const OrvoHostServices& services);
  void start();
  void installPowerLockCallbacks();

  // Wraps a member call so that it runs only while the host is alive.
  template <class F>
  auto weakly(F body) {
    return [weak = weak_from_this(), body = std::move(body)](auto&&... args) {
      if (auto self = weak.lock()) body(*self, std::forward<decltype(args)>(args)...);
    };
  }

  void setStatus(std::string text);
  void setConnection(std::shared_ptr<platform::Connection> connection);
  void handleListenerState(const platform::ListenerState& state);
  void handleNewConnection(std::shared_ptr<platform::Connection> connection);
  void handleConnectionState(const std::shared_ptr<platform::Connection>& connection, const std::string& endpoint,
                             const platform::ConnectionState& state);
  void promoteConnection(const std::shared_ptr<platform::Connection>& connection, const std::string& endpoint);
  void receiveNext(const std::shared_ptr<platform::Connection>& connection);
  void cancelPendingHandshakes();
  void dropPendingHandshake(const platform::Connection* key, std::uint64_t serial, const char* kind,
                            const std::string& why);
  // Lines that strangers can cause, through the throttle.
  void logRefusal(const std::string& kind, const std::string& address, const std::string& line);
  platform::TXTRecord advertisedTXT();
  void installServiceDelegate(platform::NetService& service);
  void teardownAfterSleepOrLock(const char* line);

  void handlePairingListenerState(const platform::ListenerState& state);
  void handlePairingConnection(std::shared_ptr<platform::Connection> connection);
  void handlePairingConnectionState(const std::shared_ptr<platform::Connection>& connection,
                                    const platform::ConnectionState& state);
  void handlePairingReceive(const std::shared_ptr<platform::Connection>& connection, const Bytes& data,
                            bool isComplete, const std::optional<std::string>& error);
  void receivePairingData(const std::shared_ptr<platform::Connection>& connection);
  void handlePairRequest(const std::string& clientName, const std::string& clientDeviceId,
                         const std::shared_ptr<platform::Connection>& connection);
  void closePairingConnection(const std::shared_ptr<platform::Connection>& connection);
  void stopPairingListener();
  // Starts every waiting pairing handshake that the guard lets through, closes those it
  // never will, and sets a timer for the next that may.
  void startPairingHandshakes();
  // Takes a pairing connection out (closing it unless `alreadyEnded`); a handshake it had
  // begun ends, as a failed attempt when `failed`. With `next`, waiting ones may start.
  void removePairingConnection(const platform::Connection* key, bool failed, bool alreadyEnded, bool next = true);
  // Whether a pairing connection that ends now may have tried a code: its handshake began
  // and the peer sent more than its first record.
  static bool triedACode(const PairingConnection& entry);
  void suspendPairing();
  void abandonPairingHandshakes();
  std::optional<std::string> pairingIdOf(const platform::Connection& connection) const;

  OrvoHostServices services_;
  SessionHandlers handlers_;

  // Host controller.
  Published<std::string> statusText_{"Starting…"};
  std::unique_ptr<OrvoPairingStore> pairingStore_;
  Published<std::optional<std::string>> lastPairingToken_;
  Subscription pairingCancellable_;
  Published<bool> isDiscoverable_{true};
  Published<bool> remoteControlAllowed_;
  std::optional<std::string> hostId_;
  bool didFinishInit_ = false;

  // Session listener, advertisement and the one client session.
  std::shared_ptr<platform::Listener> listener_;
  std::unique_ptr<platform::NetService> netService_;
  // Names the daemon confirmed, by service type; dropped when that service is replaced.
  std::map<std::string, std::string> publishedNames_;
  // Written on the main queue; read from the send and capture queues too.
  SharedSlot<platform::Connection> connection_;
  // The paired device whose key admitted the current connection.
  std::optional<std::string> authenticatedPairingID_;
  std::map<const platform::Connection*, PendingHandshake> pendingHandshakes_;
  std::vector<std::uint8_t> receiveBuffer_;
  std::size_t receiveScanned_ = 0;  // bytes of receiveBuffer_ already searched for a line feed
  // Ports of the last listeners, asked for again when a listener is rebuilt, so that the
  // advertised ports stay the same and clients that remember one keep reaching it.
  std::uint16_t lastListenerPort_ = 0;
  std::uint16_t lastPairingListenerPort_ = 0;

  // Client liveness.
  bool clientIsVisible_ = true;
  double lastClientPingAt_ = 0;
  TimerHandle clientPingMonitor_;

  // Power, lock and sleep prevention.
  bool awakeHeld_ = false;
  const bool preventSleepEnabled_ = true;
  bool lastAwakeShouldHold_ = false;
  bool lastAwakeKeepDisplay_ = false;
  bool hostIsLockedOrAsleep_ = false;  // screenLocked_ || asleep_
  bool screenLocked_ = false;
  bool asleep_ = false;
  std::unique_ptr<HostPowerLockObserver> powerLockObserver_;

  // PIN pairing.
  std::shared_ptr<platform::Listener> pairingListener_;
  std::unique_ptr<platform::NetService> pairingNetService_;
  std::optional<std::uint16_t> pairingListenerPort_;
  Published<std::string> pairingPIN_{"------"};
  Published<double> pairingPinExpiresAt_;
  Published<std::optional<std::string>> connectedClientPairingID_;
  Bytes pairingSalt_;
  TimerHandle pairingPinTimer_;
  std::map<const platform::Connection*, PairingConnection> pairingConnections_;
  std::unique_ptr<PairingGuard> pairingGuard_;
  Published<bool> pairingSuspended_{false};
  double pairingTimerAt_ = -1;  // when the timer of startPairingHandshakes fires; -1: none
  std::uint64_t nextConnectionSerial_ = 1;
  std::unique_ptr<LogThrottle> refusalLog_;

  // The five serial queues.
  std::unique_ptr<SerialQueue> focusStateQueue_;
  std::unique_ptr<SerialQueue> sendQueue_;
  std::unique_ptr<SerialQueue> clickTrackingQueue_;
  std::unique_ptr<SerialQueue> captureQueue_;
  std::unique_ptr<SerialQueue> streamStateQueue_;
};

}  // namespace orvo
