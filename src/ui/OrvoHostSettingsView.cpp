#include "ui/OrvoHostSettingsView.h"

#include <QLabel>
#include <QVBoxLayout>

namespace orvo::ui {

OrvoHostSettingsView::OrvoHostSettingsView(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName("settingsView");
  setWindowTitle("Orvo Settings");
  resize(460, 300);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 20, 20, 20);
  layout->setSpacing(12);
  layout->addStretch(1);
  auto* footer = new QLabel(
      "Automatic checks keep Orvo compatible with current clients. Automatic updates download and prepare updates in "
      "the background when allowed.");
  footer->setObjectName("settingsFooter");
  footer->setTextFormat(Qt::PlainText);
  footer->setWordWrap(true);
  footer->setStyleSheet("color: #5f6368;");
  layout->addWidget(footer);
}

void OrvoHostSettingsView::showSettings() {
  show();
  raise();
  activateWindow();
}

}  // namespace orvo::ui
