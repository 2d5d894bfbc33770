#pragma once

#include <string>

#include "platform/HostInfo.h"
#include "platform/InputInjector.h"
#include "platform/WindowActivation.h"
#include "platform/WindowServer.h"
#include "platform/WindowSharing.h"

namespace orvo::platform {

// Everything the host needs from one kind of desktop (X11, a Wayland desktop through its
// portal): the window list, capture, input, bringing windows forward, and keeping the
// display awake. The runtime builds exactly one, chosen at start; the core never learns
// which.
//
// Threads: each service keeps the contract of its interface (window servers any queue,
// the capturer the capture queue, the injector, activation and inhibitor the main queue).
// The backend is built before the main queue runs and destroyed after it stopped and the
// serial queues were joined.
class DesktopBackend {
 public:
  virtual ~DesktopBackend() = default;

  // The desktop as `ctl status` names it: "X11", "Wayland (portal)".
  virtual std::string name() const = 0;

  // The windows a client may mirror, with their client areas (main queue).
  virtual WindowServer& windowServer() = 0;
  // The same windows for input admission's hit tests: whole frames, title bars included.
  virtual WindowServer& frameWindowServer() = 0;
  // The window list the capture queue reads, never shared with the main queue's, so that a
  // capture never waits behind the main queue (and the other way round).
  virtual WindowServer& captureWindowServer() = 0;
  virtual WindowCapturer& capturer() = 0;
  virtual InputInjector& injector() = 0;
  virtual WindowActivation& activation() = 0;
  // What keeps the display from blanking on this desktop, beside logind and the desktop's
  // screen saver service.
  virtual SleepInhibitor& displaySleepInhibitor() = 0;
  // Where the person chooses the windows to share; null where every window is listed.
  virtual WindowSharing* sharing() { return nullptr; }
  // Main queue, once the host is up: restores what the desktop kept from the last run.
  virtual void start() {}
  // Main queue: whether remote input is wanted (the person's "allow control" setting), told
  // at start and on every change. A desktop that must ask the person for input asks then.
  virtual void setRemoteInputWanted(bool /*wanted*/) {}
  // Main queue, before the host goes: ends sessions with the desktop.
  virtual void stop() {}
};

}  // namespace orvo::platform
