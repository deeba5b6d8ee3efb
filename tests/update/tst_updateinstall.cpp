// Download, verification, staging, the swap with its restore path and the install helper, on real
// files and against the local service over HTTPS.
#include "UpdateTestUtil.h"

#include "diagnostics/ActiveJobs.h"
#include "platform/Platform.h"
#include "platform/Sha256.h"
#include "service/Error.h"
#include "update/UpdateManager.h"

#include "../../bench/BenchMemory.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSet>
#include <QTest>
#include <QUuid>
#include <sys/stat.h>

using namespace hoplin;
using namespace hoplin::test;

namespace {

QSet<QString> tempEntries(const QString &pattern)
{
    const QStringList names = QDir(QDir::tempPath()).entryList({pattern}, QDir::AllEntries | QDir::NoDotAndDotDot);
    return QSet<QString>(names.begin(), names.end());
}

// Every file and link under `root` with its digest (or link target, relative to `root`), for
// byte-for-byte comparisons.
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
            entries.insert(relative, QStringLiteral("link:") + QDir(root).relativeFilePath(info.symLinkTarget()));
        else if (info.isDir())
            entries.insert(relative, QStringLiteral("dir"));
        else if (!info.isFile()) // a fifo would block the read
            entries.insert(relative, QStringLiteral("special"));
        else
            entries.insert(relative, Sha256::ofFile(path) + QString::number(int(info.permissions()), 16));
    }
    return entries;
}

QString journalText()
{
    return QString::fromUtf8(contents(platform::appDataDirectory() + QStringLiteral("/temporaries.journal")));
}

} // namespace

class TestUpdateInstall : public QObject {
    Q_OBJECT
    LocalServer m_server;
    QByteArray m_imageBytes;

    QString imageURL() const { return m_server.url(QStringLiteral("/tools/desktop/image.dmg")).toString(); }
    QString redirectURL(const QString &target) const
    {
        QUrl url = m_server.url(QStringLiteral("/tools/desktop/redirect"));
        url.setQuery(QStringLiteral("to=") + QString::fromLatin1(QUrl::toPercentEncoding(target)));
        return url.toString();
    }

private slots:
    void initTestCase()
    {
        // Several 256 KiB writes and a short tail.
        m_imageBytes.resize(3 * 0x40000 + 1234);
        for (qsizetype i = 0; i < m_imageBytes.size(); ++i)
            m_imageBytes[i] = char(i * 7 + i / 4096);
        QVERIFY(startUpdateService(m_server, m_imageBytes));
    }
    void cleanup() { m_server.clearFaults(); }

