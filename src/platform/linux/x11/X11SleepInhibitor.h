#pragma once

#include <memory>

#include "core/Log.h"
#include "platform/HostInfo.h"
#include "platform/linux/x11/X11Connection.h"

namespace orvo::platform::x11 {

// Keeps the display from blanking while held: MIT-SCREEN-SAVER Suspend, which stops the
// screen saver and DPMS of the whole display until released. The server ties a suspension
// to the connection that asked for it, so the inhibitor keeps that connection open while
// held; a display lost meanwhile releases it by itself, and the next begin() applies it
// again on the new one. Idle sleep of the machine is logind's part, not this class's.
//
// begin() and end() are idempotent. Main queue (any one thread at a time). The connection
// must outlive the inhibitor; the destructor releases a held suspension.
class X11SleepInhibitor final : public SleepInhibitor {
 public:
  X11SleepInhibitor(X11Connection& connection, Logger& logger) : connection_(connection), logger_(logger) {}
  ~X11SleepInhibitor() override;
  X11SleepInhibitor(const X11SleepInhibitor&) = delete;
  X11SleepInhibitor& operator=(const X11SleepInhibitor&) = delete;

  void begin(const std::string& reason) override;
  void end() override;
  // Whether a suspension is in force on a live display now (one round trip).
  bool isHeld() const;

 private:
  X11Connection& connection_;
  Logger& logger_;
  std::shared_ptr<X11Display> suspendedOn_;
};

}  // namespace orvo::platform::x11
