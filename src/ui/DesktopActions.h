#pragma once

#include <QString>
#include <optional>

namespace orvo::ui {

// What the panel asks of the desktop around it. GUI thread.
class DesktopActions {
 public:
  virtual ~DesktopActions() = default;
  // Opens the desktop's accessibility settings; false when no settings tool is known for
  // this desktop (or it could not be started).
  virtual bool openAccessibilitySettings() = 0;
  // Opens one of the documents installed with the host ("terms-of-service",
  // "privacy-policy") or, failing that, says why.
  virtual std::optional<QString> openDocument(const QString& name) = 0;
  // Opens a web page or a mail link (https:, mailto:) with the desktop's handler for it,
  // or says why it could not.
  virtual std::optional<QString> openUrl(const QString& url) = 0;
  // Ends the application: the panel goes and hosting stops.
  virtual void quit() = 0;
};

// The real desktop: the accessibility settings of GNOME, KDE, Xfce and MATE, documents and
// links through xdg-open, and quitting through QCoreApplication.
class LinuxDesktop final : public DesktopActions {
 public:
  bool openAccessibilitySettings() override;
  std::optional<QString> openDocument(const QString& name) override;
  std::optional<QString> openUrl(const QString& url) override;
  void quit() override;

  // The command that opens the accessibility settings of the desktop named by
  // XDG_CURRENT_DESKTOP (colon-separated list), or nothing when none is known.
  static std::optional<QStringList> accessibilitySettingsCommand(const QString& currentDesktop);
  // The installed document's path, or the copy in the source tree when running from a build.
  static std::optional<QString> documentPath(const QString& name);
};

}  // namespace orvo::ui
