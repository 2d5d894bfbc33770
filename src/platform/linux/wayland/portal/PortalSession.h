#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Log.h"
#include "platform/linux/dbus/SdBusConnection.h"
#include "platform/linux/wayland/portal/PortalInputSink.h"
#include "platform/linux/wayland/portal/PortalMessages.h"

namespace orvo::platform::portal {

// What the desktop portal offers, read once from its properties.
struct PortalInfo {
  bool present = false;
  std::string error;                      // why not, when not present
  std::uint32_t screenCastVersion = 0;    // 0: no ScreenCast portal
  std::uint32_t sourceTypes = 0;          // 1 monitor, 2 window, 4 virtual
  std::uint32_t cursorModes = 0;          // 1 hidden, 2 embedded, 4 metadata
  std::uint32_t remoteDesktopVersion = 0; // 0: no RemoteDesktop portal
  std::uint32_t deviceTypes = 0;          // 1 keyboard, 2 pointer, 4 touchscreen
};

inline constexpr std::uint32_t kSourceWindow = 2;
inline constexpr std::uint32_t kCursorHidden = 1;
inline constexpr std::uint32_t kDeviceKeyboard = 1;
inline constexpr std::uint32_t kDevicePointer = 2;
// Linux input button codes (BTN_LEFT, BTN_RIGHT).
inline constexpr std::int32_t kButtonLeft = 0x110;
inline constexpr std::int32_t kButtonRight = 0x111;

// One session with the desktop portal (org.freedesktop.portal.Desktop on the session bus):
// a RemoteDesktop session with ScreenCast sources (one consent covers pictures and
// input), or a ScreenCast session alone. Only a ScreenCast session, or a RemoteDesktop one
// from the portal's version 2, can be restored later from a token without a dialog. open() walks the portal's steps (CreateSession,
// SelectDevices, SelectSources, Start), each a call answered later by a Request's Response
// signal, which is subscribed to before the call; the person answers the desktop's dialogs
// in between, for as long as they take.
//
// Main queue only (every sd-bus callback runs there). The session is closed when the
// object goes; a dialog still open is closed with it. Callbacks may destroy the session.
class PortalSession final : public PortalInputSink, public std::enable_shared_from_this<PortalSession> {
 public:
  enum class Kind { screenCast, remoteDesktop };
  struct Settings {
    Kind kind = Kind::remoteDesktop;
    // The selection to restore (a token from an earlier Start); none asks the person.
    std::optional<std::string> restoreToken;
    // The RemoteDesktop portal's version: from 2 its devices persist too.
    std::uint32_t remoteDesktopVersion = 1;
    // Whether the portal may hide the cursor (AvailableCursorModes has 1).
    bool hideCursor = true;
  };
  struct Outcome {
    enum class Status { started, cancelled, failed };
    Status status = Status::failed;
    std::string error;  // failed: what went wrong
    std::vector<PortalStream> streams;
    std::optional<std::string> restoreToken;
    std::uint32_t devices = 0;  // the input devices granted (kDeviceKeyboard | kDevicePointer)
  };
  using Completion = std::function<void(const Outcome&)>;

  // Reads what the portal offers; `done` runs on the main queue.
  static void probe(const std::shared_ptr<dbus::SdBusConnection>& bus, std::function<void(const PortalInfo&)> done);

  // Begins the steps; `done` runs once when the session started or could not. `closed`
  // runs when the desktop ends the started session (its Closed signal).
  static std::shared_ptr<PortalSession> open(std::shared_ptr<dbus::SdBusConnection> bus, Settings settings,
                                             Logger& logger, Completion done, std::function<void()> closed);

  struct Key {
    explicit Key() = default;
  };
  PortalSession(Key, std::shared_ptr<dbus::SdBusConnection> bus, Settings settings, Logger& logger, Completion done,
                std::function<void()> closed);
  ~PortalSession() override;
  PortalSession(const PortalSession&) = delete;
  PortalSession& operator=(const PortalSession&) = delete;

  bool isStarted() const { return started_; }
  std::uint32_t devices() const { return devices_; }
  Kind kind() const { return settings_.kind; }

  // A started session: a new descriptor of the PipeWire connection that reaches its
  // streams (owned by the caller); -1 with the reason in `error` when the portal gives none.
  int openPipeWireRemote(std::string& error);

  // Input of a started RemoteDesktop session, delivered in order: the portal handles calls
  // on a pool of threads, so each is sent only once the previous one was answered (a
  // burst waits in a bounded queue; what overflows it is dropped and logged).
  // Pointer motion to (x, y) in the stream's own coordinates.
  void notifyPointerMotionAbsolute(std::uint32_t stream, double x, double y) override;
  void notifyPointerButton(std::int32_t button, bool pressed) override;
  // `axis` 0 vertical, 1 horizontal; positive steps scroll down or right.
  void notifyPointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) override;
  void notifyKeyboardKeysym(std::uint32_t keysym, bool pressed) override;
  void notifyKeyboardKeycode(std::int32_t keycode, bool pressed) override;
  std::size_t queuedInput() const override { return input_.size() + (inputCall_ ? 1 : 0); }

 private:
  using ResponseHandler = std::function<void(std::uint32_t response, PortalResults& results)>;
  // Calls `method` with its leading arguments, then `options` (given a fresh handle_token),
  // and hands the Request's Response to `onResponse`.
  void request(const char* interface, const char* method, bool withSession, const char* parentWindow,
               Options options, ResponseHandler onResponse);
  static int onMethodReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onResponse(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onClosed(sd_bus_message* message, void* userdata, sd_bus_error* error);
  bool watchResponse(const std::string& path);
  void createSession();
  void selectDevices();
  void selectSources();
  void start();
  void finish(Outcome outcome);
  void fail(const std::string& error);
  void notify(const char* method, const std::function<int(sd_bus_message*)>& append);
  void sendNextInput();
  static int onInputReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  std::string nextToken();

  std::shared_ptr<dbus::SdBusConnection> bus_;
  Settings settings_;
  Logger& logger_;
  Completion done_;
  std::function<void()> closed_;
  std::string uniqueName_;
  std::string session_;        // the session's object path, once created
  std::string requestPath_;    // the Request being waited on
  ResponseHandler pending_;
  dbus::SlotPtr callSlot_;
  dbus::SlotPtr responseSlot_;
  dbus::SlotPtr closedSlot_;
  std::uint32_t tokens_ = 0;
  bool started_ = false;
  bool finished_ = false;
  std::uint32_t devices_ = 0;
  std::deque<dbus::MessagePtr> input_;  // waiting to be sent
  dbus::SlotPtr inputCall_;             // the one under way
  bool inputFailureLogged_ = false;
  bool inputOverflowLogged_ = false;

 public:
  // Input events that may wait at once: a few seconds of typing; a paste is capped before.
  static constexpr std::size_t maxQueuedInput = 16384;
};

}  // namespace orvo::platform::portal
