#include "ui/HostLink.h"

#include <QMetaObject>

namespace orvo::ui {

void GuiRelay::post(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  if (!target_) return;
  QMetaObject::invokeMethod(target_, std::move(work), Qt::QueuedConnection);
}

void GuiRelay::detach() {
  std::lock_guard lock(mutex_);
  target_ = nullptr;
}

HostLink::HostLink(MainQueue& main, QObject* guiTarget) : main_(main), relay_(std::make_shared<GuiRelay>(guiTarget)) {}

HostLink::~HostLink() {
  relay_->detach();
  // Subscriptions belong to the main queue: end them there.
  main_.async([state = state_] {
    state->cancelled = true;
    state->subscriptions.clear();
  });
}

}  // namespace orvo::ui
