// The control panel against a real OrvoHost on the virtual loop (offscreen platform).
#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QCheckBox>
#include <QClipboard>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include "core/Clock.h"
#include "tests/ui/PanelHarness.h"
#include "ui/ControlPanel.h"
#include "ui/PairedDevicesSection.h"
#include "ui/PeerDateFormatter.h"
#include "ui/AboutOrvoView.h"
#include "ui/PanelControls.h"
#include "ui/PermissionSheets.h"
#include "ui/UpdateAvailableBanner.h"
#include "updates/UpdaterSettings.h"

namespace orvo::testing {
namespace {

QString labelText(const PanelHarness& p, const char* name) {
  auto* label = p.find<QLabel>(name);
  return label ? label->text() : QStringLiteral("<missing %1>").arg(name);
}

// The rows of the current device list.
QList<ui::PeerRow*> peerRows(const PanelHarness& p) {
  auto* rows = p.find<QWidget>("peerRows");
  return rows ? rows->findChildren<ui::PeerRow*>() : QList<ui::PeerRow*>{};
}

// Every visible label and button under `window` shows its whole text: a wrapped label is as
// tall as its text needs at its width, anything else as wide and tall as its text, and all
// of it lies inside the window and inside every scroll area's viewport around it (nothing
// hidden until scrolled to).
void verifyNothingClipped(QWidget& window) {
  int checked = 0;
  for (QWidget* widget : window.findChildren<QWidget*>()) {
    if (widget->isWindow() || !widget->isVisibleTo(&window)) continue;
    auto* label = qobject_cast<QLabel*>(widget);
    auto* button = qobject_cast<QAbstractButton*>(widget);
    if ((!label || label->text().isEmpty()) && (!button || button->text().isEmpty())) continue;
    ++checked;
    const QString what = QString("%1 “%2” %3x%4")
                             .arg(widget->metaObject()->className(), label ? label->text() : button->text())
                             .arg(widget->width())
                             .arg(widget->height());
    if (label && label->wordWrap()) {
      QVERIFY2(label->height() >= label->heightForWidth(label->width()), qPrintable(what + " is cut short"));
    } else {
      const QSize needed = widget->minimumSizeHint();
      QVERIFY2(widget->width() >= needed.width() && widget->height() >= needed.height(),
               qPrintable(what + " is cut short"));
    }
    const QRect area(widget->mapTo(&window, QPoint(0, 0)), widget->size());
    QVERIFY2(window.rect().contains(area), qPrintable(what + " lies outside the window"));
    for (QWidget* up = widget->parentWidget(); up && up != &window; up = up->parentWidget()) {
      if (auto* scroll = qobject_cast<QAbstractScrollArea*>(up)) {
        const QRect viewport(scroll->viewport()->mapTo(&window, QPoint(0, 0)), scroll->viewport()->size());
        QVERIFY2(viewport.contains(area), qPrintable(what + " is scrolled out of view"));
      }
    }
  }
  QVERIFY(checked > 0);
}

// The window becomes the active one, as when the person clicks it (keys and shortcuts go to it).
void activate(QWidget& window) {
  window.activateWindow();
  QApplication::setActiveWindow(&window);
  QVERIFY(QTest::qWaitForWindowActive(&window));
}
void activate(PanelHarness& p) { activate(*p.window); }

// What a focused widget is, for reading a tab sequence.
QString describe(QWidget* widget) {
  if (!widget) return "<none>";
  if (!widget->objectName().isEmpty()) return widget->objectName();
  if (!widget->accessibleName().isEmpty()) return widget->accessibleName();
  return widget->metaObject()->className();
}

// The widgets Tab visits, starting with `first` focused.
QStringList tabStops(QWidget* first, int count) {
  first->setFocus(Qt::TabFocusReason);
  QStringList stops;
  for (int i = 0; i < count; ++i) {
    QWidget* focused = QApplication::focusWidget();
    stops << describe(focused);
    if (!focused) break;
    QTest::keyClick(focused, Qt::Key_Tab);
  }
  return stops;
}

// Runs an assistive technology's Toggle action on a control.
void toggleAccessibly(QWidget* control) {
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
  QVERIFY(accessible && accessible->actionInterface());
  QVERIFY(accessible->actionInterface()->actionNames().contains(QAccessibleActionInterface::toggleAction()));
  accessible->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
}

const std::string kHelloA =
    "{\"type\":\"clientHello\",\"deviceName\":\"iPad\",\"platform\":\"iPadOS\",\"pairingID\":\"A\"}\n";

}  // namespace

class ControlPanelTest : public QObject {
  Q_OBJECT

 private slots:
  void discoverabilityOnPassesThroughTheNetworkSheetOffAppliesAtOnce() {
    PanelHarness p;
    auto* toggle = p.find<QCheckBox>("discoverableToggle");
    auto& sheet = p.window->panel().networkSheet();
    QVERIFY(toggle->isChecked());

    toggle->click();  // off
    p.settle();
    QVERIFY(!*p.h.host->isDiscoverable());
    QVERIFY(!toggle->isChecked());
    QVERIFY(!sheet.isVisible());
    QCOMPARE(
        labelText(p, "discoverableCaption"),
        QString("Disabled: This computer is not discoverable or listening for other Orvo devices on the network."));
    QVERIFY(!p.h.host->listenerPort());  // the listeners are closed

    toggle->click();  // on: only the sheet, nothing applied yet
    p.settle();
    QVERIFY(sheet.isVisible());
    QVERIFY(p.window->panel().pendingEnableDiscoverable());
    QVERIFY(!*p.h.host->isDiscoverable());
    QVERIFY(!toggle->isChecked());

    sheet.findChild<QPushButton*>("continueButton")->click();
    p.settle();
    QVERIFY(!sheet.isVisible());
    QVERIFY(*p.h.host->isDiscoverable());
    QVERIFY(toggle->isChecked());
    QVERIFY(!p.window->panel().pendingEnableDiscoverable());
    QVERIFY(p.window->panel().awaitingFirewallDecision());
    QVERIFY(p.h.host->listenerPort().has_value());
    QCOMPARE(labelText(p, "discoverableCaption"),
             QString("Enabled: This computer is discoverable and listening for other Orvo devices on the network."));
  }

  void continueFromMoreInfoEnablesDiscoverabilityToo() {
    PanelHarness p;
    p.h.host->setDiscoverable(false);
    p.settle();
    p.find<QPushButton>("networkMoreInfo")->click();
    QVERIFY(p.window->panel().networkSheet().isVisible());
    p.window->panel().networkSheet().findChild<QPushButton*>("continueButton")->click();
    p.settle();
    QVERIFY(*p.h.host->isDiscoverable());
  }

