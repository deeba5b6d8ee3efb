#include "ConvertTestUtil.h"
#include "convert/FFmpegInstaller.h"
#include "convert/FFmpegLocator.h"
#include "platform/Settings.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>

using namespace hoplin;
using namespace std::chrono_literals;

class TestFFmpegInstaller : public QObject {
    Q_OBJECT

    test::LocalServer m_server;
    QTemporaryDir m_tmp;

    void serve(const QString &location, const QString &mode)
    {
        m_server.adminCall("POST", "ffmpeg-package",
                           QJsonDocument(QJsonObject{{"location", location}, {"mode", mode}}).toJson());
    }
    void serveBoth(const QString &mode)
    {
        serve("primary", mode);
        serve("mirror", mode);
    }
    // Runs an installation to its end; returns the failure text, empty on success.
    QString install(FFmpegInstaller &installer)
    {
        installer.installRecommended();
        if (!test::waitUntil(
                [&] {
                    return installer.phase() == FFmpegInstaller::Phase::Idle ||
                           installer.phase() == FFmpegInstaller::Phase::Failed;
                },
                30s))
            return QStringLiteral("(still running)");
        return installer.failureMessage();
    }
    QStringList workingFolders() const
    {
        return QDir(m_tmp.path())
            .entryList({FFmpegInstaller::workingFolderPrefix() + "*"}, QDir::AllEntries | QDir::Hidden);
    }

private slots:
    void initTestCase()
    {
        // Working folders go to a temporary directory this test can inspect.
        qputenv("TMPDIR", QFile::encodeName(m_tmp.path()));
        QVERIFY(m_server.start());
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
        Settings::shared().setValue(keys::hoplinDiag, true);
    }
    void init()
    {
        m_server.reset();
        QDir(FFmpegLocator::toolsDir()).removeRecursively();
    }
    void cleanup() { QCOMPARE(workingFolders(), QStringList()); }

    // A primary archive that fails its digest is never unpacked: the mirror follows, and the user
    // hears of neither.
    void installsTheVerifiedPackage_data()
    {
        QTest::addColumn<bool>("badPrimary");
        QTest::newRow("from the primary location") << false;
        QTest::newRow("bad primary digest falls back silently") << true;
    }
    void installsTheVerifiedPackage()
    {
        QFETCH(bool, badPrimary);
        if (badPrimary)
            serve("primary", "bad-digest");
        FFmpegInstaller installer;
        QSignalSpy installed(&installer, &FFmpegInstaller::installedChanged);
        QList<FFmpegInstaller::Phase> phases;
        connect(&installer, &FFmpegInstaller::phaseChanged, [&] { phases << installer.phase(); });
        const qsizetype logStart = test::logMark();
        QCOMPARE(install(installer), QString());
        QVERIFY(!phases.contains(FFmpegInstaller::Phase::Failed));
        QCOMPARE(installed.count(), 1);
        QCOMPARE(installed.first().first().toString(), FFmpegLocator::managedExecutable());
        QVERIFY(test::runTask(FFmpegLocator::version(FFmpegLocator::managedExecutable())).has_value());
        const QStringList failed = test::logMessages("convert", logStart).filter("ffmpeg download from");
        QCOMPARE(failed.size(), badPrimary ? 1 : 0);
        if (badPrimary)
            QVERIFY(failed.first().endsWith(
                "/tools/ffmpeg/ffmpeg.zip failed: Downloaded ffmpeg failed its SHA-256 check."));
        QCOMPARE(m_server.count("GET /mirror/ffmpeg/ffmpeg.zip"), badPrimary ? 1 : 0);
    }

    void failuresOnBothLocations_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("message");
        const QString prefix = "Could not install ffmpeg: ";
        QTest::newRow("404") << "missing" << prefix + "Download failed (ffmpeg.zip).";
        QTest::newRow("no digest word") << "no-digest" << prefix + "Downloaded ffmpeg failed its SHA-256 check.";
        QTest::newRow("bin/ffmpeg only") << "nested" << prefix + "The archive did not contain an ffmpeg binary.";
        QTest::newRow("broken archive") << "broken" << prefix + "Could not extract the ffmpeg archive.";
    }
    void failuresOnBothLocations()
    {
        QFETCH(QString, mode);
        QFETCH(QString, message);
        serveBoth(mode);
        FFmpegInstaller installer;
        QCOMPARE(install(installer), message);
        QCOMPARE(installer.phase(), FFmpegInstaller::Phase::Failed);
        QCOMPARE(installer.progressText(), message);
        QVERIFY(!QFile::exists(FFmpegLocator::managedExecutable()));
    }

    // Cancelling during the primary download ends the installation: the mirror is not tried.
    void cancelEndsBothLocations()
    {
        m_server.delay("GET /tools/ffmpeg/ffmpeg.zip", 3000);
        FFmpegInstaller installer;
        installer.installRecommended();
        QVERIFY(test::waitUntil([&] { return m_server.count("GET /tools/ffmpeg/ffmpeg.zip") == 1; }));
        installer.cancel();
        QCOMPARE(installer.phase(), FFmpegInstaller::Phase::Idle);
        QTest::qWait(500);
        QCOMPARE(m_server.count("GET /mirror/ffmpeg/ffmpeg.zip"), 0);
        QCOMPARE(installer.phase(), FFmpegInstaller::Phase::Idle);
        QVERIFY(installer.failureMessage().isEmpty());
        QVERIFY(test::waitUntil([&] { return workingFolders().isEmpty(); }));
    }
};

HOPLIN_TEST_MAIN(TestFFmpegInstaller)
#include "tst_ffmpeginstaller.moc"
