#pragma once

#include <QApplication>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "environment/LaunchAtLoginManager.h"
#include "fakes/FakeDesktop.h"
#include "fakes/FakeUpdaterEngine.h"
#include "platform/linux/desktop/XdgAutostartEntry.h"
#include "support/TempDir.h"
#include "ui/DesktopActions.h"
#include "ui/OrvoHostSettingsView.h"
#include "ui/PanelModel.h"
#include "ui/PanelWindow.h"
#include "ui/SettingsModel.h"
#include "unit/host/HostHarness.h"
#include "updates/OrvoUpdaterController.h"

namespace orvo::testing {

// Records what the panel asks of the desktop.
class RecordingDesktop final : public ui::DesktopActions {
 public:
  bool openAccessibilitySettings() override {
    ++accessibilitySettingsOpened;
    return hasAccessibilitySettings;
  }
  std::optional<QString> openDocument(const QString& name) override {
    documents.push_back(name);
    return std::nullopt;
  }
  std::optional<QString> openUrl(const QString& url) override {
    urls.push_back(url);
    return std::nullopt;
  }
  void quit() override { ++quits; }

  int accessibilitySettingsOpened = 0;
  bool hasAccessibilitySettings = true;
  std::vector<QString> documents;
  std::vector<QString> urls;
  int quits = 0;
};

// The panel on a real OrvoHost whose main queue is the virtual loop of the test thread,
// with the update controller over a fake engine and launch at login over a real autostart
// entry in a temporary folder. settle() runs the host's queued work and the GUI's queued
// deliveries until both rest.
struct PanelHarness {
  // With `sharing`, the panel of a desktop where the person chooses the windows (Wayland).
  // With `makeEngine`, the update controller runs over the engine it makes on the host's
  // loop (`updaterEngine` stays null) instead of a fake one.
  explicit PanelHarness(platform::WindowSharing* sharing = nullptr,
                        std::function<std::unique_ptr<UpdaterEngine>(VirtualLoop&)> makeEngine = {}) {
    h.start();
    if (makeEngine) {
      updater = OrvoUpdaterController::create(makeEngine(h.loop), h.loop.main());
    } else {
      auto engine = std::make_unique<FakeUpdaterEngine>(updateStore);
      updaterEngine = engine.get();
      updater = OrvoUpdaterController::create(std::move(engine), h.loop.main());
    }
    launchAtLogin = std::make_unique<LaunchAtLoginManager>(autostart);
    model = std::make_unique<ui::PanelModel>(ui::PanelHost{*h.host, h.loop.main(), h.activation, h.loop.clock(), sharing});
    settingsModel = std::make_unique<ui::SettingsModel>(h.loop.main(), launchAtLogin.get(), updater.get());
    window = std::make_unique<ui::PanelWindow>(*model, settingsModel.get(), desktop);
    settings = std::make_unique<ui::OrvoHostSettingsView>(*settingsModel);
    window->show();
    settle();
  }
  ~PanelHarness() {
    settings.reset();
    window.reset();
    settingsModel.reset();
    model.reset();
    h.loop.drain();
  }

  void settle() {
    for (int round = 0; round < 100; ++round) {
      QCoreApplication::processEvents();
      if (h.loop.drain() == 0) {
        QCoreApplication::processEvents();
        if (h.loop.drain() == 0) return;
      }
    }
  }

  template <class T>
  T* find(const char* name) const {
    return window->findChild<T*>(name);
  }

  HostHarness h;
  RecordingDesktop desktop;
  TempDir config;
  platform::XdgAutostartEntry autostart{
      config.path(), [] { return std::optional<std::string>(QCoreApplication::applicationFilePath().toStdString()); }};
  FakeSettingsStore updateStore;
  FakeUpdaterEngine* updaterEngine = nullptr;
  std::shared_ptr<OrvoUpdaterController> updater;
  std::unique_ptr<LaunchAtLoginManager> launchAtLogin;
  std::unique_ptr<ui::PanelModel> model;
  std::unique_ptr<ui::SettingsModel> settingsModel;
  std::unique_ptr<ui::PanelWindow> window;
  std::unique_ptr<ui::OrvoHostSettingsView> settings;
};

}  // namespace orvo::testing
