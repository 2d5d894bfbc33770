#include "app/PanelMain.h"

#include <sys/stat.h>

#include <xcb/xcb.h>

#include <QApplication>
#include <QMetaObject>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/HostService.h"
#include "core/Log.h"
#include "ui/DesktopActions.h"
#include "ui/OrvoHostSettingsView.h"
#include "ui/PanelModel.h"
#include "ui/PanelWindow.h"
#include "ui/SettingsModel.h"

namespace orvo {

bool displayIsReachable() {
  // A Wayland session: the compositor's socket ($XDG_RUNTIME_DIR/$WAYLAND_DISPLAY, or an
  // absolute path). Qt then opens the panel as a native Wayland window.
  if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string socket = wayland[0] == '/' ? wayland : std::string(runtime ? runtime : "") + "/" + wayland;
    struct stat info{};
    if (::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) return true;
  }
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return false;
  xcb_connection_t* connection = xcb_connect(display, nullptr);
  const bool ok = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return ok;
}

int runWithPanel(int argc, char** argv) {
  StdoutLogger logger;
  QApplication app(argc, argv);
  QApplication::setApplicationName("Orvo");
  QApplication::setApplicationDisplayName("Orvo");
  QApplication::setDesktopFileName("orvo-host");
  // Closing the panel keeps the host running; "Quit Orvo" ends it.
  QApplication::setQuitOnLastWindowClosed(false);

  // The host is built, run and destroyed on its own thread; the panel gets to it once it
  // has started, and the host outlives the panel.
  std::promise<std::optional<std::string>> started;
  HostService* service = nullptr;
  std::thread hostThread([&] {
    // SIGINT and SIGTERM end the application the way "Quit Orvo" does.
    std::unique_ptr<HostService> host;
    try {
      host = std::make_unique<HostService>(logger, [] {
        QMetaObject::invokeMethod(
            qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
      });
    } catch (const std::runtime_error& error) {  // unreadable stores, an unsafe fallback directory
      started.set_value(std::string("cannot start: ") + error.what());
      return;
    }
    auto error = host->start();
    service = host.get();
    started.set_value(error);
    if (!error) host->run();
  });
  if (auto error = started.get_future().get()) {
    hostThread.join();
    std::cerr << "orvo-host: " << *error << "\n";
    return 1;
  }

  int status = 0;
  {
    auto& runtime = service->runtime();
    ui::LinuxDesktop desktop;
    ui::PanelModel model(
        {runtime.host(), runtime.mainQueue(), runtime.activation(), runtime.clock(), runtime.desktop().sharing()});
    ui::SettingsModel settingsModel(runtime.mainQueue(), &runtime.launchAtLogin(), &runtime.updater());
    ui::PanelWindow window(model, &settingsModel, desktop);
    ui::OrvoHostSettingsView settings(settingsModel);
    QObject::connect(&window, &ui::PanelWindow::settingsRequested, &settings,
                     [&settings, &window] { settings.showSettings(&window); });
    window.show();
    status = QApplication::exec();
  }
  // The panel is gone (its subscriptions end on the main queue before this stop).
  service->runtime().mainQueue().async([service] { service->stop(); });
  hostThread.join();
  return status;
}

}  // namespace orvo
