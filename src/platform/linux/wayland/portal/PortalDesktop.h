#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Log.h"
#include "core/Published.h"
#include "core/SharedSlot.h"
#include "platform/DesktopBackend.h"
#include "platform/SettingsStore.h"
#include "platform/linux/dbus/SdBusConnection.h"
#include "platform/linux/wayland/portal/PortalInhibitor.h"
#include "platform/linux/wayland/portal/PortalInputInjector.h"
#include "platform/linux/wayland/portal/PortalSession.h"
#include "platform/linux/wayland/WaylandKeymap.h"
#include "platform/linux/wayland/portal/PortalWindowList.h"

namespace orvo {
class MainQueue;
}

namespace orvo::platform::pipewire {
class PipeWireCapturer;
}

namespace orvo::platform::portal {

// The settings key of the portal's restore token: the windows shared last time, restored
// at the next start with no dialog. A token is good for one session; every Start gives
// the next one.
inline constexpr const char* kRestoreTokenKey = "OrvoHost.portalRestoreToken";

// A Wayland desktop through its desktop portal (GNOME, KDE). Wayland gives ordinary
// programs no list of other programs' windows, so the windows are the ones the person
// shares in the portal's picker, in one session alive as long as the host, each of its
// streams one window, captured from PipeWire. While remote control is on the session is a
// RemoteDesktop one (ScreenCast sources inside it, so one dialog covers pictures and
// input) and input goes through its Notify* calls; otherwise it is a ScreenCast session,
// which the portal restores at the next start without a dialog. A RemoteDesktop session
// is restored only where the portal offers it (version 2); before that the desktop asks
// at each start.
//
// The session is opened when the person asks (chooseWindows: the panel's "Choose
// Windows…", `ctl share-windows`) and at start with the restore token kept in the
// settings, never when a client connects: a host nobody watches never waits on a dialog.
//
// Main queue, except the services' own contracts (window lists from any queue, the
// capturer on the capture queue). PipeWire reports on its own thread and is handed over
// to the main queue. Built before the main queue runs; destroyed after it stopped.
class PortalDesktop final : public DesktopBackend, public WindowSharing {
 public:
  struct Services {
    Logger& logger;
    MainQueue& main;
    // The main queue's io_context: the compositor's keymap is read on it.
    asio::io_context& context;
    SettingsStore& settings;
    // The session bus the portal is on; may be absent (then nothing can be shared).
    std::shared_ptr<dbus::SdBusConnection> sessionBus;
  };
  explicit PortalDesktop(Services services);
  ~PortalDesktop() override;
  PortalDesktop(const PortalDesktop&) = delete;
  PortalDesktop& operator=(const PortalDesktop&) = delete;

  // DesktopBackend
  std::string name() const override { return "Wayland (portal)"; }
  WindowServer& windowServer() override { return windows_; }
  WindowServer& frameWindowServer() override { return windows_; }
  WindowServer& captureWindowServer() override { return windows_; }
  WindowCapturer& capturer() override;
  InputInjector& injector() override { return injector_; }
  WindowActivation& activation() override;
  SleepInhibitor& displaySleepInhibitor() override { return inhibitor_; }
  WindowSharing* sharing() override { return this; }
  void start() override;
  void stop() override;
  void setRemoteInputWanted(bool wanted) override;

  // WindowSharing
  void chooseWindows(std::function<void(bool shared, const std::string& message)> done) override;
  void stopSharing(std::uint32_t windowId) override;
  void stopSharingAll() override;
  const Published<std::vector<SharedWindow>>& sharedWindows() const override { return shared_; }
  const Published<std::string>& sharingStatus() const override { return status_; }

  // Whether input can reach the desktop: the portal offers a remote desktop, the person
  // has not refused it, and the current session, if it is one for input, was granted a
  // keyboard and a pointer (a session for viewing asks again when input is wanted).
  bool inputGranted() const;

 private:
  class Capture;
  class Activation;
  struct Attempt;

  void withPortal(std::function<void()> then);
  bool remoteDesktopOffered() const;
  void openSession(std::optional<std::string> restoreToken);
  void sessionOpened(const std::shared_ptr<Attempt>& attempt, const PortalSession::Outcome& outcome);
  void sessionClosedByDesktop(const PortalSession* session);
  void endSharing(const std::string& logLine, const std::string& status, bool forgetSelection);
  void streamResized(std::uint32_t windowId, int width, int height);
  void streamEnded(std::uint32_t windowId, const std::string& reason);
  void pipeWireLost(const std::string& reason);
  void publishWindows();
  void setStatus(const std::string& text);
  void storeToken(const std::optional<std::string>& token);

  Logger& logger_;
  MainQueue& main_;
  SettingsStore& settings_;
  std::shared_ptr<dbus::SdBusConnection> bus_;
  std::optional<PortalInfo> info_;
  std::vector<std::function<void()>> waitingForProbe_;
  bool probing_ = false;
  PortalWindowList windows_;
  wayland::WaylandKeymap keymap_;
  PortalInputInjector injector_;
  PortalInhibitor inhibitor_;
  std::unique_ptr<Capture> capture_;
  std::unique_ptr<Activation> activation_;

  // The session whose windows are shared, and one being opened (its dialog may be open).
  std::shared_ptr<PortalSession> session_;
  std::shared_ptr<Attempt> attempt_;
  std::vector<PortalWindow> list_;
  std::uint32_t nextWindowId_ = 1;
  Published<std::vector<SharedWindow>> shared_;
  Published<std::string> status_;
  bool started_ = false;
  bool stopped_ = false;
  // Remote control is on: sessions are opened for input too (RemoteDesktop), else for
  // viewing only (ScreenCast, which the portal restores without a dialog).
  bool inputWanted_ = false;
  // The person refused remote input in the last dialog; asked again with the next choice.
  bool consentRefused_ = false;
  // Reopenings of the kept selection after PipeWire went away, since the last success.
  int reconnects_ = 0;
  static constexpr int kMaxReconnects = 3;
  // Work posted from PipeWire's thread holds this weakly.
  std::shared_ptr<PortalDesktop*> self_ = std::make_shared<PortalDesktop*>(this);
};

}  // namespace orvo::platform::portal
