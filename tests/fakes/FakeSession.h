#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "host/SessionHandlers.h"
#include "platform/Network.h"

namespace orvo::testing {

// The session as the streaming and input parts see it: records what they send.
class FakeSession final : public SessionContext {
 public:
  void sendMessage(const WindowListMessage& message) override {
    std::lock_guard lock(mutex_);
    windowLists.push_back(message);
  }
  void sendMessage(const InputRejectedMessage& message) override {
    std::lock_guard lock(mutex_);
    rejections.push_back(message);
  }
  std::shared_ptr<platform::Connection> currentConnection() const override {
    std::lock_guard lock(mutex_);
    return connection;
  }
  bool isRemoteControlPermitted() override { return permitted; }

  void setConnection(std::shared_ptr<platform::Connection> c) {
    std::lock_guard lock(mutex_);
    connection = std::move(c);
  }

  std::vector<WindowListMessage> windowLists;
  std::vector<InputRejectedMessage> rejections;
  std::shared_ptr<platform::Connection> connection;
  bool permitted = true;

 private:
  mutable std::mutex mutex_;
};

}  // namespace orvo::testing
