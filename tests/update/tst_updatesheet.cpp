// The update sheet phase by phase, and the automatic download the main window starts at launch.
#include "GuiTestSupport.h"
#include "UpdateTestUtil.h"

#include "app/ui/RootView.h"
#include "platform/Settings.h"
#include "platform/Sha256.h"
#include "service/KeychainStore.h"
#include "service/SessionStore.h"
#include "update/UpdateManager.h"
#include "update/ui/UpdateSheet.h"

#include <QApplication>
#include <QProgressBar>
#include <QTest>

using namespace hoplin;
using namespace hoplin::test;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(hoplin::Phase)

namespace {

Manifest release(const QString &notes)
{
    return {QStringLiteral("1.2.23"), 26, QStringLiteral("https://localhost/u.dmg"), QString(64, QLatin1Char('a')),
            notes};
}

} // namespace

class TestUpdateSheet : public QObject {
    Q_OBJECT
    LocalServer m_server;
    QByteArray m_imageBytes = QByteArray(300000, 'x');

private slots:
    void initTestCase()
    {
        QVERIFY(startUpdateService(m_server, m_imageBytes));
        Settings::shared().setValue(QString::fromLatin1(keys::baseURL), m_server.url().toString());
        Settings::shared().setValue(QString::fromLatin1(keys::skipWebTabs), true);
        KeychainStore::setJobTimeout(std::chrono::seconds(5));
    }
    void cleanup()
    {
        for (const char *key : {keys::showUpdates, keys::autoUpdate, keys::autoInstall})
            Settings::shared().setValue(QString::fromLatin1(key), false);
        Settings::shared().remove(QString::fromLatin1(keys::lastUpdateCheckAttempt));
        Settings::shared().remove(QString::fromLatin1(keys::lastUpdateCheckSuccess));
        UpdateManager::shared().setShowSheet(false);
    }

    void phaseTexts_data()
    {
        QTest::addColumn<Phase>("phase");
        QTest::addColumn<QString>("install"); // "bundle", "build tree" or "package"
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QString>("action");
        const QString available = QStringLiteral("Version 1.2.23 (build 26) is available — you have 1.2.22 (25).");
        const Phase downloaded = Phase::downloaded(release({}), QStringLiteral("/tmp/hoplin-update-X.dmg"));
        QTest::newRow("available with notes")
            << Phase::available(release(QStringLiteral("Faster."))) << "bundle" << QStringList{available, "Faster."}
            << "Download";
        QTest::newRow("available, system package")
            << Phase::available(release(QStringLiteral("Faster."))) << "package"
            << QStringList{available, "Faster.\n\n" + UpdateManager::packageManagerNotice()} << "";
        QTest::newRow("downloading 0.999") << Phase::downloading(0.999) << "bundle"
                                           << QStringList{"Downloading update… 99%"} << "";
        QTest::newRow("downloaded, installed bundle")
            << downloaded << "bundle"
            << QStringList{"Version 1.2.23 is downloaded and verified.",
                           "Install & Relaunch quits Hoplin, swaps in the new version and reopens it."}
            << "Install & Relaunch";
        QTest::newRow("downloaded, build tree")
            << downloaded << "build tree"
            << QStringList{"Version 1.2.23 is downloaded and verified.",
                           "This copy of Hoplin Desktop does not run from an installed application bundle, so it "
                           "cannot replace itself. The verified image is at /tmp/hoplin-update-X.dmg."}
            << "";
    }
    void phaseTexts()
    {
        QFETCH(Phase, phase);
        QFETCH(QString, install);
        QFETCH(QStringList, texts);
        QFETCH(QString, action);
        UpdateManager manager;
        manager.setBundlePath(install == QLatin1String("build tree")
                                  ? std::nullopt
                                  : std::optional(QStringLiteral("/Applications/Hoplin Desktop.app")));
        manager.setInstalledByPackageManager(install == QLatin1String("package"));
        UpdateSheet sheet(manager);
        manager.setPhaseForTesting(phase);
        QCOMPARE(sheet.bodyTexts(), texts);
        QCOMPARE(sheet.actionText(), action);
        auto *bar = sheet.findChild<QProgressBar *>(QStringLiteral("updateProgress"));
        QCOMPARE(!bar->isHidden(), phase.kind == Phase::Kind::Downloading);
    }

    // autoUpdate without autoInstall downloads at launch but must not install.
    void launchDownloadsWithoutInstalling()
    {
        const QString image = m_server.url(QStringLiteral("/tools/desktop/image.dmg")).toString();
        setServedManifest(m_server, manifestJson("1.2.23", 26, image, Sha256::ofData(m_imageBytes)));
        Settings::shared().setValue(QString::fromLatin1(keys::autoUpdate), true);
        UpdateManager &updater = UpdateManager::shared();
        updater.setBundlePath(QStringLiteral("/nonexistent/Hoplin Desktop.app"));
        updater.setInstalledByPackageManager(false);
        SessionStore store;
        RootView view(store);
        view.show();
        QVERIFY(waitUntil([&] { return updater.phase().kind == Phase::Kind::Downloaded; }));
        QTest::qWait(200);
        QVERIFY(updater.phase().kind == Phase::Kind::Downloaded);
        QVERIFY(!updater.showSheet());
        // Reopening the sheet from the tab bar checks again, which leaves the verified image alone.
        const Phase downloaded = updater.phase();
        view.findChild<UpdateButton *>(QStringLiteral("updateButton"))->click();
        QVERIFY(updater.showSheet());
        QCOMPARE(updater.phase(), downloaded);
        QFile::remove(downloaded.path);
    }
};

HOPLIN_GUI_TEST_MAIN(TestUpdateSheet)
#include "tst_updatesheet.moc"
