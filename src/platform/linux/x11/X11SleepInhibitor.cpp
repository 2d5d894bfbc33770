#include "platform/linux/x11/X11SleepInhibitor.h"

#include <xcb/screensaver.h>

namespace orvo::platform::x11 {
namespace {

// A loss shows only once the connection is used: ask the server something.
bool answers(X11Display& display) {
  xcb_connection_t* c = display.connection();
  return replyOf(c, xcb_get_input_focus_reply, xcb_get_input_focus(c)) != nullptr;
}

}  // namespace

X11SleepInhibitor::~X11SleepInhibitor() { end(); }

void X11SleepInhibitor::begin(const std::string& reason) {
  if (isHeld()) return;
  suspendedOn_.reset();
  const auto display = connection_.display();
  if (!display) return;  // no display, nothing to keep awake
  if (!display->extensions().screenSaver) {
    logLine(logger_, "OrvoHost: cannot suspend the X screen saver (" + reason + "): no MIT-SCREEN-SAVER extension");
    return;
  }
  xcb_connection_t* c = display->connection();
  if (auto error = checkOf(c, xcb_screensaver_suspend_checked(c, 1))) {
    logLine(logger_, "OrvoHost: cannot suspend the X screen saver (" + reason + "): X error",
            static_cast<int>(error->error_code));
    return;
  }
  if (display->hasFailed()) return;
  suspendedOn_ = display;
}

void X11SleepInhibitor::end() {
  if (!suspendedOn_) return;
  if (!suspendedOn_->hasFailed()) {
    xcb_connection_t* c = suspendedOn_->connection();
    checkOf(c, xcb_screensaver_suspend_checked(c, 0));
  }
  suspendedOn_.reset();
}

bool X11SleepInhibitor::isHeld() const { return suspendedOn_ && answers(*suspendedOn_); }

}  // namespace orvo::platform::x11
