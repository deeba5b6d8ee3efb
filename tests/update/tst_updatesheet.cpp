// The update sheet phase by phase, the tab bar's update button, and the main window's launch task
// with a remembered key and the update switches.
#include "GuiTestSupport.h"
#include "UpdateTestUtil.h"

#include "app/ui/ConnectionPill.h"
#include "app/ui/RootView.h"
#include "platform/Settings.h"
#include "platform/Sha256.h"
#include "service/KeychainStore.h"
#include "service/SessionStore.h"
#include "update/UpdateManager.h"
#include "update/ui/UpdateSheet.h"

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

using namespace hoplin;
using namespace hoplin::test;

Q_DECLARE_METATYPE(hoplin::Phase)

namespace {

Manifest release(const QString &notes)
{
    Manifest manifest = makeManifest(QStringLiteral("1.2.23"), 26, QStringLiteral("https://localhost/u.dmg"),
                                     QString(64, QLatin1Char('a')));
    manifest.notes = notes;
    return manifest;
}

void setSwitch(const char *key, bool on)
{
    Settings::shared().setValue(QString::fromLatin1(key), on);
}

} // namespace

class TestUpdateSheet : public QObject {
    Q_OBJECT
    LocalServer m_server;
    QByteArray m_imageBytes = QByteArray(300000, 'x');

    void serve(const QString &version, int build)
    {
        const QJsonObject manifest{
            {QStringLiteral("version"), version},
            {QStringLiteral("build"), build},
            {QStringLiteral("dmg"), m_server.url(QStringLiteral("/tools/desktop/image.dmg")).toString()},
            {QStringLiteral("sha256"), Sha256::ofData(m_imageBytes)}};
        setServedManifest(m_server, QJsonDocument(manifest).toJson());
    }

private slots:
    void initTestCase()
    {
        trustTestAuthority();
        const QString image = testHome() + QStringLiteral("/image.dmg");
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(m_imageBytes);
        file.close();
        QVERIFY(startUpdateServer(m_server, image));
        Settings::shared().setValue(QString::fromLatin1(keys::updateManifestURL),
                                    m_server.url(QStringLiteral("/tools/desktop/latest.json")).toString());
        Settings::shared().setValue(QString::fromLatin1(keys::baseURL), m_server.url().toString());
        Settings::shared().setValue(QString::fromLatin1(keys::skipWebTabs), true);
        KeychainStore::setJobTimeout(std::chrono::seconds(5));
    }
    void cleanup()
    {
        for (const char *key : {keys::showUpdates, keys::autoUpdate, keys::autoInstall})
            setSwitch(key, false);
        Settings::shared().remove(QString::fromLatin1(keys::lastUpdateCheckAttempt));
        Settings::shared().remove(QString::fromLatin1(keys::lastUpdateCheckSuccess));
        UpdateManager::shared().setShowSheet(false);
    }

    void phaseTexts_data()
    {
        QTest::addColumn<Phase>("phase");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QString>("action");
        QTest::newRow("up to date") << Phase::upToDate()
                                    << QStringList{"You're up to date — Hoplin Desktop 1.2.22 (25)."} << "";
        QTest::newRow("available with notes")
            << Phase::available(release(QStringLiteral("Faster.")))
            << QStringList{"Version 1.2.23 (build 26) is available — you have 1.2.22 (25).", "Faster."} << "Download";
        QTest::newRow("available, empty notes")
            << Phase::available(release(QString()))
            << QStringList{"Version 1.2.23 (build 26) is available — you have 1.2.22 (25)."} << "Download";
        QTest::newRow("downloading 0.999") << Phase::downloading(0.999) << QStringList{"Downloading update… 99%"} << "";
        QTest::newRow("failed install") << Phase::error(QStringLiteral("Install failed: The update disk image has no app bundle."))
                                        << QStringList{"Install failed: The update disk image has no app bundle."}
                                        << "Check Again";
    }
    void phaseTexts()
    {
        QFETCH(Phase, phase);
        QFETCH(QStringList, texts);
        QFETCH(QString, action);
        UpdateManager manager;
        UpdateSheet sheet(manager);
        manager.setPhaseForTesting(phase);
        QCOMPARE(sheet.bodyTexts(), texts);
        QCOMPARE(sheet.actionText(), action);
        auto *bar = sheet.findChild<QProgressBar *>(QStringLiteral("updateProgress"));
        QCOMPARE(!bar->isHidden(), phase.kind == Phase::Kind::Downloading);
    }