    // What one download ends in, and whether its file stays.
    void download_data()
    {
        QTest::addColumn<QString>("dmg");
        QTest::addColumn<QString>("digest");
        QTest::addColumn<QString>("expected"); // phase message, or "downloaded"
        QTest::addColumn<QString>("setup");    // "", "ceiling", "no room", "endless", "packaged"
        const QString image = imageURL(), right = Sha256::ofData(m_imageBytes);
        const QString plain = QString(image).replace(QStringLiteral("https:"), QStringLiteral("http:"));
        const QString failed = QStringLiteral("Download failed: ");
        QTest::newRow("verified") << image << right << "downloaded" << "";
        QTest::newRow("upper-case digest") << image << right.toUpper() << "downloaded" << "";
        QTest::newRow("redirect to an allowed host")
            << redirectURL(QString(image).replace(QStringLiteral("127.0.0.1"), QStringLiteral("localhost"))) << right
            << "downloaded" << "";
        QTest::newRow("wrong digest") << image << QString(64, QLatin1Char('0'))
                                      << "The download failed its SHA-256 check." << "";
        QTest::newRow("redirect to a foreign host")
            << redirectURL(QStringLiteral("https://foreign.invalid/image.dmg")) << right
            << failed + "The download was redirected to https://foreign.invalid, which is not an allowed address." << "";
        QTest::newRow("redirect to plain http")
            << redirectURL(plain) << right
            << failed + "The download was redirected to " + QUrl(plain).adjusted(QUrl::RemovePath).toString() +
                   ", which is not an allowed address."
            << "";
        QTest::newRow("plain http link") << plain << right << "The update link is invalid." << "";
        QTest::newRow("past the ceiling") << image << right << failed + "The update image is larger than 512 KiB."
                                          << "ceiling";
        QTest::newRow("endless image") << image << right << failed + "The update image is larger than 8 MiB."
                                       << "endless";
        QTest::newRow("no room left") << image << right
                                      << failed + "There is not enough free space in " + QDir::tempPath() +
                                             ": the update image would leave less than 1 PiB."
                                      << "no room";
        QTest::newRow("installed by the package manager")
            << image << right << UpdateManager::packageManagerNotice() << "packaged";
    }
    void download()
    {
        QFETCH(QString, dmg);
        QFETCH(QString, digest);
        QFETCH(QString, expected);
        QFETCH(QString, setup);
        const QSet<QString> before = tempEntries(QStringLiteral("hoplin-update-*.dmg"));
        UpdateManager manager;
        manager.setInstalledByPackageManager(setup == QLatin1String("packaged"));
        manager.setDownloadLimits(setup == "ceiling" ? 512 << 10 : setup == "endless" ? 8 << 20 : qint64(2) << 30,
                                  setup == "no room" ? qint64(1) << 50 : 0);
        if (setup == QLatin1String("endless")) {
            m_server.faultRaw({{QStringLiteral("route"), QStringLiteral("GET /tools/desktop/*")},
                               {QStringLiteral("status"), 200},
                               {QStringLiteral("fill_bytes"), 1 << 30}});
        }
        bench::resetPeak();
        const qint64 residentKiB = bench::statusKiB("VmRSS");
        QList<double> fractions;
        connect(&manager, &UpdateManager::phaseChanged, this, [&] {
            if (manager.phase().kind == Phase::Kind::Downloading)
                fractions << manager.phase().fraction;
        });
        const Manifest manifest{QStringLiteral("1.2.23"), 26, dmg, digest};
        runTask(manager.download(manifest), std::chrono::seconds(30));
        const QSet<QString> added = tempEntries(QStringLiteral("hoplin-update-*.dmg")) - before;
        QVERIFY(bench::statusKiB("VmHWM") - residentKiB < 32 * 1024); // streamed, never held

        if (expected != QLatin1String("downloaded")) {
            QCOMPARE(manager.phase(), Phase::error(expected));
            QVERIFY2(added.isEmpty(), "a failed download leaves no file behind");
            QVERIFY(!journalText().contains(QLatin1String("hoplin-update-")));
            return;
        }
        QCOMPARE(manager.phase(), Phase::downloaded(manifest, manager.phase().path));
        const QString path = manager.phase().path;
        QCOMPARE(added, QSet<QString>{QFileInfo(path).fileName()});
        QVERIFY(journalText().contains(path.chopped(4))); // a crash from here on leaves nothing behind
        QCOMPARE(contents(path), m_imageBytes);
        QCOMPARE(logMessages(QStringLiteral("update")).last(),
                 QStringLiteral("downloaded + SHA-256 verified: ") + path);
        // Progress moves only at 256 KiB boundaries: 0, three chunks, the end.
        QCOMPARE(fractions.size(), 5);
        QCOMPARE(fractions.last(), 1.0);
        manager.installAndRelaunch(manifest, path); // refused here, and the image goes
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(!journalText().contains(path.chopped(4)));
    }

