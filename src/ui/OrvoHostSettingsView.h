#pragma once

#include <QWidget>

namespace orvo::ui {

// The settings window: starting Orvo with the desktop session and the update
// preferences. It holds no state of its own. GUI thread.
class OrvoHostSettingsView final : public QWidget {
  Q_OBJECT
 public:
  explicit OrvoHostSettingsView(QWidget* parent = nullptr);

  // Shows the window (again) and brings it forward.
  void showSettings();
};

}  // namespace orvo::ui