  void remoteControlWithoutTheGrantShowsTheSheetAndSpringsBack() {
    PanelHarness p;
    p.h.activation.trusted = false;
    auto* toggle = p.find<QCheckBox>("remoteControlToggle");
    auto& sheet = p.window->panel().accessibilitySheet();

    toggle->click();
    p.settle();
    QVERIFY(!toggle->isChecked());
    QVERIFY(!p.h.host->allowControlThisMac());
    QVERIFY(sheet.isVisible());
    QCOMPARE(sheet.errorText(), std::nullopt);

    // "Open Accessibility Settings" where the desktop has none to offer says so in the sheet.
    p.desktop.hasAccessibilitySettings = false;
    sheet.findChild<QPushButton*>("openSettingsButton")->click();
    p.settle();
    QCOMPARE(p.desktop.accessibilitySettingsOpened, 1);
    QCOMPARE(sheet.errorText(),
             std::optional<QString>("No accessibility settings are known for this desktop. Remote input needs an X "
                                    "display that offers the XTEST extension (Xorg and Xvfb offer it unless it was "
                                    "turned off); Orvo checks again when you come back."));

    // Coming back with the grant in place turns control on and closes the sheet.
    p.h.activation.trusted = true;
    p.window->panel().recheckOnReturn();
    p.settle();
    QVERIFY(!sheet.isVisible());
    QVERIFY(toggle->isChecked());
    QVERIFY(p.h.host->allowControlThisMac());
    QCOMPARE(sheet.errorText(), std::nullopt);
    QCOMPARE(labelText(p, "remoteControlCaption"),
             QString("Enabled: Remote mouse/keyboard input and window focusing are allowed on this computer."));
  }

  void remoteControlWithTheGrantIsStoredAndOffAppliesAtOnce() {
    PanelHarness p;
    p.h.activation.trusted = true;
    auto* toggle = p.find<QCheckBox>("remoteControlToggle");
    toggle->click();
    p.settle();
    QVERIFY(toggle->isChecked());
    QVERIFY(p.h.host->allowControlThisMac());
    QVERIFY(!p.window->panel().accessibilitySheet().isVisible());
    QVERIFY(p.find<QLabel>("accessibilityWarning")->isHidden());

    // The grant goes away behind the panel's back: the warning shows once it is read again.
    p.h.activation.trusted = false;
    p.window->panel().recheckOnReturn();
    p.settle();
    QVERIFY(!p.find<QLabel>("accessibilityWarning")->isHidden());

    toggle->click();
    p.settle();
    QVERIFY(!p.h.host->allowControlThisMac());
    QCOMPARE(labelText(p, "remoteControlCaption"), QString("Disabled: Remote input and window focusing are off."));
  }

  void expiryCaption_data() {
    QTest::addColumn<double>("secondsLeft");
    QTest::addColumn<QString>("caption");
    QTest::newRow("full code") << 600.0 << "Expires in 600s";
    QTest::newRow("one and a half seconds") << 1.5 << "Expires in 1s";
    QTest::newRow("one whole second") << 1.0 << "Expires in 1s";
    QTest::newRow("below one second") << 0.999 << "Expired (regenerating…)";
    QTest::newRow("exactly at expiry") << 0.0 << "Expired (regenerating…)";
    QTest::newRow("past expiry") << -3.0 << "Expired (regenerating…)";
  }
  void expiryCaption() {
    QFETCH(double, secondsLeft);
    QFETCH(QString, caption);
    PanelHarness p;
    p.h.loop.clock().set(*p.h.host->pairingPinExpiresAt() - secondsLeft);
    p.window->panel().refreshExpiryCaption();
    QCOMPARE(labelText(p, "expiryCaption"), caption);
  }

  void pairingCodeRegeneratesAndCopies() {
    PanelHarness p;
    QCOMPARE(labelText(p, "pairingPin"), QString::fromStdString(*p.h.host->pairingPIN()));
    QVERIFY(p.find<QWidget>("pairingContent")->isHidden());
    auto* disclosure = p.find<QToolButton>("pairingDisclosure");
    QCOMPARE(disclosure->text(), QString("Show Pairing Code"));
    disclosure->click();
    QCOMPARE(disclosure->text(), QString("Hide Pairing Code"));
    QVERIFY(p.find<QWidget>("pairingContent")->isVisible());

    const auto before = *p.h.host->pairingPIN();
    p.find<QToolButton>("regeneratePinButton")->click();
    p.settle();
    QVERIFY(*p.h.host->pairingPIN() != before);
    QCOMPARE(labelText(p, "pairingPin"), QString::fromStdString(*p.h.host->pairingPIN()));

    p.find<QToolButton>("copyPinButton")->click();
    QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromStdString(*p.h.host->pairingPIN()));
  }

  // Twenty wrong codes from twenty addresses: the panel hides the code and says why and
  // what to do; its Regenerate button resumes pairing with a new code.
  void suspendedPairingIsShownAndRegenerateResumesIt() {
    PanelHarness p;
    for (int i = 0; i < 20; ++i) {
      auto wrong = p.h.pairingListener()->accept("198.51.100." + std::to_string(i) + ":1");
      wrong->deliverState(platform::ConnectionStateKind::failed, "unknown psk identity");
      p.h.loop.drain();
    }
    p.settle();
    QVERIFY(*p.h.host->pairingSuspended());
    QCOMPARE(labelText(p, "pairingPin"), QString("------"));
    QCOMPARE(labelText(p, "expiryCaption"),
             QString("Pairing is paused: too many wrong codes were tried. Click Regenerate for a new code to pair."));
    p.window->panel().refreshExpiryCaption();  // the once-a-second refresh keeps the text
    QCOMPARE(labelText(p, "expiryCaption"),
             QString("Pairing is paused: too many wrong codes were tried. Click Regenerate for a new code to pair."));

    p.find<QToolButton>("regeneratePinButton")->click();
    p.settle();
    QVERIFY(!*p.h.host->pairingSuspended());
    QCOMPARE(labelText(p, "pairingPin"), QString::fromStdString(*p.h.host->pairingPIN()));
    QCOMPARE(labelText(p, "expiryCaption"), QString("Expires in 600s"));
  }

