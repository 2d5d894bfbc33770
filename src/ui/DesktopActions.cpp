#include "ui/DesktopActions.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace orvo::ui {
namespace {

struct SettingsTool {
  const char* desktop;  // as named in XDG_CURRENT_DESKTOP
  QStringList command;
};

const std::vector<SettingsTool>& settingsTools() {
  static const std::vector<SettingsTool> tools = {
      {"GNOME", {"gnome-control-center", "universal-access"}},
      {"Unity", {"gnome-control-center", "universal-access"}},
      {"KDE", {"systemsettings", "kcm_access"}},
      {"XFCE", {"xfce4-accessibility-settings"}},
      {"MATE", {"mate-at-properties"}},
  };
  return tools;
}

bool startDetached(const QStringList& command) {
  if (command.isEmpty() || QStandardPaths::findExecutable(command.front()).isEmpty()) return false;
  return QProcess::startDetached(command.front(), command.mid(1));
}

}  // namespace

std::optional<QStringList> LinuxDesktop::accessibilitySettingsCommand(const QString& currentDesktop) {
  for (const auto& name : currentDesktop.split(':', Qt::SkipEmptyParts)) {
    for (const auto& tool : settingsTools()) {
      if (name.compare(QLatin1String(tool.desktop), Qt::CaseInsensitive) == 0) return tool.command;
    }
  }
  return std::nullopt;
}

bool LinuxDesktop::openAccessibilitySettings() {
  const auto command = accessibilitySettingsCommand(qEnvironmentVariable("XDG_CURRENT_DESKTOP"));
  return command && startDetached(*command);
}

std::optional<QString> LinuxDesktop::documentPath(const QString& name) {
  for (const QString& dir :
       {QStringLiteral(ORVO_INSTALLED_DOC_DIR), QStringLiteral(ORVO_SOURCE_DOC_DIR), QStringLiteral(ORVO_SOURCE_DIR)}) {
    const QString path = dir + "/" + name + ".md";
    if (QFileInfo::exists(path)) return path;
  }
  return std::nullopt;
}

std::optional<QString> LinuxDesktop::openDocument(const QString& name) {
  const auto path = documentPath(name);
  if (!path) return QStringLiteral("The document “%1” is not installed.").arg(name);
  if (!startDetached({"xdg-open", *path})) return QStringLiteral("Could not open %1 (xdg-open is missing).").arg(*path);
  return std::nullopt;
}

std::optional<QString> LinuxDesktop::openUrl(const QString& url) {
  if (!startDetached({"xdg-open", url})) return QStringLiteral("Could not open %1 (xdg-open is missing).").arg(url);
  return std::nullopt;
}

// exit(), not quit(): quit() first asks every window to close, and the panel refuses.
void LinuxDesktop::quit() { QCoreApplication::exit(0); }

}  // namespace orvo::ui
