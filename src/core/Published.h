#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

namespace orvo {

// Keeps a subscription alive; destroying it (or cancel()) ends the deliveries.
class Subscription {
 public:
  Subscription() = default;
  explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
  Subscription& operator=(Subscription&& other) noexcept {
    if (this != &other) {
      cancel();
      cancel_ = std::exchange(other.cancel_, nullptr);
    }
    return *this;
  }
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;
  ~Subscription() { cancel(); }

  void cancel() {
    if (cancel_) std::exchange(cancel_, nullptr)();
  }

 private:
  std::function<void()> cancel_;
};

// A value that announces every assignment to its subscribers. Used on one thread only
// (the host's main queue); observers on other threads re-post what they receive.
template <class T>
class Published {
 public:
  using Observer = std::function<void(const T&)>;

  Published() = default;
  explicit Published(T initial) : value_(std::move(initial)) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  const T& get() const { return value_; }
  const T& operator*() const { return value_; }
  const T* operator->() const { return &value_; }

  // Assigns and announces, also when the value is unchanged.
  void set(T value) {
    value_ = std::move(value);
    announce();
  }

  // Changes the value in place and announces it once.
  template <class F>
  void mutate(F&& change) {
    std::forward<F>(change)(value_);
    announce();
  }

  // Delivers the current value at once, then every later change, until the returned
  // subscription goes. An observer may cancel subscriptions while it is being called.
  [[nodiscard]] Subscription subscribe(Observer observer) const {
    const auto id = observers_->next++;
    observers_->byId.emplace(id, std::move(observer));
    std::weak_ptr<Observers> weak = observers_;
    Subscription subscription([weak, id] {
      if (auto observers = weak.lock()) observers->byId.erase(id);
    });
    const auto copy = observers_->byId.at(id);
    copy(value_);
    return subscription;
  }

 private:
  struct Observers {
    std::uint64_t next = 0;
    std::map<std::uint64_t, Observer> byId;
  };

  void announce() {
    const auto snapshot = observers_->byId;
    for (const auto& [id, observer] : snapshot) {
      if (observers_->byId.count(id)) observer(value_);
    }
  }

  T value_{};
  std::shared_ptr<Observers> observers_ = std::make_shared<Observers>();
};

}  // namespace orvo
