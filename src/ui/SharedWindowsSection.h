#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/WindowSharing.h"

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace orvo::ui {

// Where the person decides what is shared on a desktop that lists no windows to other
// programs (Wayland): "Shared Windows", where sharing stands, one row per shared window
// (its title and size as plain text, and "Stop Sharing"), "Choose Windows…" (the
// desktop's picker) and "Stop Sharing All". GUI thread.
class SharedWindowsSection final : public QWidget {
  Q_OBJECT
 public:
  explicit SharedWindowsSection(QWidget* parent = nullptr);

  void setWindows(const std::vector<platform::SharedWindow>& windows, const std::string& status);

 signals:
  void chooseRequested();
  void stopRequested(std::uint32_t windowId);
  void stopAllRequested();

 private:
  QLabel* status_;
  QVBoxLayout* rowsHolder_;
  QWidget* rows_ = nullptr;
  QPushButton* stopAll_;
};

}  // namespace orvo::ui