    // Each way an image can be refused before anything is swapped.
    void staging_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QVariantMap>("info"); // what differs in the image's Info.plist
        QTest::addColumn<QString>("manifestVersion");
        QTest::addColumn<QString>("minimumSystem");
        QTest::addColumn<QString>("error"); // empty: staged
        const QVariantMap same;
        QTest::newRow("good image") << "good" << same << "1.2.23" << "" << "";
        QTest::newRow("names a macOS release") << "good" << same << "1.2.23" << "99" << "";
        QTest::newRow("not an archive")
            << "garbage" << same << "1.2.23" << "" << "Could not open the update disk image.";
        QTest::newRow("no bundle")
            << "other-name" << same << "1.2.23" << "" << "The update disk image has no app bundle.";
        QTest::newRow("bundle is a link") << "bundle-link" << same << "1.2.23" << ""
                                          << "The update disk image has no app bundle.";
        QTest::newRow("no Info.plist") << "no-plist" << same << "1.2.23" << ""
                                       << "The update bundle has no readable Info.plist.";
        QTest::newRow("wrong identifier") << "good" << QVariantMap{{"CFBundleIdentifier", "com.example.other"}}
                                          << "1.2.23" << "" << "The update bundle is not Hoplin Desktop.";
        QTest::newRow("identifier beginning with ours")
            << "good" << QVariantMap{{"CFBundleIdentifier", "com.hoplin.desktop.other"}} << "1.2.23" << ""
            << "The update bundle is not Hoplin Desktop.";
        QTest::newRow("link climbing out through a folder")
            << "climbing-link" << same << "1.2.23" << ""
            << "The update bundle's link Contents/Resources/b leads outside the bundle.";
        QTest::newRow("executable linked beside the bundle")
            << "outside-executable" << same << "1.2.23" << ""
            << "The update bundle's link Contents/MacOS/hoplin-desktop leads outside the bundle.";
        QTest::newRow("executable is a link inside")
            << "linked-executable" << same << "1.2.23" << ""
            << "The update bundle's executable Contents/MacOS/hoplin-desktop is not a regular file inside the bundle.";
        QTest::newRow("version with a trailing space")
            << "good" << QVariantMap{{"CFBundleShortVersionString", "1.2.23 "}} << "1.2.23" << ""
            << "The update bundle version (1.2.23 ) does not match the manifest (1.2.23).";
        QTest::newRow("wrong build") << "good" << QVariantMap{{"CFBundleVersion", "27"}} << "1.2.23" << ""
                                     << "The update bundle build (27) does not match the manifest (26).";
        QTest::newRow("older release")
            << "good" << same << "1.2.21"
            << ""
            << "The update (1.2.21 build 26) is not newer than this version (1.2.22 build 25).";
    }
    void staging()
    {
        QFETCH(QString, shape);
        QFETCH(QVariantMap, info);
        QFETCH(QString, manifestVersion);
        QFETCH(QString, minimumSystem);
        QFETCH(QString, error);
        QTemporaryDir work;
        const QString root = work.filePath(QStringLiteral("root"));
        QVariantMap plist = bundleInfo(manifestVersion, QStringLiteral("26"));
        plist.insert(info);
        const QString app = makeBundle(root, plist, "#!/bin/sh\necho new\n");
        QFile::link(QStringLiteral("hoplin-desktop"), app + QStringLiteral("/Contents/MacOS/alias")); // stays inside
        if (shape == QLatin1String("other-name"))
            QDir().rename(app, root + QStringLiteral("/Other.app"));
        else if (shape == QLatin1String("no-plist"))
            QFile::remove(app + QStringLiteral("/Contents/Info.plist"));
        else if (shape == QLatin1String("bundle-link"))
            QVERIFY(QDir().rename(app, root + QStringLiteral("/Real.app")) &&
                    QFile::link(QStringLiteral("Real.app"), app));
        else if (shape == QLatin1String("climbing-link"))
            QVERIFY(QDir().mkpath(app + QStringLiteral("/Contents/Resources/a")) &&
                    QFile::link(QStringLiteral("a/../../../.."), app + QStringLiteral("/Contents/Resources/b")));
        const QString executable = app + QStringLiteral("/Contents/MacOS/hoplin-desktop");
        if (shape == QLatin1String("outside-executable")) {
            writeFile(root + QStringLiteral("/evil"), "#!/bin/sh\n");
            QVERIFY(QFile::remove(executable) && QFile::link(QStringLiteral("../../../evil"), executable));
        } else if (shape == QLatin1String("linked-executable")) {
            QVERIFY(QFile::rename(executable, executable + QStringLiteral("-real")) &&
                    QFile::link(QStringLiteral("hoplin-desktop-real"), executable));
        }
        const QString image = work.filePath(QStringLiteral("update.dmg"));
        if (shape == QLatin1String("garbage"))
            writeFile(image, "this is not an archive");
        else
            QVERIFY(packImage(root, image));

        Manifest manifest{manifestVersion, 26, QStringLiteral("https://localhost/u.dmg"),
                          QString(64, QLatin1Char('a'))};
        if (!minimumSystem.isEmpty())
            manifest.minMacos = minimumSystem;
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
        // The "mounted" image is gone on every way out, and so is a refused staging folder.
        QCOMPARE(tempEntries(QStringLiteral("hoplin-image-*")), mountsBefore);
        QCOMPARE(QDir(updates).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), error.isEmpty() ? 1 : 0);
        if (!minimumSystem.isEmpty())
            QVERIFY(logMessages(QStringLiteral("update")).contains(QStringLiteral("min_macos 99 ignored: it names a macOS release")));
    }

    // Ways an installation stops before the current app is touched.
    void installStopsBeforeTheSwap_data()
    {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("error");
        QTest::newRow("work running") << "work" << "Stop active conversions/analysis before installing the update.";
        QTest::newRow("installed by the package manager") << "packaged" << UpdateManager::packageManagerNotice();
        QTest::newRow("image refused") << "refused" << "Install failed: The update disk image has no app bundle.";
        QTest::newRow("not an installed bundle")
            << "no bundle"
            << "Install failed: this copy of Hoplin Desktop does not run from an installed application bundle, so "
               "it cannot replace itself.";
    }
    void installStopsBeforeTheSwap()
    {
        QFETCH(QString, cause);
        QFETCH(QString, error);
        QTemporaryDir work;
        const QString apps = work.filePath(QStringLiteral("apps"));
        const QString current = makeBundle(apps, bundleInfo(QStringLiteral("1.2.22"), QStringLiteral("25")));
        const QString root = work.filePath(QStringLiteral("root"));
        writeFile(root + QStringLiteral("/README"), "nothing else");
        // Named as a download names it, where a download puts it.
        const QString image = QDir::tempPath() + QStringLiteral("/hoplin-update-") +
                              QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".dmg");
        QVERIFY(packImage(root, image));
        const auto before = treeFingerprint(apps);

        UpdateManager manager;
        manager.setInstalledByPackageManager(cause == QLatin1String("packaged"));
        manager.setBundlePath(cause == QLatin1String("no bundle") ? std::nullopt : std::optional(current));
        if (cause == QLatin1String("work"))
            ActiveJobs::shared().begin(QStringLiteral("Conversion"));
        manager.installAndRelaunch({QStringLiteral("1.2.23"), 26}, image);
        if (cause == QLatin1String("work"))
            ActiveJobs::shared().end(QStringLiteral("Conversion"));
        QVERIFY(waitUntil([&] { return manager.phase().kind != Phase::Kind::Installing; }));
        QCOMPARE(manager.phase(), Phase::error(error));
        QCOMPARE(treeFingerprint(apps), before);
        QVERIFY2(!QFileInfo::exists(image), "the image goes whatever stopped the installation");
        QCOMPARE(QDir(UpdateManager::updatesDirectory()).entryList({QStringLiteral("*-*-*-*-*")}), QStringList());
    }

    // dpkg's list for our package names the executable, which the launcher reaches through a link.
    void installedByPackageManager_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<bool>("namesOurs");
        QTest::addColumn<bool>("packaged");
        QTest::newRow("listed by our package") << "hoplin-desktop.list" << true << true;
        QTest::newRow("listed for one architecture") << "hoplin-desktop:amd64.list" << true << true;
        QTest::newRow("listed by another package") << "hoplin-desktop-extras.list" << true << false;
        QTest::newRow("our package lists another copy") << "hoplin-desktop.list" << false << false;
    }
    void installedByPackageManager()
    {
        QFETCH(QString, list);
        QFETCH(bool, namesOurs);
        QFETCH(bool, packaged);
        QTemporaryDir work;
        const QString executable = writeFile(work.filePath("lib/Hoplin Desktop.app/Contents/MacOS/hoplin-desktop"));
        const QString other = writeFile(work.filePath(QStringLiteral("other/hoplin-desktop")));
        writeFile(work.filePath("dpkg/" + list), "/.\n" + QFile::encodeName(namesOurs ? executable : other) + "\n");
        QVERIFY(QFile::link(executable, work.filePath("launcher")));
        QCOMPARE(platform::installedByPackageManager(work.filePath("launcher"), work.filePath("dpkg")), packaged);
    }

    void swap_data()
    {
        QTest::addColumn<QString>("fault"); // none, fifo, missing-current
        QTest::addColumn<QString>("error"); // the phase's message
        const QString restored = QStringLiteral("Install failed and the previous version was restored — ");
        QTest::newRow("swapped") << "none" << "";
        QTest::newRow("copy fails half-way")
            << "fifo" << restored + "Copy failed and the previous version was restored — fifo is not a regular file.";
        QTest::newRow("current app missing")
            << "missing-current"
            << "Install failed and the installed version was left as it was — Could not move the current app aside — "
               "No such file or directory";
    }
    void swap()
    {
        QFETCH(QString, fault);
        QFETCH(QString, error);
        QTemporaryDir work;
        const QString apps = work.filePath(QStringLiteral("apps"));
        const QString current = makeBundle(apps, bundleInfo(QStringLiteral("1.2.22"), QStringLiteral("25")), "old binary");
        writeFile(current + QStringLiteral("/Contents/Resources/a.txt"), "old resource");
        QFile::link(QStringLiteral("a.txt"), current + QStringLiteral("/Contents/Resources/link"));
        const QString staging = work.filePath(QStringLiteral("staging"));
        const QString staged =
            makeBundle(staging, bundleInfo(QStringLiteral("1.2.23"), QStringLiteral("26")), "new binary");
        writeFile(staged + QStringLiteral("/Contents/Resources/a.txt"), "new resource");
        if (fault == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(staged + QStringLiteral("/Contents/fifo")).constData(), 0600), 0);
        if (fault == QLatin1String("missing-current"))
            QDir(current).removeRecursively();
        const auto oldTree = treeFingerprint(apps);
        const auto stagedTree = treeFingerprint(staged);

        if (error.isEmpty()) {
            UpdateManager::swapInStagedApp(current, staged);
            QCOMPARE(treeFingerprint(current), stagedTree);
        } else {
            UpdateManager manager;
            bool quit = false;
            manager.setQuitAction([&] { quit = true; });
            manager.performSwap(current, {staged, staging});
            QCOMPARE(manager.phase(), Phase::error(error));
            QVERIFY(!quit);
            QCOMPARE(treeFingerprint(apps), oldTree); // byte for byte, nothing added
            QVERIFY2(!QFileInfo::exists(staging), "a failed swap leaves no staging folder");
        }
        QVERIFY(!QFileInfo::exists(current + QStringLiteral(".hoplin-old")));
    }
};

HOPLIN_TEST_MAIN(TestUpdateInstall)
#include "tst_updateinstall.moc"
