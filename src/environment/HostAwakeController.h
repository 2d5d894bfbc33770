#pragma once

#include <string>
#include <vector>

#include "platform/HostInfo.h"

namespace orvo {

// The host's one "activity" that keeps the machine and its display awake while a client
// streams: begin() takes every part (on Linux the logind idle/sleep inhibitor lock, the X
// screen saver suspension and the desktop's screen saver inhibition), end() releases them
// all. A part that cannot be taken logs why and the others still hold.
//
// begin() while held and end() while released do nothing. Main queue only. The parts must
// outlive the controller; the destructor releases a held activity.
class HostAwakeController final : public platform::SleepInhibitor {
 public:
  explicit HostAwakeController(std::vector<platform::SleepInhibitor*> parts) : parts_(std::move(parts)) {}
  ~HostAwakeController() override { end(); }
  HostAwakeController(const HostAwakeController&) = delete;
  HostAwakeController& operator=(const HostAwakeController&) = delete;

  void begin(const std::string& reason) override {
    if (held_) return;
    held_ = true;
    for (auto* part : parts_) part->begin(reason);
  }
  void end() override {
    if (!held_) return;
    held_ = false;
    for (auto it = parts_.rbegin(); it != parts_.rend(); ++it) (*it)->end();
  }
  bool isHeld() const { return held_; }

 private:
  std::vector<platform::SleepInhibitor*> parts_;
  bool held_ = false;
};

}  // namespace orvo
