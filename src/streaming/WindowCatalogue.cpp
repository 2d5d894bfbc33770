#include "streaming/WindowCatalogue.h"

#include <algorithm>
#include <cmath>

#include "core/Clock.h"
#include "core/Log.h"
#include "core/Queues.h"
#include "host/HostConstants.h"
#include "platform/WindowServer.h"

namespace orvo {
namespace {

// A size the list can carry: finite and inside the signed 64-bit range once truncated.
std::optional<std::int64_t> truncatedSize(double value) {
  if (!std::isfinite(value) || value >= 9223372036854775808.0 || value < -9223372036854775808.0) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

}  // namespace

WindowCatalogue::WindowCatalogue(platform::WindowServer& windowServer, SessionContext& session, MainQueue& main,
                                 const Clock& clock, Logger& logger)
    : windowServer_(windowServer), session_(session), main_(main), clock_(clock), logger_(logger) {}

std::vector<OrvoWindow> WindowCatalogue::buildWindowList() {
  std::vector<OrvoWindow> list;
  for (const auto& info : windowServer_.copyWindowInfo(platform::WindowListOption::onScreenOnly)) {
    if (!info.layer || *info.layer != 0 || !info.bounds) continue;
    const auto width = truncatedSize(info.bounds->width);
    const auto height = truncatedSize(info.bounds->height);
    if (!width || !height) continue;
    OrvoWindow window;
    window.windowId = info.number;
    window.appName = info.ownerName.value_or("Unknown App");
    window.title = info.name.value_or("");
    window.width = *width;
    window.height = *height;
    window.statusSummary = window.title.empty() ? window.appName + " is open" : window.appName + ": " + window.title;
    list.push_back(std::move(window));
  }
  return list;
}

std::optional<std::int32_t> WindowCatalogue::ownerPID(std::uint32_t windowId) {
  for (const auto& info : windowServer_.copyWindowInfo(platform::WindowListOption::all)) {
    if (info.number == windowId && info.ownerPID) return info.ownerPID;
  }
  return std::nullopt;
}

std::optional<Rect> WindowCatalogue::windowBounds(std::uint32_t windowId) {
  for (const auto& info : windowServer_.copyWindowInfo(platform::WindowListOption::all)) {
    if (info.number == windowId && info.bounds) return info.bounds;
  }
  return std::nullopt;
}

void WindowCatalogue::handleWindowListRequest() {
  const double now = clock_.now();
  const double elapsed = now - lastWindowListSentAt_;
  if (elapsed >= minWindowListSendInterval) {
    lastWindowListSentAt_ = now;
    sendWindowList();
    return;
  }
  if (windowListSendPending_) return;  // the scheduled send will carry a fresh list
  windowListSendPending_ = true;
  main_.asyncAfter(std::max(minWindowListSendInterval - elapsed, 0.0), [weak = std::weak_ptr(self_)] {
    const auto self = weak.lock();
    if (!self) return;
    WindowCatalogue& catalogue = **self;
    catalogue.windowListSendPending_ = false;
    catalogue.lastWindowListSentAt_ = catalogue.clock_.now();
    catalogue.sendWindowList();
  });
}

bool WindowCatalogue::admitsFrames(std::uint32_t windowId) {
  if (listed_.contains(windowId)) return true;
  const double now = clock_.now();
  if (!listedAt_ || now - *listedAt_ >= minWindowListSendInterval || now < *listedAt_) {
    noteListed(buildWindowList());
    if (listed_.contains(windowId)) return true;
  }
  // At most one line a second, however many ids a client makes up.
  ++refusedSinceLog_;
  if (!lastRefusalLogAt_ || now - *lastRefusalLogAt_ >= 1.0 || now < *lastRefusalLogAt_) {
    std::string line = "OrvoHost: refused frames of window " + std::to_string(windowId) + ": not in the window list";
    if (refusedSinceLog_ > 1) line += " (" + std::to_string(refusedSinceLog_ - 1) + " more refused before)";
    logLine(logger_, line);
    lastRefusalLogAt_ = now;
    refusedSinceLog_ = 0;
  }
  return false;
}

void WindowCatalogue::noteListed(const std::vector<OrvoWindow>& list) {
  listed_.clear();
  for (const auto& window : list) listed_.insert(window.windowId);
  listedAt_ = clock_.now();
}

void WindowCatalogue::sendWindowList() {
  WindowListMessage message;
  message.windows = buildWindowList();
  noteListed(message.windows);
  const auto count = message.windows.size();
  session_.sendMessage(message);
  logLine(logger_, "OrvoHost: sent windowList with " + std::to_string(count) + " windows");
}

}  // namespace orvo
