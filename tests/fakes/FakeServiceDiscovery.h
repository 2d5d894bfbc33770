#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Queues.h"
#include "platform/ServiceDiscovery.h"

namespace orvo::testing {

// What one advertised service went through; kept after the service object is gone.
struct FakeServiceRecord {
  std::string domain;
  std::string type;
  std::string name;
  std::uint16_t port = 0;
  std::vector<platform::TXTRecord> txtHistory;
  bool published = false;
  bool stopped = false;
};

class FakeNetService final : public platform::NetService {
 public:
  FakeNetService(MainQueue& main, std::shared_ptr<FakeServiceRecord> record, std::optional<std::string> failure)
      : main_(main), record_(std::move(record)), failure_(std::move(failure)) {}
  ~FakeNetService() override { *alive_ = false; }

  void setDelegate(Delegate delegate) override { delegate_ = std::move(delegate); }
  std::string name() const override { return record_->name; }
  std::string type() const override { return record_->type; }
  std::string domain() const override { return record_->domain; }
  std::uint16_t port() const override { return record_->port; }
  void setTXTRecord(const platform::TXTRecord& record) override { record_->txtHistory.push_back(record); }
  void publish() override {
    record_->published = true;
    main_.async([this, alive = alive_] {
      if (!*alive || record_->stopped) return;
      if (failure_) {
        if (delegate_.didNotPublish) delegate_.didNotPublish(*this, *failure_);
      } else if (delegate_.didPublish) {
        delegate_.didPublish(*this);
      }
    });
  }
  void stop() override { record_->stopped = true; }

 private:
  MainQueue& main_;
  std::shared_ptr<FakeServiceRecord> record_;
  std::optional<std::string> failure_;
  Delegate delegate_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class FakeServiceDiscovery final : public platform::ServiceDiscovery {
 public:
  explicit FakeServiceDiscovery(MainQueue& main) : main_(main) {}

  std::unique_ptr<platform::NetService> makeService(std::string domain, std::string type, std::string name,
                                                    std::uint16_t port) override {
    auto record = std::make_shared<FakeServiceRecord>();
    record->domain = std::move(domain);
    record->type = std::move(type);
    record->name = std::move(name);
    record->port = port;
    services.push_back(record);
    return std::make_unique<FakeNetService>(main_, record, publishFailure);
  }
  std::unique_ptr<platform::ServiceBrowser> browse(std::string, std::function<void(const platform::ResolvedService&)>,
                                                   std::function<void(const std::string&)> failed) override {
    failed("browsing is not available in this test");
    return nullptr;
  }

  // The most recent service of a type that has not been stopped.
  std::shared_ptr<FakeServiceRecord> live(const std::string& type) const {
    for (auto it = services.rbegin(); it != services.rend(); ++it) {
      if ((*it)->type == type && !(*it)->stopped) return *it;
    }
    return nullptr;
  }

  std::vector<std::shared_ptr<FakeServiceRecord>> services;
  std::optional<std::string> publishFailure;

 private:
  MainQueue& main_;
};

}  // namespace orvo::testing
