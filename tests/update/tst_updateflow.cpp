// From end to end: an installed bundle of this build finds the image of the next release on the
// local service, downloads, verifies and installs it at launch, and comes back as the new version
// from the same path through the install helper.
#include "UpdateTestUtil.h"

#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "update/UpdateManager.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <csignal>

using namespace hoplin;
using namespace hoplin::test;

namespace {

QString readText(const QString &path)
{
    return QString::fromUtf8(contents(path));
}

// Processes whose executable is `path` (the relaunched copy runs in its own session).
QList<qint64> processesRunning(const QString &path)
{
    QList<qint64> pids;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (numeric && QFileInfo(QStringLiteral("/proc/%1/exe").arg(entry)).symLinkTarget() == path)
            pids << pid;
    }
    return pids;
}

} // namespace

class TestUpdateFlow : public QObject {
    Q_OBJECT
    LocalServer m_server;

private slots:
    void initTestCase()
    {
        trustTestAuthority();
        QVERIFY(QFileInfo::exists(QStringLiteral(HOPLIN_UPDATE_IMAGE)));
        QVERIFY(startUpdateServer(m_server, QStringLiteral(HOPLIN_UPDATE_IMAGE)));
    }

    void autoUpdateAndInstallRelaunchesTheNewVersion()
    {
        // The bundle as an installation leaves it: Info.plist of this build beside its executable.
        const QString applications = testHome() + QStringLiteral("/Applications");
        const QString bundle = applications + QStringLiteral("/Hoplin Desktop.app");
        const QString executable = bundle + QStringLiteral("/Contents/MacOS/hoplin-desktop");
        QVERIFY(QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS")));
        QVERIFY(QFile::copy(QStringLiteral(HOPLIN_INFO_PLIST), bundle + QStringLiteral("/Contents/Info.plist")));
        QVERIFY(QFile::copy(QStringLiteral(HOPLIN_E2E_APP), executable));

        {
            // Written to the store the installed copy reads; destroyed here so it reaches the file.
            Settings stored(Settings::shared().filePath());
            stored.setValue(QString::fromLatin1(keys::baseURL), m_server.url().toString());
            stored.setValue(QString::fromLatin1(keys::updateManifestURL),
                            m_server.url(QStringLiteral("/tools/desktop/latest.json")).toString());
            stored.setValue(QString::fromLatin1(keys::hoplinDiag), true);
            stored.setValue(QString::fromLatin1(keys::skipWebTabs), true);
        }
        const QString logFile = DiagnosticsLogger::shared().logFilePath();

        const QStringList helperScripts = QDir::temp().entryList({QStringLiteral("hoplin-install-*.sh")});
        QProcess app;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        app.setProcessEnvironment(environment);
        app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.setStandardOutputFile(QProcess::nullDevice());
        app.start(executable, {QStringLiteral("-autoUpdate"), QStringLiteral("YES"), QStringLiteral("-autoInstall"),
                               QStringLiteral("YES")});
        QVERIFY(app.waitForStarted());
        const qint64 oldPid = app.processId();
        QVERIFY2(app.waitForFinished(60000), "the old version should quit for the update");

        const QString helperLog = UpdateManager::helperLogPath();
        QVERIFY(waitUntil([&] { return readText(helperLog).contains(QLatin1String("relaunched")); },
                          std::chrono::seconds(20)));
        // The new version runs from the same path and says so in its log.
        const bool newVersionLogged = waitUntil(
            [&] { return readText(logFile).contains(QLatin1String("app=Hoplin Desktop 1.2.23 (26)")); },
            std::chrono::seconds(20));
        const QList<qint64> running = processesRunning(QFileInfo(executable).canonicalFilePath());
        for (qint64 pid : running)
            ::kill(pid_t(pid), SIGTERM);
        QVERIFY(newVersionLogged);
        QCOMPARE(running.size(), 1);
        QVERIFY(readText(helperLog).contains(QStringLiteral("waiting for PID %1 to exit").arg(oldPid)));
        QCOMPARE(QDir::temp().entryList({QStringLiteral("hoplin-install-*.sh")}), helperScripts); // removed itself
        // Neither the verified image nor its unpacked copy outlives the installation.
        QCOMPARE(QDir::temp().entryList({QStringLiteral("hoplin-update-*"), QStringLiteral("hoplin-image-*")}),
                 QStringList());

        QVERIFY(readText(logFile).contains(QLatin1String("app=Hoplin Desktop 1.2.22 (25)")));
        QVERIFY(readText(bundle + QStringLiteral("/Contents/Info.plist")).contains(QLatin1String("<string>1.2.23</string>")));
        // The old bundle is gone and nothing is left in the staging folder.
        QCOMPARE(QDir(applications).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("Hoplin Desktop.app")});
        QCOMPARE(QDir(UpdateManager::updatesDirectory()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("install.log")});
    }
};

HOPLIN_TEST_MAIN(TestUpdateFlow)
#include "tst_updateflow.moc"
