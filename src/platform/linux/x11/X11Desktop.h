#pragma once

#include "platform/DesktopBackend.h"
#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11/X11SleepInhibitor.h"
#include "platform/linux/x11/X11WindowActivation.h"
#include "platform/linux/x11/X11WindowServer.h"
#include "platform/linux/x11capture/X11WindowCapturer.h"
#include "platform/linux/x11input/X11InputInjector.h"

namespace orvo {
class Clock;
class MainQueue;
}  // namespace orvo

namespace orvo::platform::x11 {

// The X11 desktop of $DISPLAY: one X connection for the main queue (window list, input
// admission, activation, the screen saver), one for the capture queue (capture and the
// bounds it reads), and the input injector's own. Every window is listed; nothing is
// asked of the person.
//
// Built before the host's queues run; the main queue and clock must outlive it.
class X11Desktop final : public DesktopBackend {
 public:
  // `trackWindowChanges`: frames from the windows' changes (XDamage); off, every frame is
  // captured whole.
  X11Desktop(Logger& logger, MainQueue& main, const Clock& clock, bool trackWindowChanges);
  X11Desktop(const X11Desktop&) = delete;
  X11Desktop& operator=(const X11Desktop&) = delete;

  std::string name() const override { return "X11"; }
  WindowServer& windowServer() override { return windowServer_; }
  WindowServer& frameWindowServer() override { return frameWindowServer_; }
  WindowServer& captureWindowServer() override { return captureWindowServer_; }
  WindowCapturer& capturer() override { return capturer_; }
  InputInjector& injector() override { return injector_; }
  WindowActivation& activation() override { return activation_; }
  SleepInhibitor& displaySleepInhibitor() override { return sleepInhibitor_; }

 private:
  X11Connection mainDisplay_;
  X11Connection captureDisplay_;
  X11WindowServer windowServer_;
  X11WindowServer frameWindowServer_;
  // On the capture connection: the main queue never waits behind a capture.
  X11WindowServer captureWindowServer_;
  X11WindowActivation activation_;
  X11SleepInhibitor sleepInhibitor_;
  X11WindowCapturer capturer_;
  X11InputInjector injector_;
};

}  // namespace orvo::platform::x11
