// The panel's update reminder over the real updater: the update controller and engine,
// libcurl fetching from a local HTTPS server on 127.0.0.1 (its certificate signed by an
// authority the test made), libsodium signatures and dpkg packages made by the test.
// What the banner shows at each step of "Update Now" is read as it arrives.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "fakes/FakeStores.h"
#include "platform/PackageInstaller.h"
#include "platform/linux/updates/CurlHttpClient.h"
#include "platform/linux/updates/DpkgDebPackageReader.h"
#include "platform/linux/updates/SodiumUpdateVerifier.h"
#include "support/LocalHttpServer.h"
#include "support/RecordingLogger.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "tests/integration/updates/TestPackages.h"
#include "tests/integration/updates/UpdateTestKeys.h"
#include "tests/ui/PanelHarness.h"
#include "ui/UpdateAvailableBanner.h"
#include "updates/AppcastUpdaterEngine.h"

namespace orvo::testing {
namespace {

// Takes the package and says what the desktop would do with it.
class NamingInstaller final : public platform::PackageInstaller {
 public:
  Result install(const std::filesystem::path& package) override {
    return {std::nullopt, "Opened " + package.filename().string() + " with the package installer."};
  }
};

// One banner state as it was shown.
struct Shown {
  QString headline;
  QString status;
  bool progressVisible = false;
  int progressValue = 0;
  int progressMaximum = 0;
};

}  // namespace

class UpdateFlowTest : public QObject {
  Q_OBJECT

  // The updater's real parts, on the harness's virtual loop; built before the panel.
  struct Updater {
    explicit Updater(const std::string& directory) : certificates(directory) {}
    TestCertificates certificates;
    LocalHttpServer server{{certificates.serverCertificate, certificates.serverKey}};
    FakeSettingsStore store;
    RecordingLogger logger;
    UpdateTestKeys keys;
    platform::SodiumUpdateVerifier verifier;
    platform::DpkgDebPackageReader packageReader;
    NamingInstaller installer;
    std::unique_ptr<SerialQueue> worker;
    std::unique_ptr<SerialQueue> checks;
    std::unique_ptr<platform::CurlHttpClient> http;
  };

 private:
  TempDir dir;
  std::unique_ptr<Updater> parts;
  std::unique_ptr<PanelHarness> p;
  std::string package;
  std::vector<Shown> shown;

  // An appcast offering 2.0, its package at /orvo-host_2.0_all.deb.
  std::string appcast() const {
    return "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>"
           "<item><title>Orvo 2.0</title><description>Faster frames.</description>"
           "<sparkle:version>2.0</sparkle:version><sparkle:shortVersionString>2.0</sparkle:shortVersionString>"
           "<enclosure url=\"" +
           parts->server.url("/orvo-host_2.0_all.deb") + "\" length=\"" + std::to_string(package.size()) +
           "\" type=\"application/vnd.debian.binary-package\" sparkle:edSignature=\"" + parts->keys.sign(package) +
           "\"/></item></channel></rss>";
  }

  ui::UpdateAvailableBanner& banner() { return p->window->banner(); }
  QString statusText() { return banner().findChild<QLabel*>("updateStatus")->text(); }

  // Checks from the settings window and waits for the outcome shown there.
  QString checkFromTheSettings() {
    auto* check = p->settings->findChild<QPushButton*>("checkForUpdatesButton");
    if (!check->isEnabled()) return "<Check for Updates… is disabled>";
    check->click();
    p->settle();
    return p->settings->findChild<QLabel*>("checkStatus")->text();
  }

 private slots:
  void init() {
    parts = std::make_unique<Updater>(dir.path());
    package = buildTestPackage(dir.path(), "orvo-host", "2.0", 400000);
    p = std::make_unique<PanelHarness>(nullptr, [this](VirtualLoop& loop) -> std::unique_ptr<UpdaterEngine> {
      parts->worker = loop.makeSerialQueue("orvo.updates", QueuePriority::unspecified);
      parts->checks = loop.makeSerialQueue("orvo.updates.checks", QueuePriority::unspecified);
      parts->http = std::make_unique<platform::CurlHttpClient>(
          loop.main(), *parts->worker,
          platform::CurlHttpClient::Options{.userAgent = "orvo-panel-test", .caFile = parts->certificates.authorityFile});
      return std::make_unique<AppcastUpdaterEngine>(
          AppcastUpdaterEngine::Services{loop.main(), parts->logger, parts->store, *parts->http, parts->verifier,
                                         parts->packageReader, parts->installer, *parts->checks},
          AppcastUpdaterEngine::Config{.currentVersion = "1.0",
                                       .builtInFeedURL = parts->server.url("/appcast.xml"),
                                       .publicKey = parts->keys.publicKeyBase64(),
                                       .downloadDirectory = dir.file("downloads")});
    });
    parts->server.serve("/appcast.xml", appcast());
    // Every state the banner shows, read when it has taken in the install's new state.
    shown.clear();
    connect(p->settingsModel.get(), &ui::SettingsModel::installActivityChanged, this, [this] {
      auto* progress = banner().findChild<QProgressBar*>("updateProgress");
      shown.push_back({banner().findChild<QLabel*>("updateHeadline")->text(), statusText(), !progress->isHidden(),
                       progress->value(), progress->maximum()});
    });
    p->settle();
  }
  void cleanup() {
    p.reset();
    parts.reset();
  }

