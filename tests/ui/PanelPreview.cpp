// orvo-panel-preview STATE OUTPUT.png: shows the control panel in one state on the current
// display and saves a picture of its window (frame included, sheets on top). The panel
// runs on a real OrvoHost whose network, stores and desktop are the test fakes, so that
// every state (devices, a connected client, an update) can be set up at will.
// scripts/screenshots.sh runs it for every state on a private X server.
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTest>
#include <QToolButton>
#include <QWindow>
#include <cstdio>
#include <map>
#include <string>

#include "tests/ui/PanelHarness.h"
#include "ui/AboutOrvoView.h"
#include "ui/ControlPanel.h"
#include "ui/OrvoHostSettingsView.h"
#include "ui/PairedDevicesSection.h"
#include "ui/PermissionSheets.h"
#include "ui/UpdateAvailableBanner.h"

namespace {

using orvo::testing::PanelHarness;

const std::map<std::string, const char*> kStates = {
    {"empty", "no paired devices, pairing code shown"},
    {"devices", "three paired devices, one of them connected"},
    {"token", "advanced pairing with a generated token"},
    {"update", "an update pending"},
    {"update-progress", "an update downloading after Update Now"},
    {"update-failed", "an update whose download failed (HTTP 404)"},
    {"network-sheet", "the network permission sheet"},
    {"network-sheet-ports", "the network permission sheet from More info while listening: the firewall's ports"},
    {"screen-recording-sheet", "the screen recording sheet"},
    {"accessibility-sheet", "the accessibility sheet after turning remote control on without the grant"},
    {"accessibility-sheet-error", "the accessibility sheet saying why no settings opened (no settings tool, no XTEST)"},
    {"permissions", "remote control on without the grant, permission rows open"},
    {"unpair", "the unpair confirmation"},
    {"settings", "the settings window over the panel, after Check for Updates…"},
    {"about", "the about view with the Connect group open"},
    {"about-links", "the about view scrolled to the contact and legal links"},
    {"wayland-shared", "on Wayland: two windows shared through the desktop's picker"},
    {"wayland-accessibility-sheet", "on Wayland: the remote control sheet, which asks the portal again"},
    {"pairing-suspended", "pairing suspended after twenty wrong codes from twenty addresses"},
};

int usage() {
  std::fprintf(stderr, "usage: orvo-panel-preview STATE OUTPUT.png\nstates:\n");
  for (const auto& [name, what] : kStates) std::fprintf(stderr, "  %-24s %s\n", name.c_str(), what);
  return 2;
}

void click(QObject* root, const char* name) {
  if (auto* button = root->findChild<QAbstractButton*>(name)) button->click();
}

// The rectangle on screen covering the window's frame and every other visible top-level
// window of the application (the sheets).
QRect shotArea(const QWidget& window) {
  QRect area = window.frameGeometry();
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top != &window && top->isVisible() && top->isWindow()) area |= top->frameGeometry();
  }
  return area;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 3 || !kStates.count(argv[1])) return usage();
  const std::string state = argv[1];
  const QString output = QString::fromLocal8Bit(argv[2]);

  // On Wayland the person chooses the windows the host shares.
  orvo::testing::FakeWindowSharing sharing;
  PanelHarness p(state.rfind("wayland", 0) == 0 ? &sharing : nullptr);
  p.h.loop.clock().set(*p.h.host->pairingPinExpiresAt() - 421.4);
  auto& settings = *p.settings;
  QObject::connect(p.window.get(), &orvo::ui::PanelWindow::settingsRequested, &settings,
                   [&settings, &p] { settings.showSettings(p.window.get()); });
  p.window->move(40, 40);
  QWidget* shown = p.window.get();

  if (state == "empty" || state == "token" || state == "pairing-suspended") click(p.window.get(), "pairingDisclosure");
  if (state == "token") {
    click(p.window.get(), "advancedDisclosure");
    click(p.window.get(), "generateTokenButton");
    p.settle();
    p.h.pair("Z", "Orvo Client (pending)");
  }
  if (state == "devices" || state == "unpair") {
    p.h.pair("A", "Anna’s iPad Pro");
    p.h.pair("B", "Vision Pro (Studio)");
    p.h.pair("C", "<b>Kitchen</b> iPad");
    auto client = p.h.connectClient();
    p.h.send(*client,
             "{\"type\":\"clientHello\",\"deviceName\":\"Vision Pro (Studio)\",\"platform\":\"visionOS\","
             "\"pairingID\":\"B\"}\n");
    p.settle();
    if (state == "unpair") {
      auto* rows = p.find<QWidget>("peerRows");
      rows->findChildren<orvo::ui::PeerRow*>()[1]->findChild<QToolButton*>("unpairButton")->click();
    }
  }
  if (state.rfind("update", 0) == 0) {
    p.updaterEngine->delegate().didFindValidUpdate(orvo::AppcastItem{
        .versionString = "140",
        .displayVersionString = "1.4.0",
        .title = "Orvo 1.4",
        .itemDescription = "<p>Sharper text while scrolling, faster reconnects after sleep, and fixes for "
                           "multi-monitor desktops.</p>"});
  }
  if (state == "update-progress" || state == "update-failed") {
    p.settle();
    click(p.window.get(), "updateNowButton");
    p.settle();
    auto& install = p.updaterEngine->installs.at(0);
    install.progress(orvo::UpdateProgress{.received = 7'800'000, .expected = 18'400'000});
    if (state == "update-failed") {
      install.done(orvo::UpdateInstallResult{
          .error = "The update could not be downloaded: the server answered HTTP 404."});
    }
  }
  if (state == "network-sheet-ports") {
    click(p.window.get(), "permissionsDisclosure");
    click(p.window.get(), "networkMoreInfo");
  }
  if (state == "network-sheet") {
    click(p.window.get(), "discoverableToggle");
    p.settle();
    click(p.window.get(), "discoverableToggle");
  }
  if (state == "screen-recording-sheet") click(p.window.get(), "screenRecordingMoreInfo");
  if (state == "wayland-shared") {
    sharing.answer({{1, "Notes — ~/todo.txt", "Text Editor", 1012, 734}, {2, "Inbox (3)", "", 1280, 800}},
                   "Sharing 2 windows");
  }
  if (state == "pairing-suspended") {
    for (int i = 0; i < 20; ++i) {
      auto wrong = p.h.pairingListener()->accept("198.51.100." + std::to_string(i) + ":1");
      wrong->deliverState(orvo::platform::ConnectionStateKind::failed, "unknown psk identity");
      p.h.loop.drain();
    }
  }
  if (state == "wayland-accessibility-sheet") {
    p.h.activation.trusted = false;  // the person refused remote input in the portal's dialog
    click(p.window.get(), "remoteControlToggle");
  }
  if (state == "accessibility-sheet-error") {
    p.h.activation.trusted = false;
    p.desktop.hasAccessibilitySettings = false;  // openbox: no accessibility settings to open
    click(p.window.get(), "remoteControlToggle");
    p.settle();
    click(&p.window->panel().accessibilitySheet(), "openSettingsButton");
  }
  if (state == "accessibility-sheet" || state == "permissions") {
    p.h.activation.trusted = false;
    if (state == "permissions") {
      p.h.host->setAllowControlThisMac(true);
      p.window->panel().recheckOnReturn();
      p.settle();
      click(p.window.get(), "permissionsDisclosure");
    } else {
      click(p.window.get(), "remoteControlToggle");
    }
  }
  if (state == "settings") {
    p.updaterEngine->canCheck.set(true);
    p.window->settingsAction().trigger();
    click(&settings, "launchAtLoginToggle");
    p.settle();  // the button is enabled once the updater said a check may start
    click(&settings, "checkForUpdatesButton");
    p.settle();
    if (!p.updaterEngine->checks.empty()) {
      p.updaterEngine->checks[0](orvo::UpdateCheckResult{.currentVersion = p.updaterEngine->version});
    }
  }
  if (state == "about" || state == "about-links") {
    p.window->showAbout();
    auto* about = p.window->about();
    about->move(60, 80);
    if (state == "about") click(about, "connectGroup");
    shown = about;
  }
  p.settle();
  // States further down the panel or the about view scroll there.
  if (state == "wayland-shared") {
    p.find<QScrollArea>("panelScroll")->ensureWidgetVisible(p.find<QWidget>("sharedWindowsSection"));
  }
  if (state == "permissions") {
    p.find<QScrollArea>("panelScroll")->ensureWidgetVisible(p.find<QWidget>("permissionsContent"));
  }
  if (state == "about-links") {
    auto* about = p.window->about();
    about->findChild<QScrollArea*>()->ensureWidgetVisible(about->findChild<QWidget*>("websiteLink"));
  }

  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top->isVisible() && !QTest::qWaitForWindowExposed(top)) std::fprintf(stderr, "a window was not exposed\n");
  }
  QTest::qWait(300);  // let the window manager finish placing and painting
  const QRect area = state.rfind("about", 0) == 0 ? shown->frameGeometry() : shotArea(*p.window);
  const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
  if (!shot.save(output, "PNG")) {
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  std::printf("%s %dx%d %s\n", argv[2], shot.width(), shot.height(), kStates.at(state));
  return 0;
}
