// Download, verification, staging, the swap with its restore path and the install helper, on real
// files and against the local service over HTTPS.
#include "UpdateTestUtil.h"

#include "diagnostics/ActiveJobs.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "platform/Sha256.h"
#include "service/Error.h"
#include "update/UpdateManager.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

using namespace hoplin;
using namespace hoplin::test;

namespace {

QSet<QString> tempEntries(const QString &pattern)
{
    const QStringList names = QDir(QDir::tempPath()).entryList({pattern}, QDir::AllEntries | QDir::NoDotAndDotDot);
    return QSet<QString>(names.begin(), names.end());
}

// Every file and link under `root` with its digest (or link target), for byte-for-byte comparisons.
QMap<QString, QString> treeFingerprint(const QString &root)
{
    QMap<QString, QString> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString relative = QDir(root).relativeFilePath(path);
        if (info.isSymLink())
            entries.insert(relative, QStringLiteral("link:") + info.symLinkTarget());
        else if (info.isDir())
            entries.insert(relative, QStringLiteral("dir"));
        else
            entries.insert(relative, Sha256::ofFile(path) + QString::number(int(info.permissions()), 16));
    }
    return entries;
}

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
}

// A folder the user cannot write to: a read-only folder, or one on a read-only file system when
// permission bits do not stop this user.
QString unwritableFolder(const QString &scratch)
{
    const QString folder = scratch + QStringLiteral("/locked");
    QDir().mkpath(folder);
    ::chmod(QFile::encodeName(folder).constData(), 0555);
    if (::access(QFile::encodeName(folder).constData(), W_OK) != 0)
        return folder;
    if (::access("/proc/sys", W_OK) != 0)
        return QStringLiteral("/proc/sys");
    return {};
}

} // namespace

class TestUpdateInstall : public QObject {
    Q_OBJECT
    LocalServer m_server;
    QString m_image;
    QByteArray m_imageBytes;
    QTemporaryDir m_scratch;

    QString imageURL(const QString &query = {}) const
    {
        QUrl url = m_server.url(QStringLiteral("/tools/desktop/image.dmg"));
        url.setQuery(query);
        return url.toString();
    }
    QString redirectURL(const QString &target) const
    {
        QUrl url = m_server.url(QStringLiteral("/tools/desktop/redirect"));
        url.setQuery(QStringLiteral("to=") + QString::fromLatin1(QUrl::toPercentEncoding(target)));
        return url.toString();
    }
    QString imageDigest() const { return Sha256::ofData(m_imageBytes); }

private slots:
    void initTestCase()
    {
        trustTestAuthority();
        Settings::shared().setValue(QString::fromLatin1(keys::hoplinDiag), true);
        DiagnosticsLogger::shared().startIfEnabled();
        // Several 256 KiB writes and a short tail.
        m_imageBytes.resize(3 * 0x40000 + 1234);
        for (qsizetype i = 0; i < m_imageBytes.size(); ++i)
            m_imageBytes[i] = char(i * 7 + i / 4096);
        m_image = writeFile(testHome() + QStringLiteral("/image.dmg"), m_imageBytes);
        QVERIFY(startUpdateServer(m_server, m_image));
        Settings::shared().setValue(QString::fromLatin1(keys::updateManifestURL),
                                    m_server.url(QStringLiteral("/tools/desktop/latest.json")).toString());
    }
    void cleanup() { m_server.clearFaults(); }