  void copyTokenPutsExactlyTheTokenOnTheClipboard() {
    PanelHarness p;
    QVERIFY(p.find<QPlainTextEdit>("tokenText")->isHidden());
    QGuiApplication::clipboard()->setText("something else");
    p.find<QPushButton>("generateTokenButton")->click();
    p.settle();
    const auto token = *p.h.host->lastPairingToken();
    QVERIFY(token.has_value());
    auto* text = p.find<QPlainTextEdit>("tokenText");
    QVERIFY(text->isReadOnly());
    QCOMPARE(text->toPlainText(), QString::fromStdString(*token));
    p.find<QPushButton>("copyTokenButton")->click();
    QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromStdString(*token));
    // The token pairs the pending device it was made for.
    QCOMPARE(peerRows(p).size(), 1);
    QCOMPARE(peerRows(p).front()->peer().displayName, std::string("Orvo Client (pending)"));
  }

  void devicesListCountsMarksTheConnectedOneAndShowsDates() {
    PanelHarness p;
    QCOMPARE(labelText(p, "pairedDevicesHeader"), QString("Paired Devices (0)"));
    QVERIFY(p.find<QLabel>("noDevicesText")->isVisible());

    p.h.pair("A", "iPad");
    p.h.pair("B", "Vision");
    auto client = p.h.connectClient();
    p.h.send(*client, kHelloA);
    p.settle();
    QCOMPARE(labelText(p, "pairedDevicesHeader"), QString("Paired Devices (2)"));
    QVERIFY(p.find<QLabel>("noDevicesText")->isHidden());
    const auto rows = peerRows(p);
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0]->peer().id, std::string("A"));
    QVERIFY(rows[0]->findChild<QLabel*>("connectedMark") != nullptr);
    QVERIFY(rows[1]->findChild<QLabel*>("connectedMark") == nullptr);
    QVERIFY(rows[0]->findChild<QLabel*>("pairedText")->text().startsWith("Paired: "));
    QVERIFY(rows[0]->findChild<QLabel*>("lastSeenText")->text().startsWith("Last seen: "));
  }

  void unpairingTheConnectedDeviceDisconnectsItFirst() {
    PanelHarness p;
    p.h.pair("A", "iPad");
    p.h.pair("B", "Vision");
    auto client = p.h.connectClient();
    p.h.send(*client, kHelloA);
    p.settle();

    // Unpairing the other device leaves the session alone.
    auto& devices = p.window->panel().devices();
    peerRows(p)[1]->findChild<QToolButton*>("unpairButton")->click();
    QCOMPARE(devices.confirmUnpair()->id, std::string("B"));
    devices.confirmation()->findChild<QAbstractButton*>("confirmUnpairButton")->click();
    p.settle();
    QVERIFY(!client->cancelled);
    QCOMPARE(peerRows(p).size(), 1);

    // Cancelling keeps the device.
    peerRows(p)[0]->findChild<QToolButton*>("unpairButton")->click();
    devices.confirmation()->findChild<QAbstractButton*>("cancelUnpairButton")->click();
    p.settle();
    QCOMPARE(peerRows(p).size(), 1);
    QVERIFY(!devices.confirmUnpair());

    // The connected one: the session ends before the device leaves the store.
    bool cancelledWhenRemoved = false;
    auto watch = p.h.host->pairingStore().paired().subscribe([&](const auto& peers) {
      if (peers.empty()) cancelledWhenRemoved = client->cancelled;
    });
    peerRows(p)[0]->findChild<QToolButton*>("unpairButton")->click();
    devices.confirmation()->findChild<QAbstractButton*>("confirmUnpairButton")->click();
    StatusHistory history(*p.h.host);
    p.settle();
    QVERIFY(cancelledWhenRemoved);
    QVERIFY(history.saw("Client disconnected (Unpaired device revoked)"));
    QVERIFY(p.h.host->pairingStore().paired()->empty());
    QCOMPARE(labelText(p, "pairedDevicesHeader"), QString("Paired Devices (0)"));
  }

  void unpairingWhileAClientHasNotSaidHelloDisconnectsIt() {
    PanelHarness p;
    p.h.pair("A", "iPad");
    auto client = p.h.connectClient();
    p.settle();
    peerRows(p)[0]->findChild<QToolButton*>("unpairButton")->click();
    p.window->panel().devices().confirmation()->findChild<QAbstractButton*>("confirmUnpairButton")->click();
    p.settle();
    QVERIFY(client->cancelled);
  }

  void deviceNamesAreShownAsPlainText() {
    PanelHarness p;
    p.h.pair("A", "<b>x</b>");
    p.settle();
    auto* name = peerRows(p)[0]->findChild<QLabel*>("peerName");
    QCOMPARE(name->text(), QString("<b>x</b>"));
    QCOMPARE(name->textFormat(), Qt::PlainText);
    peerRows(p)[0]->findChild<QToolButton*>("unpairButton")->click();
    auto* confirmation = p.window->panel().devices().confirmation();
    QCOMPARE(confirmation->textFormat(), Qt::PlainText);
    QCOMPARE(confirmation->text(), QString("This will revoke access for “<b>x</b>”. If it’s currently connected, it "
                                           "will be disconnected immediately."));
    QCOMPARE(confirmation->windowTitle(), QString("Unpair device?"));
  }

  void permissionRowsOpenTheirSheets() {
    PanelHarness p;
    auto* disclosure = p.find<QToolButton>("permissionsDisclosure");
    QCOMPARE(disclosure->text(), QString("Show permissions info"));
    disclosure->click();
    QCOMPARE(disclosure->text(), QString("Hide permissions info"));
    auto& panel = p.window->panel();
    p.find<QPushButton>("screenRecordingMoreInfo")->click();
    QVERIFY(panel.screenRecordingSheet().isVisible());
    panel.screenRecordingSheet().findChild<QPushButton*>("continueButton")->click();
    QVERIFY(!panel.screenRecordingSheet().isVisible());
    p.find<QPushButton>("accessibilityMoreInfo")->click();
    QVERIFY(panel.accessibilitySheet().isVisible());
    panel.accessibilitySheet().findChild<QPushButton*>("notNowButton")->click();
    QVERIFY(!panel.accessibilitySheet().isVisible());
    p.find<QPushButton>("openAccessibilitySettingsButton")->click();
    QCOMPARE(p.desktop.accessibilitySettingsOpened, 1);
  }

  void sharedWindowsAreListedChosenAndStoppedWhereThePersonShares() {
    {
      PanelHarness x11;
      QVERIFY(!x11.window->panel().sharedWindows());  // every window is listed there
    }
    FakeWindowSharing sharing;
    PanelHarness p(&sharing);
    QVERIFY(p.window->panel().sharedWindows());
    QCOMPARE(p.find<QLabel>("sharingStatus")->text(), QString("No windows shared"));
    QVERIFY(p.find<QPushButton>("stopSharingAllButton")->isHidden());
    p.find<QPushButton>("chooseWindowsButton")->click();
    p.settle();
    QCOMPARE(sharing.pickerOpened, 1);
    sharing.answer({{3, "Notes", "Text Editor", 800, 600}, {4, "<b>Mail</b>", "", 0, 0}}, "Sharing 2 windows");
    p.settle();
    QCOMPARE(p.find<QLabel>("sharingStatus")->text(), QString("Sharing 2 windows"));
    auto rows = p.window->findChildren<QWidget*>("sharedWindowRow");
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0]->findChild<QLabel*>("sharedWindowTitle")->text(), QString("Notes — Text Editor"));
    QCOMPARE(rows[0]->findChild<QLabel*>("sharedWindowSize")->text(), QString("800 × 600"));
    auto* html = rows[1]->findChild<QLabel*>("sharedWindowTitle");
    QCOMPARE(html->textFormat(), Qt::PlainText);  // a title is never markup
    QVERIFY(!rows[1]->findChild<QLabel*>("sharedWindowSize"));
    rows[0]->findChild<QPushButton*>("stopSharingButton")->click();
    p.settle();
    QCOMPARE(sharing.stopped, std::vector<std::uint32_t>{3});
    QCOMPARE(p.window->findChildren<QWidget*>("sharedWindowRow").size(), 1);
    QVERIFY(!p.find<QPushButton>("stopSharingAllButton")->isHidden());
    p.find<QPushButton>("stopSharingAllButton")->click();
    p.settle();
    QCOMPARE(sharing.stoppedAll, 1);
    QCOMPARE(p.window->findChildren<QWidget*>("sharedWindowRow").size(), 0);
  }

  void onWaylandTheSheetsSpeakOfThePortalsDialogsAndAskAgain() {
    FakeWindowSharing sharing;
    PanelHarness p(&sharing);
    auto& panel = p.window->panel();
    QString texts;
    for (auto* label : panel.screenRecordingSheet().findChildren<QLabel*>()) texts += label->text() + "\n";
    QVERIFY(texts.contains("Choose Windows…"));
    QVERIFY(!texts.contains("X11"));
    auto* ask = panel.accessibilitySheet().findChild<QPushButton*>("openSettingsButton");
    QCOMPARE(ask->text(), QString("Ask Again"));
    texts.clear();
    for (auto* label : panel.accessibilitySheet().findChildren<QLabel*>()) texts += label->text() + "\n";
    QVERIFY(texts.contains("Allow remote interaction"));
    QVERIFY(!texts.contains("XTEST"));
    ask->click();
    p.settle();
    // The grant is the portal's consent, asked with the picker; no settings to open.
    QCOMPARE(sharing.pickerOpened, 1);
    QCOMPARE(p.desktop.accessibilitySettingsOpened, 0);
  }

  void quitAndTheToolbar() {
    PanelHarness p;
    p.find<QPushButton>("quitButton")->click();
    QCOMPARE(p.desktop.quits, 1);
    p.window->aboutAction().trigger();
    QVERIFY(p.window->about() && p.window->about()->isVisible());
    bool settingsAsked = false;
    QObject::connect(p.window.get(), &ui::PanelWindow::settingsRequested, [&] { settingsAsked = true; });
    p.window->settingsAction().trigger();
    QVERIFY(settingsAsked);
    QCOMPARE(p.window->settingsAction().toolTip(), QString("Settings"));
    QCOMPARE(p.window->aboutAction().text(), QString("About Orvo"));
  }

  void closingTheWindowKeepsHosting() {
    PanelHarness p;
    QVERIFY(!p.window->close());  // refused: the window hides or minimizes instead
    p.settle();
    QCOMPARE(p.desktop.quits, 0);
    QVERIFY(*p.h.host->isDiscoverable());
    p.window->showPanel();
    QVERIFY(p.window->isVisible());
  }

  void peerDatesUseMediumDateAndShortTime_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("expected");
    // 2026-12-10 09:30:00 UTC.
    QTest::newRow("US English") << "en_US"
                                << "Dec 10, 2026, 9:30\u202fAM";
    QTest::newRow("German") << "de_DE"
                            << "10.12.2026, 09:30";
  }
  void peerDatesUseMediumDateAndShortTime() {
    QFETCH(QString, locale);
    QFETCH(QString, expected);
    const double at = 1796895000.0 - kSecondsFrom1970To2001;
    ui::PeerDateFormatter dates(locale.toStdString(), "UTC");
    QCOMPARE(QString::fromStdString(dates.format(at)), expected);
  }

  void accessibilitySettingsOfKnownDesktops_data() {
    QTest::addColumn<QString>("desktop");
    QTest::addColumn<QString>("command");
    QTest::newRow("GNOME") << "GNOME"
                           << "gnome-control-center universal-access";
    QTest::newRow("Ubuntu's list") << "ubuntu:GNOME"
                                   << "gnome-control-center universal-access";
    QTest::newRow("KDE") << "KDE"
                         << "systemsettings kcm_access";
    QTest::newRow("Xfce") << "XFCE"
                          << "xfce4-accessibility-settings";
    QTest::newRow("unknown") << "openbox"
                             << "";
    QTest::newRow("none") << ""
                          << "";
  }
  void accessibilitySettingsOfKnownDesktops() {
    QFETCH(QString, desktop);
    QFETCH(QString, command);
    const auto found = ui::LinuxDesktop::accessibilitySettingsCommand(desktop);
    QCOMPARE(found ? found->join(' ') : QString(), command);
  }

  void updateBannerFollowsThePendingUpdate() {
    PanelHarness p;
    auto& banner = p.window->banner();
    QVERIFY(banner.isHidden());
    p.updaterEngine->delegate().didFindValidUpdate(
        AppcastItem{.versionString = "200", .displayVersionString = "2.0", .itemDescription = "<b>Faster</b> frames."});
    p.settle();
    QVERIFY(banner.isVisible());
    QCOMPARE(banner.findChild<QLabel*>("updateVersion")->text(), QString("v2.0"));
    QCOMPARE(banner.findChild<QLabel*>("updateTitle")->text(), QString("Orvo Update"));
    QCOMPARE(banner.findChild<QLabel*>("updateSummary")->text(), QString("Faster frames."));

    banner.findChild<QPushButton*>("notNowButton")->click();
    p.settle();
    QVERIFY(!p.updater->pendingUpdate()->has_value());
    QVERIFY(banner.isHidden());
  }

  // "Update Now" keeps the banner: the download's progress, the verification, then the
  // error once, until dismissed or until the next check; a new offer then shows alone.
  void updateNowShowsProgressVerificationAndTheErrorOnce() {
    PanelHarness p;
    auto& banner = p.window->banner();
    auto* status = banner.findChild<QLabel*>("updateStatus");
    auto* progress = banner.findChild<QProgressBar*>("updateProgress");
    auto offer = [&](const char* version) {
      p.updaterEngine->delegate().didFindValidUpdate(
          AppcastItem{.versionString = version, .displayVersionString = version, .title = "Orvo " + std::string(version)});
      p.settle();
    };
    offer("2.0");
    banner.findChild<QPushButton*>("updateNowButton")->click();
    p.settle();
    QCOMPARE(p.updaterEngine->installs.size(), std::size_t(1));
    QCOMPARE(p.updaterEngine->installs[0].versionString, std::string("2.0"));
    auto& install = p.updaterEngine->installs[0];
    p.updaterEngine->delegate().didReceiveUserAttentionForUpdate(
        AppcastItem{.versionString = "2.0", .displayVersionString = "2.0"});  // the offer is taken
    p.settle();
    QVERIFY(banner.isVisible());
    QCOMPARE(banner.findChild<QLabel*>("updateTitle")->text(), QString("Orvo 2.0"));
    QVERIFY(banner.findChild<QPushButton*>("updateNowButton")->isHidden());

    struct Step {
      UpdateProgress progress;
      QString status;
      int maximum;
      int value;
    };
    const Step steps[] = {
        {{.received = 250, .expected = 1000}, "Downloading the update… 25%", 1000, 250},
        {{.received = 1000, .expected = 1000}, "Downloading the update… 100%", 1000, 1000},
        {{.received = 1000, .expected = 1000, .verifying = true}, "Verifying the update…", 0, 0},
    };
    for (const auto& step : steps) {
      install.progress(step.progress);
      p.settle();
      QCOMPARE(status->text(), step.status);
      QVERIFY(progress->isVisible());
      QCOMPARE(progress->maximum(), step.maximum);
      if (step.maximum > 0) QCOMPARE(progress->value(), step.value);
    }
    install.done(UpdateInstallResult{.error = "The update could not be downloaded: the server answered HTTP 404."});
    p.settle();
    QCOMPARE(banner.findChild<QLabel*>("updateHeadline")->text(), QString("Update Failed"));
    QCOMPARE(status->text(), QString("The update could not be installed: The update could not be downloaded: the "
                                     "server answered HTTP 404."));
    QVERIFY(progress->isHidden());
    QVERIFY(banner.findChild<QPushButton*>("dismissUpdateButton")->isVisible());

    // The next check clears the error; what it finds is offered on its own.
    p.updaterEngine->canCheck.set(true);
    p.settle();
    p.settings->findChild<QPushButton*>("checkForUpdatesButton")->click();
    p.settle();
    QVERIFY(banner.isHidden());
    offer("2.1");
    QVERIFY(banner.isVisible());
    QVERIFY(status->isHidden());
    QVERIFY(banner.findChild<QPushButton*>("updateNowButton")->isVisible());
    int errorLines = 0;
    for (auto* label : p.window->findChildren<QLabel*>()) errorLines += label->text().contains("HTTP 404");
    QCOMPARE(errorLines, 0);

    // A result is dismissed with the banner.
    banner.findChild<QPushButton*>("updateNowButton")->click();
    p.settle();
    p.updaterEngine->installs[1].done(UpdateInstallResult{.package = "/tmp/u.deb", .message = "Opened the installer."});
    p.settle();
    QCOMPARE(status->text(), QString("Opened the installer."));
    banner.findChild<QPushButton*>("dismissUpdateButton")->click();
    p.settle();
    QVERIFY(banner.isHidden());
    QVERIFY(!p.updater->installActivity()->has_value());
  }

  // Return anywhere in the banner is "Update Now", its default button.
  void returnInTheBannerUpdates() {
    PanelHarness p;
    activate(p);
    p.updaterEngine->delegate().didFindValidUpdate(AppcastItem{.versionString = "2", .displayVersionString = "2"});
    p.settle();
    for (const char* focused : {"notNowButton", "updateNowButton"}) {
      p.updaterEngine->installs.clear();
      auto* button = p.window->banner().findChild<QPushButton*>(focused);
      button->setFocus();
      QTest::keyClick(button, Qt::Key_Return);
      p.settle();
      QCOMPARE(p.updaterEngine->installs.size(), std::size_t(1));
      p.updater->notNow();
      p.updaterEngine->delegate().didFindValidUpdate(AppcastItem{.versionString = "2", .displayVersionString = "2"});
      p.settle();
    }
  }

  void settingsBindLaunchAtLoginAndTheUpdatePreferences() {
    PanelHarness p;
    auto& view = *p.settings;
    auto* login = view.findChild<QCheckBox*>("launchAtLoginToggle");
    QVERIFY(!login->isChecked());
    login->click();
    p.settle();
    QVERIFY(login->isChecked());
    QVERIFY(QFileInfo::exists(QString::fromStdString(p.autostart.entryPath())));
    login->click();
    p.settle();
    QVERIFY(!login->isChecked());
    QVERIFY(!QFileInfo::exists(QString::fromStdString(p.autostart.entryPath())));

    QCOMPARE(view.findChild<QLabel*>("automaticChecksValue")->text(), QString("On"));
    p.updaterEngine->settings().setAutomaticallyChecksForUpdates(false);
    p.settle();
    QCOMPARE(view.findChild<QLabel*>("automaticChecksValue")->text(), QString("Off"));

    auto* downloads = view.findChild<QCheckBox*>("automaticDownloadsToggle");
    downloads->click();
    p.settle();
    QVERIFY(*p.updaterEngine->settings().automaticallyDownloadsUpdates());
    QVERIFY(downloads->isChecked());

    auto* check = view.findChild<QPushButton*>("checkForUpdatesButton");
    QVERIFY(!check->isEnabled());
    p.updaterEngine->canCheck.set(true);
    p.settle();
    QVERIFY(check->isEnabled());
    // "Check for Updates…" shows its outcome under it, whole.
    view.showSettings(p.window.get());
    p.settle();
    const struct {
      UpdateCheckResult result;
      QString shown;
    } outcomes[] = {
        {{.currentVersion = "1.0"}, "Orvo 1.0 is up to date."},
        {{.currentVersion = "1.0", .update = AppcastItem{.versionString = "2", .displayVersionString = "2.0"}},
         "Orvo 2.0 is available."},
        {{.currentVersion = "1.0",
          .error = "The update information could not be downloaded: SSL peer certificate or SSH remote key was not "
                   "OK (the certificate of 127.0.0.1 is not trusted by this computer)."},
         "The check for updates failed: The update information could not be downloaded: SSL peer certificate or SSH "
         "remote key was not OK (the certificate of 127.0.0.1 is not trusted by this computer)."},
    };
    for (const auto& outcome : outcomes) {
      p.updaterEngine->checks.clear();
      check->click();
      p.settle();
      QCOMPARE(view.findChild<QLabel*>("checkStatus")->text(), QString("Checking for updates…"));
      QCOMPARE(p.updaterEngine->checks.size(), std::size_t(1));
      p.updaterEngine->checks[0](outcome.result);
      p.settle();
      QCOMPARE(view.findChild<QLabel*>("checkStatus")->text(), outcome.shown);
      verifyNothingClipped(view);
    }
  }

  // Values the host published while the panel was going away are dropped, and later ones
  // reach nobody (under ASan a delivery to a destroyed model would be a use after free).
  void deliveriesAfterThePanelIsGoneAreDropped() {
    PanelHarness p;
    p.h.pair("A", "iPad");
    p.h.loop.drain();  // the new list is on its way to the GUI thread
    p.settings.reset();
    p.window.reset();
    p.settingsModel.reset();
    p.model.reset();
    QCoreApplication::processEvents();
    p.h.loop.drain();  // the subscriptions end on the main queue
    p.h.host->setDiscoverable(false);
    p.h.pair("B", "Vision");
    p.h.loop.drain();
    QCoreApplication::processEvents();
    QCOMPARE(p.h.host->pairingStore().paired()->size(), std::size_t(2));
  }

  // The window is the panel: 420 × 520 at first, its content filling it at any size and
  // scrolling only when the window is smaller than the content.
  void theWindowIsThePanelAndItsContentFillsIt() {
    PanelHarness p;
    QCOMPARE(p.window->size(), QSize(420, 520));
    auto* scroll = p.find<QScrollArea>("panelScroll");
    auto* content = p.find<QWidget>("panelContent");
    QCOMPARE(p.window->centralWidget(), scroll);
    QCOMPARE(scroll->width(), p.window->width());
    QCOMPARE(scroll->geometry().bottom(), p.window->rect().bottom());
    QCOMPARE(content->width(), scroll->viewport()->width());
    QVERIFY(content->height() >= scroll->viewport()->height());

    // Pairing open: taller than the window, so it scrolls, and Quit is there to scroll to.
    p.find<QToolButton>("pairingDisclosure")->click();
    p.settle();
    QVERIFY(scroll->verticalScrollBar()->isVisible());
    QCOMPARE(content->width(), scroll->viewport()->width());
    auto* quit = p.find<QPushButton>("quitButton");
    scroll->ensureWidgetVisible(quit);
    QVERIFY(scroll->viewport()->rect().contains(QRect(quit->mapTo(scroll->viewport(), QPoint()), quit->size())));

    // Enlarged, it all shows at once and fills the window.
    p.window->resize(640, 1000);
    p.settle();
    QVERIFY(!scroll->verticalScrollBar()->isVisible());
    QCOMPARE(scroll->width(), 640);
    QCOMPARE(content->width(), scroll->viewport()->width());
    QCOMPARE(content->height(), scroll->viewport()->height());
    verifyNothingClipped(*p.window);
  }

  // Every sheet opens showing all of its text, and grows when its error text appears.
  void sheetsShowAllOfTheirText_data() {
    QTest::addColumn<bool>("wayland");
    QTest::addColumn<QString>("sheet");
    QTest::addColumn<bool>("withError");
    for (bool wayland : {false, true}) {
      const char* desktop = wayland ? "Wayland" : "X11";
      for (const char* sheet : {"networkPermissionSheet", "screenRecordingPermissionSheet", "accessibilitySetupSheet"}) {
        QTest::addRow("%s %s", desktop, sheet) << wayland << QString(sheet) << false;
      }
      QTest::addRow("%s accessibilitySetupSheet with its error", desktop)
          << wayland << QString("accessibilitySetupSheet") << true;
    }
  }
  void sheetsShowAllOfTheirText() {
    QFETCH(bool, wayland);
    QFETCH(QString, sheet);
    QFETCH(bool, withError);
    FakeWindowSharing sharing;
    PanelHarness p(wayland ? &sharing : nullptr);
    auto& panel = p.window->panel();
    p.h.activation.trusted = false;
    p.find<QToolButton>("permissionsDisclosure")->click();
    const QString moreInfo = sheet == "networkPermissionSheet"           ? "networkMoreInfo"
                             : sheet == "screenRecordingPermissionSheet" ? "screenRecordingMoreInfo"
                                                                         : "accessibilityMoreInfo";
    p.find<QPushButton>(moreInfo.toLatin1().constData())->click();
    p.settle();
    auto* dialog = p.window->findChild<ui::Sheet*>(sheet);
    QVERIFY(dialog && dialog->isVisible());
    verifyNothingClipped(*dialog);
    const int before = dialog->height();
    if (withError) {
      // The longest error the sheet shows, the one of a desktop without settings (X11); on
      // Wayland no error is shown, so one is set directly.
      if (wayland) {
        panel.accessibilitySheet().setErrorText(QString(80, 'x').replace(QString("xxxxxxxx"), "word "));
        p.settle();
      } else {
        p.desktop.hasAccessibilitySettings = false;
        dialog->findChild<QPushButton*>("openSettingsButton")->click();
        p.settle();
      }
      QVERIFY(panel.accessibilitySheet().errorText().has_value());
      QVERIFY(dialog->height() > before);
      verifyNothingClipped(*dialog);
    }
  }

  // Where the display offers input injection (XTEST), nothing is missing: no error, and
  // remote control turns on; the error appears only where the grant is missing.
  void openAccessibilitySettingsWithoutAToolSaysWhatIsMissingOnly_data() {
    QTest::addColumn<bool>("xtest");
    QTest::addColumn<bool>("settingsTool");
    QTest::addColumn<bool>("error");
    QTest::addColumn<bool>("sheetStays");
    QTest::newRow("no XTEST, no settings tool") << false << false << true << true;
    QTest::newRow("no XTEST, settings opened") << false << true << false << true;
    QTest::newRow("XTEST, no settings tool") << true << false << false << false;
  }
  void openAccessibilitySettingsWithoutAToolSaysWhatIsMissingOnly() {
    QFETCH(bool, xtest);
    QFETCH(bool, settingsTool);
    QFETCH(bool, error);
    QFETCH(bool, sheetStays);
    PanelHarness p;
    auto& sheet = p.window->panel().accessibilitySheet();
    p.h.activation.trusted = xtest;
    p.desktop.hasAccessibilitySettings = settingsTool;
    p.find<QToolButton>("permissionsDisclosure")->click();
    p.find<QPushButton>("accessibilityMoreInfo")->click();
    sheet.findChild<QPushButton*>("openSettingsButton")->click();
    p.settle();
    QCOMPARE(sheet.errorText().has_value(), error);
    QCOMPARE(sheet.isVisible(), sheetStays);
    QCOMPARE(p.h.host->allowControlThisMac(), xtest);
    for (auto* label : sheet.findChildren<QLabel*>()) {
      if (xtest) QVERIFY2(!label->isVisible() || !label->text().contains("No accessibility settings"), "");
    }
  }

  // Tab goes through the controls in the order they are shown, rows built later included,
  // from the toolbar down to "Quit Orvo" and round again.
  void tabFollowsTheVisualOrder_data() {
    QTest::addColumn<bool>("wayland");
    QTest::addColumn<QStringList>("stops");
    const QStringList top = {"Settings",          "About Orvo",         "notNowButton",        "updateNowButton",
                             "discoverableToggle", "pairingDisclosure", "regeneratePinButton", "copyPinButton",
                             "advancedDisclosure", "generateTokenButton", "tokenText",         "copyTokenButton",
                             "unpairButton",       "unpairButton"};
    const QStringList bottom = {"remoteControlToggle", "permissionsDisclosure", "quitButton", "Settings"};
    QTest::newRow("X11") << false << top + bottom;
    QTest::newRow("Wayland") << true
                             << top + QStringList{"stopSharingButton", "stopSharingButton", "chooseWindowsButton",
                                                  "stopSharingAllButton"} +
                                    bottom;
  }
  void tabFollowsTheVisualOrder() {
    QFETCH(bool, wayland);
    QFETCH(QStringList, stops);
    FakeWindowSharing sharing;
    PanelHarness p(wayland ? &sharing : nullptr);
    activate(p);
    p.find<QToolButton>("pairingDisclosure")->click();
    p.find<QToolButton>("advancedDisclosure")->click();
    // Everything that arrives later: the token, devices, shared windows, an update.
    p.find<QPushButton>("generateTokenButton")->click();
    p.settle();
    p.h.pair("B", "Vision");
    p.updaterEngine->delegate().didFindValidUpdate(AppcastItem{.versionString = "2", .displayVersionString = "2"});
    if (wayland) sharing.answer({{3, "Notes", "", 800, 600}, {4, "Mail", "", 0, 0}}, "Sharing 2 windows");
    p.settle();
    QWidget* settingsButton = p.window->findChild<QToolBar*>("toolbar")->widgetForAction(&p.window->settingsAction());
    QCOMPARE(tabStops(settingsButton, stops.size()), stops);
  }

  // The desktop's keys: Ctrl+, settings, F1 about; Escape and Ctrl+W close the settings
  // window and the sheets.
  void keyboardShortcuts() {
    PanelHarness p;
    activate(p);
    int settingsAsked = 0;
    QObject::connect(p.window.get(), &ui::PanelWindow::settingsRequested, [&] {
      ++settingsAsked;
      p.settings->showSettings(p.window.get());
    });
    QTest::keyClick(p.window.get(), Qt::Key_Comma, Qt::ControlModifier);
    QCOMPARE(settingsAsked, 1);
    QVERIFY(p.settings->isVisible());
    for (const QKeyCombination keys : {QKeyCombination(Qt::Key_Escape), QKeyCombination(Qt::ControlModifier, Qt::Key_W)}) {
      p.settings->showSettings(p.window.get());
      activate(*p.settings);
      QTest::keyClick(p.settings.get(), keys.key(), keys.keyboardModifiers());
      QVERIFY2(!p.settings->isVisible(), qPrintable(QKeySequence(keys).toString()));
    }

    for (const QKeyCombination keys : {QKeyCombination(Qt::Key_Escape), QKeyCombination(Qt::ControlModifier, Qt::Key_W)}) {
      activate(p);
      QTest::keyClick(p.window.get(), Qt::Key_F1);
      QVERIFY(p.window->about() && p.window->about()->isVisible());
      activate(*p.window->about());
      QTest::keyClick(p.window->about(), keys.key(), keys.keyboardModifiers());
      QVERIFY(!p.window->about() || !p.window->about()->isVisible());
      p.settle();

      auto& sheet = p.window->panel().screenRecordingSheet();
      sheet.open();
      activate(sheet);
      QTest::keyClick(&sheet, keys.key(), keys.keyboardModifiers());
      QVERIFY(!sheet.isVisible());
    }
    // Ctrl+W on the unpair confirmation cancels it.
    p.h.pair("A", "iPad");
    p.settle();
    auto& devices = p.window->panel().devices();
    peerRows(p)[0]->findChild<QToolButton*>("unpairButton")->click();
    activate(*devices.confirmation());
    QTest::keyClick(devices.confirmation(), Qt::Key_W, Qt::ControlModifier);
    p.settle();
    QVERIFY(!devices.confirmation()->isVisible());
    QVERIFY(!devices.confirmUnpair());
    QCOMPARE(peerRows(p).size(), 1);

    // The toolbar's buttons take the focus like every other button.
    auto* toolbar = p.window->findChild<QToolBar*>("toolbar");
    for (QAction* action : {&p.window->settingsAction(), &p.window->aboutAction()}) {
      QVERIFY(toolbar->widgetForAction(action)->focusPolicy() & Qt::TabFocus);
    }
  }

  // An assistive technology's Toggle action is a change like a click: the host is told.
  void switchesReactToTheirAccessibleToggleAction() {
    PanelHarness p;
    auto* remote = p.find<QCheckBox>("remoteControlToggle");
    QVERIFY(qobject_cast<ui::ToggleSwitch*>(remote));

    p.h.activation.trusted = true;
    toggleAccessibly(remote);
    p.settle();
    QVERIFY(p.h.host->allowControlThisMac());
    QVERIFY(remote->isChecked());
    toggleAccessibly(remote);
    p.settle();
    QVERIFY(!p.h.host->allowControlThisMac());

    p.h.activation.trusted = false;  // without the grant: the sheet, and the switch springs back
    toggleAccessibly(remote);
    p.settle();
    QVERIFY(!p.h.host->allowControlThisMac());
    QVERIFY(!remote->isChecked());
    QVERIFY(p.window->panel().accessibilitySheet().isVisible());
    p.window->panel().accessibilitySheet().reject();

    auto* discoverable = p.find<QCheckBox>("discoverableToggle");
    toggleAccessibly(discoverable);
    p.settle();
    QVERIFY(!*p.h.host->isDiscoverable());
    toggleAccessibly(discoverable);  // on: through the network sheet
    p.settle();
    QVERIFY(p.window->panel().networkSheet().isVisible());
    QVERIFY(!discoverable->isChecked());

    auto* login = p.settings->findChild<QCheckBox*>("launchAtLoginToggle");
    toggleAccessibly(login);
    p.settle();
    QVERIFY(QFileInfo::exists(QString::fromStdString(p.autostart.entryPath())));
    QVERIFY(login->isChecked());
    auto* downloads = p.settings->findChild<QCheckBox*>("automaticDownloadsToggle");
    toggleAccessibly(downloads);
    p.settle();
    QVERIFY(*p.updaterEngine->settings().automaticallyDownloadsUpdates());
  }

  // A disclosure group's head looks the same open and closed, but for its arrow.
  void disclosuresLookTheSameOpenAndClosed() {
    PanelHarness p;
    p.find<QToolButton>("pairingDisclosure")->click();
    p.settle();
    auto* advanced = p.find<QToolButton>("advancedDisclosure");
    auto textPart = [&] {
      const QImage image = advanced->grab().toImage();
      const int arrow = 2 + 14 + 2;  // the arrow's square and a little room
      return image.copy(arrow * image.devicePixelRatio(), 0, image.width() - arrow * image.devicePixelRatio(),
                        image.height());
    };
    const QImage closed = textPart();
    advanced->click();
    p.settle();
    QVERIFY(advanced->isChecked());
    QCOMPARE(textPart(), closed);
  }

  void copyingShowsACopiedConfirmation() {
    PanelHarness p;
    p.find<QToolButton>("pairingDisclosure")->click();
    p.find<QToolButton>("advancedDisclosure")->click();
    p.find<QPushButton>("generateTokenButton")->click();
    p.settle();
    for (auto [button, notice] : {std::pair{"copyPinButton", "pinCopiedNotice"}, {"copyTokenButton", "tokenCopiedNotice"}}) {
      auto* label = p.find<QLabel>(notice);
      QVERIFY(label->isHidden());
      p.find<QAbstractButton>(button)->click();
      QVERIFY(label->isVisible());
      QCOMPARE(label->text(), QString("Copied"));
      QTRY_VERIFY_WITH_TIMEOUT(label->isHidden(), ui::CopiedNotice::kShownMs + 2000);
    }
  }

  // Mail links go to the built-in addresses, the review and web-site links to the project's
  // web page; the legal texts are the installed documents.
  void aboutLinksDoWhatTheySay() {
    PanelHarness p;
    p.window->showAbout();
    auto* about = p.window->about();
    QCOMPARE(about->windowTitle(), QString("About Orvo"));
    for (const char* link : {"requestFeatureLink", "emailSupportLink", "writeReviewLink", "termsLink", "privacyLink",
                             "websiteLink"}) {
      about->findChild<QPushButton*>(link)->click();
    }
    QCOMPARE(p.desktop.urls, (std::vector<QString>{ui::AboutOrvoView::featureRequestUrl(), ui::AboutOrvoView::supportUrl(),
                                                   ui::AboutOrvoView::websiteUrl(), ui::AboutOrvoView::websiteUrl()}));
    QVERIFY(ui::AboutOrvoView::featureRequestUrl().startsWith("mailto:"));
    QVERIFY(ui::AboutOrvoView::supportUrl().startsWith("mailto:"));
    QVERIFY(ui::AboutOrvoView::websiteUrl().startsWith("https://"));
    QVERIFY(ui::AboutOrvoView::featureRequestUrl() != ui::AboutOrvoView::supportUrl());
    QCOMPARE(p.desktop.documents, (std::vector<QString>{"terms-of-service", "privacy-policy"}));
    QVERIFY(about->findChild<QLabel*>("linkError")->isHidden());
  }

  // Titles the desktop shows without doubling the application's name (it adds " — Orvo"
  // to a title that does not end with it); the settings window opens over the panel.
  void titlesAndPlacementFollowTheDesktop() {
    PanelHarness p;
    p.window->showAbout();
    for (QWidget* window : QList<QWidget*>{p.window->about(), p.settings.get(), &p.window->panel().networkSheet(),
                                           &p.window->panel().accessibilitySheet()}) {
      const QString title = window->windowTitle();
      QVERIFY2(!title.startsWith("Orvo") || title == "Orvo", qPrintable(title));
      QVERIFY2(!title.contains(" - "), qPrintable(title));
    }
    p.window->about()->accept();
    p.window->move(100, 60);
    p.settings->showSettings(p.window.get());
    p.settle();
    const QPoint offset = p.settings->frameGeometry().center() - p.window->frameGeometry().center();
    QVERIFY2(offset.manhattanLength() <= 4, qPrintable(QString("%1,%2").arg(offset.x()).arg(offset.y())));
  }

  // The network sheet names the ports to allow in a firewall, with their numbers.
  void networkSheetNamesTheCurrentPorts() {
    PanelHarness p;
    p.find<QToolButton>("permissionsDisclosure")->click();
    p.find<QPushButton>("networkMoreInfo")->click();
    p.settle();
    const auto session = p.h.host->listenerPort();
    const auto pairing = p.h.host->pairingListenerPort();
    QVERIFY(session && pairing);
    auto& sheet = p.window->panel().networkSheet();
    const QString ports = sheet.findChild<QLabel*>("firewallPorts")->text();
    QVERIFY2(ports.contains(QString("TCP port %1").arg(*session)) && ports.contains(QString::number(*pairing)),
             qPrintable(ports));
    const QString commands = sheet.findChild<QLabel*>("firewallCommands")->text();
    QVERIFY2(commands.contains(QString("sudo ufw allow %1,%2/tcp").arg(*session).arg(*pairing)), qPrintable(commands));
    QVERIFY2(commands.contains(QString("--add-port=%1/tcp").arg(*session)), qPrintable(commands));
    sheet.reject();

    p.find<QCheckBox>("discoverableToggle")->click();  // off: no listeners, no numbers
    p.settle();
    p.find<QPushButton>("networkMoreInfo")->click();
    p.settle();
    QVERIFY(sheet.findChild<QLabel*>("firewallCommands")->isHidden());
    QVERIFY(!sheet.findChild<QLabel*>("firewallPorts")->text().contains(QString::number(*session)));
  }

  // Texts name this computer, never the Mac or its places.
  void noTextNamesTheMac() {
    PanelHarness p;
    p.window->aboutAction().trigger();
    QList<QWidget*> widgets = p.window->findChildren<QWidget*>();
    widgets.append(p.window->about());
    widgets.append(p.settings->findChildren<QWidget*>());
    int checked = 0;
    for (QWidget* widget : widgets) {
      QString text;
      if (auto* label = qobject_cast<QLabel*>(widget)) text = label->text();
      if (auto* button = qobject_cast<QAbstractButton*>(widget)) text = button->text();
      if (text.isEmpty()) continue;
      ++checked;
      QVERIFY2(!text.contains("Mac") && !text.contains("System Settings") && !text.contains("permsissions") &&
                   !text.contains("Permisions"),
               qPrintable(text));
    }
    QVERIFY(checked > 60);
  }
};

}  // namespace orvo::testing

QTEST_MAIN(orvo::testing::ControlPanelTest)
#include "ControlPanelTest.moc"