    void downloadedOffersInstallOnlyFromABundle_data()
    {
        QTest::addColumn<bool>("bundled");
        QTest::newRow("installed bundle") << true;
        QTest::newRow("build tree") << false;
    }
    void downloadedOffersInstallOnlyFromABundle()
    {
        QFETCH(bool, bundled);
        UpdateManager manager;
        manager.setBundlePath(bundled ? std::optional(QStringLiteral("/Applications/Hoplin Desktop.app")) : std::nullopt);
        UpdateSheet sheet(manager);
        manager.setPhaseForTesting(Phase::downloaded(release({}), QStringLiteral("/tmp/hoplin-update-X.dmg")));
        QCOMPARE(sheet.bodyTexts().first(), QStringLiteral("Version 1.2.23 is downloaded and verified."));
        QCOMPARE(sheet.actionText(), bundled ? QStringLiteral("Install & Relaunch") : QString());
        QCOMPARE(sheet.bodyTexts().last().startsWith(QLatin1String("Install & Relaunch quits Hoplin")), bundled);
    }

    void closeKeepsTheDownloadGoing()
    {
        UpdateManager manager;
        manager.setShowSheet(true);
        UpdateSheet sheet(manager);
        manager.setPhaseForTesting(Phase::downloading(0.5));
        sheet.findChild<QPushButton *>(QStringLiteral("updateClose"))->click();
        QVERIFY(!manager.showSheet());
        QCOMPARE(manager.phase(), Phase::downloading(0.5));
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
        QTest::addColumn<QString>("remembered"); // "-": none
        QTest::addColumn<bool>("connects");
        QTest::newRow("no remembered key") << "-" << false;
        QTest::newRow("spaces and tabs only") << " \t  " << false;
        QTest::newRow("demo key") << QString::fromLatin1(LocalServer::demoKey) << true;
    }
    void launchSignIn()
    {
        QFETCH(QString, remembered);
        QFETCH(bool, connects);
        if (remembered == QLatin1String("-"))
            KeychainStore::remove();
        else
            QVERIFY(!KeychainStore::save(remembered).isFailure());
        // A recent success keeps the scheduled check quiet.
        Settings::shared().setValue(QString::fromLatin1(keys::lastUpdateCheckSuccess), QDateTime::currentDateTimeUtc());
        SessionStore store;
        RootView view(store);
        view.show();
        const auto *pill = view.findChild<ConnectionPill *>(QStringLiteral("connectionPill"));
        if (connects) {
            QVERIFY(waitUntil([&] { return store.state().isConnected(); }));
        } else {
            QTest::qWait(300);
            QCOMPARE(store.state().kind(), ConnectionState::Kind::Disconnected);
            QCOMPARE(pill->text(), QStringLiteral("Not connected"));
        }
        KeychainStore::remove();
    }

    void launchAutoUpdateWithoutInstall()
    {
        serve(QStringLiteral("1.2.23"), 26);
        setSwitch(keys::autoUpdate, true);
        UpdateManager &updater = UpdateManager::shared();
        updater.setBundlePath(QStringLiteral("/nonexistent/Hoplin Desktop.app"));
        SessionStore store;
        RootView view(store);
        view.show();
        QVERIFY(waitUntil([&] { return updater.phase().kind == Phase::Kind::Downloaded; }));
        QTest::qWait(200);
        QCOMPARE(updater.phase().kind, Phase::Kind::Downloaded); // not installed
        QVERIFY(!updater.showSheet());
        QFile::remove(updater.phase().path);
    }

    void launchShowUpdatesWithNothingNew()
    {
        serve(QStringLiteral("1.2.22"), 25);
        setSwitch(keys::showUpdates, true);
        SessionStore store;
        RootView view(store);
        view.show();
        UpdateManager &updater = UpdateManager::shared();
        QVERIFY(waitUntil([&] { return updater.phase().kind == Phase::Kind::UpToDate; }));
        QVERIFY(updater.showSheet());
        auto *sheet = view.findChild<UpdateSheet *>(QStringLiteral("updateSheet"));
        QVERIFY(sheet && sheet->isVisible());
        QCOMPARE(sheet->bodyTexts(), QStringList{QStringLiteral("You're up to date — Hoplin Desktop 1.2.22 (25).")});
    }
};

HOPLIN_GUI_TEST_MAIN(TestUpdateSheet)
#include "tst_updatesheet.moc"
