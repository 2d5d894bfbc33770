#include "platform/linux/x11/X11Desktop.h"

namespace orvo::platform::x11 {

X11Desktop::X11Desktop(Logger& logger, MainQueue& main, const Clock& clock, bool trackWindowChanges)
    : mainDisplay_(logger, "", "main"),
      captureDisplay_(logger, "", "capture"),
      windowServer_(mainDisplay_),
      frameWindowServer_(mainDisplay_, X11WindowServer::Bounds::frame),
      captureWindowServer_(captureDisplay_),
      activation_(mainDisplay_),
      sleepInhibitor_(mainDisplay_, logger),
      capturer_(captureDisplay_, logger, true, trackWindowChanges),
      injector_(logger, main, clock) {}

}  // namespace orvo::platform::x11
