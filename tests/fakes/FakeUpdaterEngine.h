#pragma once

#include <string>
#include <utility>
#include <vector>

#include "fakes/FakeStores.h"
#include "updates/UpdaterEngine.h"
#include "updates/UpdaterSettings.h"

namespace orvo::testing {

// An updater engine that does nothing by itself: the test plays the engine's part by
// calling the delegate, and answers the recorded checks and installs by hand.
class FakeUpdaterEngine final : public UpdaterEngine {
 public:
  explicit FakeUpdaterEngine(FakeSettingsStore& store) : settings_(store) {}

  void start(UpdaterDelegate& delegate) override {
    delegate_ = &delegate;
    ++starts;
  }
  const Published<bool>& canCheckForUpdates() const override { return canCheck; }
  UpdaterSettings& settings() override { return settings_; }
  const std::string& currentVersion() const override { return version; }
  void checkForUpdates(CheckHandler done) override { checks.push_back(std::move(done)); }
  void installUpdate(const std::string& versionString, ProgressHandler progress, InstallHandler done) override {
    installs.push_back({versionString, std::move(progress), std::move(done)});
  }
  std::optional<std::string> cancelDownload() override {
    ++cancels;
    return downloading;
  }
  bool isConfigured() const override { return configured; }

  UpdaterDelegate& delegate() { return *delegate_; }

  struct Install {
    std::string versionString;
    ProgressHandler progress;
    InstallHandler done;
  };
  Published<bool> canCheck{false};
  std::string version = "1.0";
  int starts = 0;
  int cancels = 0;
  std::optional<std::string> downloading;  // what cancelDownload() answers
  bool configured = true;
  std::vector<CheckHandler> checks;
  std::vector<Install> installs;

 private:
  UpdaterSettings settings_;
  UpdaterDelegate* delegate_ = nullptr;
};

}  // namespace orvo::testing
