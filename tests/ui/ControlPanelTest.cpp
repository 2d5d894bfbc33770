// The control panel against a real OrvoHost on the virtual loop (offscreen platform).
#include <QAbstractButton>
#include <QCheckBox>
#include <QClipboard>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "core/Clock.h"
#include "tests/ui/PanelHarness.h"
#include "ui/ControlPanel.h"
#include "ui/PairedDevicesSection.h"
#include "ui/PeerDateFormatter.h"
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
    p.desktop.accessibilityAnswer = "No accessibility settings are known for this desktop.";
    sheet.findChild<QPushButton*>("openSettingsButton")->click();
    QCOMPARE(p.desktop.accessibilitySettingsOpened, 1);
    QCOMPARE(sheet.errorText(), std::optional<QString>("No accessibility settings are known for this desktop."));

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

    // "Update Now" installs the pending version and says how it went.
    banner.findChild<QPushButton*>("updateNowButton")->click();
    p.settle();
    QCOMPARE(p.updaterEngine->installs.size(), std::size_t(1));
    QCOMPARE(p.updaterEngine->installs[0].versionString, std::string("200"));
    p.updaterEngine->installs[0].done(UpdateInstallResult{.error = "signature mismatch"});
    p.settle();
    QCOMPARE(banner.findChild<QLabel*>("updateStatus")->text(),
             QString("The update could not be installed: signature mismatch"));

    banner.findChild<QPushButton*>("notNowButton")->click();
    p.settle();
    QVERIFY(!p.updater->pendingUpdate()->has_value());
    QVERIFY(banner.isHidden());
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
    check->click();
    p.settle();
    QCOMPARE(p.updaterEngine->checks.size(), std::size_t(1));
    p.updaterEngine->checks[0](UpdateCheckResult{.currentVersion = "1.0"});
    p.settle();
    QCOMPARE(view.findChild<QLabel*>("checkStatus")->text(), QString("Orvo 1.0 is up to date."));
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