    // What one download ends in, and whether its file stays.
    void download_data()
    {
        QTest::addColumn<QString>("source");   // image, chunked, redirect-foreign, redirect-allowed, error-page, http
        QTest::addColumn<QString>("digest");   // right, upper, wrong
        QTest::addColumn<QString>("expected"); // phase message, or "downloaded"
        QTest::newRow("verified") << "image" << "right" << "downloaded";
        QTest::newRow("upper-case digest") << "image" << "upper" << "downloaded";
        QTest::newRow("without a length") << "chunked" << "right" << "downloaded";
        QTest::newRow("redirect to an allowed host") << "redirect-allowed" << "right" << "downloaded";
        QTest::newRow("wrong digest") << "image" << "wrong" << "The download failed its SHA-256 check.";
        QTest::newRow("error page") << "error-page" << "right" << "The download failed its SHA-256 check.";
        QTest::newRow("redirect to a foreign host")
            << "redirect-foreign" << "right"
            << "Download failed: The download was redirected to foreign.invalid, which is not an allowed host.";
        QTest::newRow("plain http link") << "http" << "right" << "The update link is invalid.";
    }
    void download()
    {
        QFETCH(QString, source);
        QFETCH(QString, digest);
        QFETCH(QString, expected);
        QString dmg = imageURL();
        if (source == QLatin1String("chunked"))
            dmg = imageURL(QStringLiteral("chunked=1"));
        else if (source == QLatin1String("redirect-foreign"))
            dmg = redirectURL(QStringLiteral("https://foreign.invalid/image.dmg"));
        else if (source == QLatin1String("redirect-allowed"))
            dmg = redirectURL(QUrl(imageURL()).toString().replace(QStringLiteral("127.0.0.1"), QStringLiteral("localhost")));
        else if (source == QLatin1String("http"))
            dmg = QUrl(imageURL()).toString().replace(QStringLiteral("https:"), QStringLiteral("http:"));
        else if (source == QLatin1String("error-page"))
            m_server.fault(QStringLiteral("GET /tools/desktop/*"), 404, R"({"detail":"Not Found."})");
        QString sha = imageDigest();
        if (digest == QLatin1String("upper"))
            sha = sha.toUpper();
        else if (digest == QLatin1String("wrong"))
            sha = QString(64, QLatin1Char('0'));

        const QSet<QString> before = tempEntries(QStringLiteral("hoplin-update-*.dmg"));
        UpdateManager manager;
        QList<double> fractions;
        connect(&manager, &UpdateManager::phaseChanged, this, [&] {
            if (manager.phase().kind == Phase::Kind::Downloading)
                fractions << manager.phase().fraction;
        });
        const Manifest manifest = makeManifest(QStringLiteral("1.2.23"), 26, dmg, sha);
        runTask(manager.download(manifest));
        const QSet<QString> added = tempEntries(QStringLiteral("hoplin-update-*.dmg")) - before;

        if (expected != QLatin1String("downloaded")) {
            QCOMPARE(manager.phase(), Phase::error(expected));
            QVERIFY2(added.isEmpty(), "a failed download leaves no file behind");
            return;
        }
        QCOMPARE(manager.phase().kind, Phase::Kind::Downloaded);
        QCOMPARE(manager.phase().manifest, std::optional<Manifest>(manifest));
        const QString path = manager.phase().path;
        QCOMPARE(added, QSet<QString>{QFileInfo(path).fileName()});
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), m_imageBytes);
        QCOMPARE(logMessages(QStringLiteral("update")).last(), QStringLiteral("downloaded + SHA-256 verified: ") + path);
        // Progress moves only at 256 KiB boundaries, and only when the length is known.
        QCOMPARE(fractions.first(), 0.0);
        if (source == QLatin1String("chunked")) {
            QCOMPARE(fractions, QList<double>{0.0});
        } else {
            QCOMPARE(fractions.last(), 1.0);
            QCOMPARE(fractions.size(), 5); // 0, three chunks, the end
            QVERIFY(std::is_sorted(fractions.begin(), fractions.end()));
        }
        QFile::remove(path);
    }

    // Each way an image can be refused before anything is swapped.
    void staging_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QString>("manifestVersion");
        QTest::addColumn<QString>("minimumSystem");
        QTest::addColumn<QString>("error"); // empty: staged
        QTest::newRow("good image") << "good" << "1.2.23" << "" << "";
        QTest::newRow("unparsable minimum system is skipped") << "good" << "1.2.23" << "abc" << "";
        QTest::newRow("not an archive") << "garbage" << "1.2.23" << "" << "Could not open the update disk image.";
        QTest::newRow("no bundle") << "other-name" << "1.2.23" << "" << "The update disk image has no app bundle.";
        QTest::newRow("bundle is a file") << "bundle-file" << "1.2.23" << "" << "The update disk image has no app bundle.";
        QTest::newRow("no Info.plist") << "no-plist" << "1.2.23" << "" << "The update bundle has no readable Info.plist.";
        QTest::newRow("wrong identifier") << "other-id" << "1.2.23" << "" << "The update bundle is not Hoplin Desktop.";
        QTest::newRow("version with a trailing space")
            << "version-space" << "1.2.23" << ""
            << "The update bundle version (1.2.23 ) does not match the manifest (1.2.23).";
        QTest::newRow("wrong build") << "build-27" << "1.2.23" << ""
                                     << "The update bundle build (27) does not match the manifest (26).";
        QTest::newRow("needs a newer system") << "good" << "1.2.23" << "99" << "This update needs Linux 99 or newer.";
        QTest::newRow("older release") << "good" << "1.2.21" << ""
                                       << "The update (1.2.21 build 26) is not newer than this version (1.2.22 build 25).";
    }
    void staging()
    {
        QFETCH(QString, shape);
        QFETCH(QString, manifestVersion);
        QFETCH(QString, minimumSystem);
        QFETCH(QString, error);
        QTemporaryDir work;
        const QString root = work.filePath(QStringLiteral("root"));
        QDir().mkpath(root);
        QVariantMap info = bundleInfo(manifestVersion, QStringLiteral("26"));
        if (shape == QLatin1String("other-id"))
            info[QStringLiteral("CFBundleIdentifier")] = QStringLiteral("com.example.other");
        else if (shape == QLatin1String("version-space"))
            info[QStringLiteral("CFBundleShortVersionString")] = QStringLiteral("1.2.23 ");
        else if (shape == QLatin1String("build-27"))
            info[QStringLiteral("CFBundleVersion")] = QStringLiteral("27");
        const QString app = makeBundle(root, info, "#!/bin/sh\necho new\n");
        if (shape == QLatin1String("other-name"))
            QDir().rename(app, root + QStringLiteral("/Other.app"));
        else if (shape == QLatin1String("no-plist"))
            QFile::remove(app + QStringLiteral("/Contents/Info.plist"));
        else if (shape == QLatin1String("bundle-file")) {
            QDir(app).removeRecursively();
            writeFile(app, "not a folder");
        }
        const QString image = work.filePath(QStringLiteral("update.dmg"));
        if (shape == QLatin1String("garbage"))
            writeFile(image, "this is not an archive");
        else
            QVERIFY(packImage(root, image));

        Manifest manifest = makeManifest(manifestVersion, 26, QStringLiteral("https://localhost/u.dmg"),
                                         QString(64, QLatin1Char('a')));
        if (!minimumSystem.isEmpty())
            manifest.minMacos = minimumSystem;
        UpdateManager::setSystemVersionForTesting(QStringLiteral("12"));
        const QString updates = work.filePath(QStringLiteral("Updates"));
        const QSet<QString> mountsBefore = tempEntries(QStringLiteral("hoplin-image-*"));
        try {
            const StagedApp staged = UpdateManager::prepareStagedApp(manifest, image, updates);
            QVERIFY2(error.isEmpty(), "staging should have failed");
            QCOMPARE(QFileInfo(staged.app).fileName(), QStringLiteral("Hoplin Desktop.app"));
            QCOMPARE(QFileInfo(staged.stagingDir).path(), updates);
            QCOMPARE(treeFingerprint(staged.app), treeFingerprint(app));
        } catch (const Error &failure) {
            QCOMPARE(failure.description(), error);
        }
        // The "mounted" image is gone on every way out.
        QCOMPARE(tempEntries(QStringLiteral("hoplin-image-*")), mountsBefore);
    }

    void installRefusedWhileWorkRuns()
    {
        QTemporaryDir work;
        const QString current = makeBundle(work.path(), bundleInfo(QStringLiteral("1.2.22"), QStringLiteral("25")));
        const auto before = treeFingerprint(work.path());
        UpdateManager manager;
        manager.setBundlePath(current);
        ActiveJobs::shared().begin(QStringLiteral("Conversion"));
        manager.installAndRelaunch(makeManifest(QStringLiteral("1.2.23"), 26, {}, {}), work.filePath(QStringLiteral("x.dmg")));
        ActiveJobs::shared().end(QStringLiteral("Conversion"));
        QCOMPARE(manager.phase(), Phase::error(QStringLiteral("Stop active conversions/analysis before installing the update.")));
        QCOMPARE(treeFingerprint(work.path()), before);
    }

    void installWithoutBundleTouchesNothing()
    {
        UpdateManager manager;
        manager.setBundlePath(std::nullopt);
        manager.installAndRelaunch(makeManifest(QStringLiteral("1.2.23"), 26, {}, {}), m_image);
        QCOMPARE(manager.phase().kind, Phase::Kind::Error);
        QVERIFY(manager.phase().message.contains(QLatin1String("cannot replace itself")));
        QVERIFY(UpdateManager::bundleContaining(QCoreApplication::applicationDirPath()) == std::nullopt);
    }

    void installStagingFailureIsReported()
    {
        QTemporaryDir work;
        const QString current = makeBundle(work.filePath(QStringLiteral("apps")),
                                           bundleInfo(QStringLiteral("1.2.22"), QStringLiteral("25")));
        const QString root = work.filePath(QStringLiteral("root"));
        writeFile(root + QStringLiteral("/README"), "nothing else");
        const QString image = work.filePath(QStringLiteral("update.dmg"));
        QVERIFY(packImage(root, image));
        const auto before = treeFingerprint(work.filePath(QStringLiteral("apps")));

        UpdateManager manager;
        manager.setBundlePath(current);
        manager.installAndRelaunch(makeManifest(QStringLiteral("1.2.23"), 26, {}, {}), image);
        QCOMPARE(manager.phase().kind, Phase::Kind::Installing);
        QVERIFY(waitUntil([&] { return manager.phase().kind != Phase::Kind::Installing; }));
        QCOMPARE(manager.phase(), Phase::error(QStringLiteral("Install failed: The update disk image has no app bundle.")));
        QCOMPARE(logMessages(QStringLiteral("update")).last(),
                 QStringLiteral("install failed: The update disk image has no app bundle."));
        QCOMPARE(treeFingerprint(work.filePath(QStringLiteral("apps"))), before);
    }

    void swap_data()
    {
        QTest::addColumn<QString>("fault"); // none, fifo, missing-current
        QTest::addColumn<QString>("error");
        QTest::newRow("swapped") << "none" << "";
        QTest::newRow("copy fails half-way") << "fifo"
                                             << "Copy failed and the previous version was restored — fifo is not a regular file.";
        QTest::newRow("current app missing") << "missing-current"
                                             << "Could not move the current app aside — No such file or directory";
    }
    void swap()
    {
        QFETCH(QString, fault);
        QFETCH(QString, error);
        QTemporaryDir work;
        const QString apps = work.filePath(QStringLiteral("apps"));
        QString current = makeBundle(apps, bundleInfo(QStringLiteral("1.2.22"), QStringLiteral("25")), "old binary");
        writeFile(current + QStringLiteral("/Contents/Resources/a.txt"), "old resource");
        QFile::link(QStringLiteral("a.txt"), current + QStringLiteral("/Contents/Resources/link"));
        const QString staged = makeBundle(work.filePath(QStringLiteral("staging")),
                                          bundleInfo(QStringLiteral("1.2.23"), QStringLiteral("26")), "new binary");
        writeFile(staged + QStringLiteral("/Contents/Resources/a.txt"), "new resource");
        if (fault == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(staged + QStringLiteral("/Contents/fifo")).constData(), 0600), 0);
        if (fault == QLatin1String("missing-current")) {
            QDir(current).removeRecursively();
        }
        const auto oldTree = treeFingerprint(apps);

        try {
            UpdateManager::swapInStagedApp(current, staged);
            QVERIFY(error.isEmpty());
            QCOMPARE(treeFingerprint(current), treeFingerprint(staged));
        } catch (const Error &failure) {
            QCOMPARE(failure.description(), error);
            QCOMPARE(treeFingerprint(apps), oldTree); // byte for byte, nothing added
        }
        QVERIFY(!QFileInfo::exists(current + QStringLiteral(".hoplin-old")));
    }

    void swapFailureMessage()
    {
        QTemporaryDir work;
        const QString current = makeBundle(work.filePath(QStringLiteral("apps")),
                                           bundleInfo(QStringLiteral("1.2.22"), QStringLiteral("25")));
        const QString staged = makeBundle(work.filePath(QStringLiteral("staging")),
                                          bundleInfo(QStringLiteral("1.2.23"), QStringLiteral("26")));
        QCOMPARE(::mkfifo(QFile::encodeName(staged + QStringLiteral("/Contents/fifo")).constData(), 0600), 0);
        UpdateManager manager;
        bool quit = false;
        manager.setQuitAction([&] { quit = true; });
        manager.performSwap(current, {staged, work.filePath(QStringLiteral("staging"))});
        QCOMPARE(manager.phase(),
                 Phase::error(QStringLiteral("Install failed and the previous version was restored — Copy failed and "
                                             "the previous version was restored — fifo is not a regular file.")));
        QVERIFY(!quit);
    }

    void unwritableParentMovesNothing()
    {
        const QString locked = unwritableFolder(m_scratch.path());
        if (locked.isEmpty())
            QSKIP("no folder here is unwritable for this user");
        const QString staged = makeBundle(m_scratch.filePath(QStringLiteral("staging")),
                                          bundleInfo(QStringLiteral("1.2.23"), QStringLiteral("26")));
        const auto stagedTree = treeFingerprint(staged);
        UpdateManager manager;
        manager.performSwap(locked + QStringLiteral("/Hoplin Desktop.app"), {staged, QFileInfo(staged).path()});
        QCOMPARE(manager.phase().kind, Phase::Kind::Error);
        QCOMPARE(manager.phase().message,
                 QStringLiteral("Downloaded Hoplin Desktop.app, but %1 is not writable. Move the new Hoplin "
                                "Desktop.app from the Updates folder into place yourself.")
                     .arg(locked));
        QCOMPARE(treeFingerprint(staged), stagedTree);
    }

    // The helper as a separate process: waits for its parent, tidies up, starts the new version.
    void helperScriptRelaunches()
    {
        QTemporaryDir work;
        const QString marker = work.filePath(QStringLiteral("started"));
        const QString app = makeBundle(work.filePath(QStringLiteral("apps")),
                                       bundleInfo(QStringLiteral("1.2.23"), QStringLiteral("26")),
                                       QStringLiteral("#!/bin/sh\necho \"$0\" > '%1'\n").arg(marker).toUtf8());
        const QString staging = work.filePath(QStringLiteral("Updates/STAGE"));
        writeFile(staging + QStringLiteral("/Hoplin Desktop.app/x"), "x");
        const QString script = writeFile(work.filePath(QStringLiteral("helper.sh")), UpdateManager::helperScriptText().toUtf8());
        const QString logFile = work.filePath(QStringLiteral("Updates/install.log"));

        QProcess parent;
        parent.start(QStringLiteral("sleep"), {QStringLiteral("0.6")});
        QVERIFY(parent.waitForStarted());
        const qint64 parentPid = parent.processId();
        QProcess helper;
        helper.start(QStringLiteral("/bin/bash"), {script, app, QStringLiteral("Hoplin Desktop"),
                                                   QString::number(parentPid), staging, logFile});
        QVERIFY(parent.waitForFinished(5000));
        QVERIFY(helper.waitForFinished(15000));
        QCOMPARE(helper.exitCode(), 0);
        QVERIFY(waitUntil([&] { return QFileInfo::exists(marker); }, std::chrono::seconds(5)));

        QFile log(logFile);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines, (QStringList{QStringLiteral("install helper: waiting for PID %1 to exit").arg(parentPid),
                                     QStringLiteral("install helper: relaunched ") + app}));
        QVERIFY(!QFileInfo::exists(staging));
        QVERIFY(!QFileInfo::exists(script));
    }
};

HOPLIN_TEST_MAIN(TestUpdateInstall)
#include "tst_updateinstall.moc"
