// The update sheet phase by phase, the tab bar's update button, and the main window's launch task
// with a remembered key and the update switches.
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

    void serve(const QString &version, int build)
    {
        const QString image = m_server.url(QStringLiteral("/tools/desktop/image.dmg")).toString();
        setServedManifest(m_server, manifestJson(version, build, image, Sha256::ofData(m_imageBytes)));
    }

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
        QTest::addColumn<bool>("bundled"); // runs from an installed bundle
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QString>("action");
        const QString available = QStringLiteral("Version 1.2.23 (build 26) is available — you have 1.2.22 (25).");
        const Phase downloaded = Phase::downloaded(release({}), QStringLiteral("/tmp/hoplin-update-X.dmg"));
        QTest::newRow("available with notes")
            << Phase::available(release(QStringLiteral("Faster."))) << true << QStringList{available, "Faster."}
            << "Download";
        QTest::newRow("available, empty notes")
            << Phase::available(release(QString())) << true << QStringList{available} << "Download";
        QTest::newRow("downloading 0.999") << Phase::downloading(0.999) << true
                                           << QStringList{"Downloading update… 99%"} << "";
        QTest::newRow("downloaded, installed bundle")
            << downloaded << true
            << QStringList{"Version 1.2.23 is downloaded and verified.",
                           "Install & Relaunch quits Hoplin, swaps in the new version and reopens it."}
            << "Install & Relaunch";
        QTest::newRow("downloaded, build tree")
            << downloaded << false
            << QStringList{"Version 1.2.23 is downloaded and verified.",
                           "This copy of Hoplin Desktop does not run from an installed application bundle, so it "
                           "cannot replace itself. The verified image is at /tmp/hoplin-update-X.dmg."}
            << "";
        QTest::newRow("failed install") << Phase::error(QStringLiteral(
                                               "Install failed: The update disk image has no app bundle."))
                                        << true
                                        << QStringList{"Install failed: The update disk image has no app bundle."}
                                        << "Check Again";
    }
    void phaseTexts()
    {
        QFETCH(Phase, phase);
        QFETCH(bool, bundled);
        QFETCH(QStringList, texts);
        QFETCH(QString, action);
        UpdateManager manager;
        manager.setBundlePath(bundled ? std::optional(QStringLiteral("/Applications/Hoplin Desktop.app"))
                                      : std::nullopt);
        UpdateSheet sheet(manager);
        manager.setPhaseForTesting(phase);
        QCOMPARE(sheet.bodyTexts(), texts);
        QCOMPARE(sheet.actionText(), action);
        auto *bar = sheet.findChild<QProgressBar *>(QStringLiteral("updateProgress"));
        QCOMPARE(!bar->isHidden(), phase.kind == Phase::Kind::Downloading);
    }

    void updateButtonFollowsAvailability()
    {
        UpdateManager manager;
        UpdateButton button(manager);
        QVERIFY(button.isHidden());
        serve(QStringLiteral("1.2.23"), 26);
        runTask(manager.check());
        QVERIFY(!button.isHidden());
        QCOMPARE(button.text(), QStringLiteral("Update v1.2.23"));
        button.click();
        QVERIFY(manager.showSheet());
        QCOMPARE(manager.phase().kind, Phase::Kind::Checking); // the click checks again
        QVERIFY(waitUntil([&] { return manager.phase().kind != Phase::Kind::Checking; }));
        serve(QStringLiteral("1.2.22"), 25);
        runTask(manager.check());
        QVERIFY(button.isHidden());
    }

    // The remembered key at launch: only a key with something besides blanks signs in.
    void launchSignIn_data()
    {
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<bool>("connects");
        QTest::newRow("spaces and tabs only") << " \t  " << false;
        QTest::newRow("demo key") << QString::fromLatin1(LocalServer::demoKey) << true;
    }
    void launchSignIn()
    {
        QFETCH(QString, remembered);
        QFETCH(bool, connects);
        QVERIFY(!KeychainStore::save(remembered).isFailure());
        // A recent success keeps the scheduled check quiet.
        Settings::shared().setValue(QString::fromLatin1(keys::lastUpdateCheckSuccess), QDateTime::currentDateTimeUtc());
        const int activations = m_server.count(QStringLiteral("POST /v1/auth/activate"));
        SessionStore store;
        RootView view(store);
        view.show();
        // A blank key would be refused by the service only after the launch had tried it.
        waitUntil([&] { return store.state().isConnected(); }, connects ? 10s : 300ms);
        QCOMPARE(store.state().isConnected(), connects);
        QCOMPARE(m_server.count(QStringLiteral("POST /v1/auth/activate")) - activations, connects ? 1 : 0);
        KeychainStore::remove();
    }

    // The update switches at launch: a download stops short of installing, a sheet shows even with
    // nothing new.
    void launchUpdateSwitches_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("served");
        QTest::addColumn<int>("phase");
        QTest::addColumn<bool>("sheet");
        QTest::newRow("autoUpdate") << QString::fromLatin1(keys::autoUpdate) << "1.2.23" << int(Phase::Kind::Downloaded)
                                    << false;
        QTest::newRow("showUpdates, nothing new")
            << QString::fromLatin1(keys::showUpdates) << "1.2.22" << int(Phase::Kind::UpToDate) << true;
    }
    void launchUpdateSwitches()
    {
        QFETCH(QString, key);
        QFETCH(QString, served);
        QFETCH(int, phase);
        QFETCH(bool, sheet);
        serve(served, served == QLatin1String("1.2.23") ? 26 : 25);
        Settings::shared().setValue(key, true);
        UpdateManager &updater = UpdateManager::shared();
        updater.setBundlePath(QStringLiteral("/nonexistent/Hoplin Desktop.app"));
        SessionStore store;
        RootView view(store);
        view.show();
        QVERIFY(waitUntil([&] { return int(updater.phase().kind) == phase; }));
        QTest::qWait(200);
        QCOMPARE(int(updater.phase().kind), phase); // a download is not installed
        QCOMPARE(updater.showSheet(), sheet);
        const auto *shown = view.findChild<UpdateSheet *>(QStringLiteral("updateSheet"));
        QCOMPARE(shown && shown->isVisible(), sheet);
        if (phase == int(Phase::Kind::Downloaded))
            QFile::remove(updater.phase().path);
    }
};

HOPLIN_GUI_TEST_MAIN(TestUpdateSheet)
#include "tst_updatesheet.moc"
