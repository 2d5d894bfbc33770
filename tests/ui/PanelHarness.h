#pragma once

#include <QApplication>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

#include "ui/DesktopActions.h"
#include "ui/PanelModel.h"
#include "ui/PanelWindow.h"
#include "unit/host/HostHarness.h"

namespace orvo::testing {

// Records what the panel asks of the desktop.
class RecordingDesktop final : public ui::DesktopActions {
 public:
  std::optional<QString> openAccessibilitySettings() override {
    ++accessibilitySettingsOpened;
    return accessibilityAnswer;
  }
  std::optional<QString> openDocument(const QString& name) override {
    documents.push_back(name);
    return std::nullopt;
  }
  void quit() override { ++quits; }

  int accessibilitySettingsOpened = 0;
  std::optional<QString> accessibilityAnswer;
  std::vector<QString> documents;
  int quits = 0;
};

// The panel on a real OrvoHost whose main queue is the virtual loop of the test thread:
// settle() runs the host's queued work and the GUI's queued deliveries until both rest.
struct PanelHarness {
  PanelHarness() {
    h.start();
    model = std::make_unique<ui::PanelModel>(
        ui::PanelHost{*h.host, h.loop.main(), h.activation, h.loop.clock()});
    window = std::make_unique<ui::PanelWindow>(*model, desktop);
    window->show();
    settle();
  }
  ~PanelHarness() {
    window.reset();
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
  std::unique_ptr<ui::PanelModel> model;
  std::unique_ptr<ui::PanelWindow> window;
};

}  // namespace orvo::testing
