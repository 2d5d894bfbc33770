#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/Published.h"
#include "core/Queues.h"

namespace orvo::ui {

// A handle onto one QObject of the GUI thread that any thread may post work to. Work
// posted after detach(), or not yet run when the object goes, is dropped.
class GuiRelay {
 public:
  explicit GuiRelay(QObject* target) : target_(target) {}
  GuiRelay(const GuiRelay&) = delete;
  GuiRelay& operator=(const GuiRelay&) = delete;

  // Any thread: runs `work` on the target's thread, in posting order.
  void post(std::function<void()> work);
  // GUI thread: no more work reaches the target.
  void detach();

 private:
  // Guards only the target pointer, so that a post never races the target's destruction.
  std::mutex mutex_;
  QObject* target_;
};

// The panel's line to the host: operations go to the host's main queue, and published
// values come back to the GUI thread as copies. The panel never touches host state from
// the GUI thread, and the host never touches a widget.
//
// Constructed, used and destroyed on the GUI thread; the host (and every Published it
// watches) must outlive it and its main queue must keep running until the link is gone
// (its subscriptions are cancelled there).
class HostLink {
 public:
  HostLink(MainQueue& main, QObject* guiTarget);
  ~HostLink();
  HostLink(const HostLink&) = delete;
  HostLink& operator=(const HostLink&) = delete;

  // The way back to the GUI thread, for callbacks that the host runs later.
  const std::shared_ptr<GuiRelay>& gui() const { return relay_; }

  // Runs `work` on the host's main queue.
  void onHost(std::function<void()> work) { main_.async(std::move(work)); }

  // Runs `work` on the main queue and hands its result to `done` on the GUI thread.
  template <class R>
  void ask(std::function<R()> work, std::function<void(const R&)> done) {
    main_.async([relay = relay_, work = std::move(work), done = std::move(done)]() mutable {
      relay->post([value = work(), done = std::move(done)] { done(value); });
    });
  }

  // Subscribes on the main queue; the current value and every later one reach `onGui`
  // on the GUI thread, in order.
  template <class T>
  void watch(const Published<T>& published, std::function<void(const T&)> onGui) {
    watchFrom<T>([&published]() -> const Published<T>& { return published; }, std::move(onGui));
  }
  // The same for a Published reached through host state: `source` runs on the main queue.
  template <class T>
  void watchFrom(std::function<const Published<T>&()> source, std::function<void(const T&)> onGui) {
    main_.async([state = state_, relay = relay_, source = std::move(source), onGui = std::move(onGui)]() mutable {
      if (state->cancelled) return;
      state->subscriptions.push_back(
          source().subscribe([relay, onGui](const T& value) { relay->post([onGui, value] { onGui(value); }); }));
    });
  }

 private:
  // Touched on the main queue only.
  struct HostSide {
    bool cancelled = false;
    std::vector<Subscription> subscriptions;
  };

  MainQueue& main_;
  std::shared_ptr<GuiRelay> relay_;
  std::shared_ptr<HostSide> state_ = std::make_shared<HostSide>();
};

}  // namespace orvo::ui