  // The download's progress arrives step by step, then the verification, then what the
  // installer said; the banner shows each, and the result stays until dismissed.
  void updateNowShowsProgressVerificationAndTheResult() {
    parts->server.serveSlowly("/orvo-host_2.0_all.deb", package, 400'000);  // about a second, in tenths
    QCOMPARE(checkFromTheSettings(), QString("Orvo 2.0 is available."));
    QVERIFY(banner().isVisible());
    banner().findChild<QPushButton*>("updateNowButton")->click();
    p->settle();

    QVERIFY2(shown.size() >= 5, qPrintable(QString::number(shown.size())));
    QCOMPARE(shown.front().status, QString("Downloading the update…"));
    int lastPercent = -1;
    std::size_t downloading = 0;
    for (; downloading < shown.size() && shown[downloading].status.startsWith("Downloading"); ++downloading) {
      const Shown& step = shown[downloading];
      QVERIFY(step.progressVisible);
      QCOMPARE(step.headline, QString("Update Available"));
      if (downloading == 0) continue;
      const int percent = step.status.section(' ', -1).chopped(1).toInt();
      QVERIFY2(percent >= lastPercent, qPrintable(step.status));
      QCOMPARE(step.progressMaximum, 1000);
      QCOMPARE(step.progressValue / 10, percent);
      lastPercent = percent;
    }
    QVERIFY2(downloading >= 4, "the download's progress came in steps");
    QCOMPARE(lastPercent, 100);
    QCOMPARE(shown.at(downloading).status, QString("Verifying the update…"));
    QVERIFY(shown.at(downloading).progressVisible);
    QCOMPARE(shown.at(downloading).progressMaximum, 0);  // busy
    QCOMPARE(shown.back().status, QString("Opened orvo-host_2.0_all.deb with the package installer."));
    QCOMPARE(shown.back().headline, QString("Update Downloaded"));
    QVERIFY(!shown.back().progressVisible);
    QVERIFY(banner().isVisible());
    banner().findChild<QPushButton*>("dismissUpdateButton")->click();
    p->settle();
    QVERIFY(banner().isHidden());
  }

  // A package gone from the server (HTTP 404): the error is shown once, in the banner, until
  // the next check, which offers the update again on its own.
  void aFailedDownloadIsShownOnceUntilTheNextCheck() {
    parts->server.serve("/orvo-host_2.0_all.deb", "gone", 404);
    QCOMPARE(checkFromTheSettings(), QString("Orvo 2.0 is available."));
    banner().findChild<QPushButton*>("updateNowButton")->click();
    p->settle();
    const QString error =
        "The update could not be installed: The update could not be downloaded: the server answered HTTP 404.";
    QCOMPARE(statusText(), error);
    QCOMPARE(banner().findChild<QLabel*>("updateHeadline")->text(), QString("Update Failed"));
    int errors = 0;
    for (auto* label : p->window->findChildren<QLabel*>()) errors += label->isVisible() && label->text().contains("HTTP 404");
    QCOMPARE(errors, 1);

    QCOMPARE(checkFromTheSettings(), QString("Orvo 2.0 is available."));
    QVERIFY(banner().isVisible());
    QVERIFY(banner().findChild<QPushButton*>("updateNowButton")->isVisible());
    for (auto* label : p->window->findChildren<QLabel*>()) {
      QVERIFY2(!label->isVisible() || !label->text().contains("HTTP 404"), qPrintable(label->text()));
    }
  }
};

}  // namespace orvo::testing

QTEST_MAIN(orvo::testing::UpdateFlowTest)
#include "UpdateFlowTest.moc"
