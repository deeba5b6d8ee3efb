#include "ConvertTestUtil.h"
#include "convert/FFmpegLocator.h"
#include "convert/Preferences.h"
#include "platform/Settings.h"
#include "service/Error.h"

#include <QTemporaryDir>
#include <QTest>

using namespace hoplin;
using namespace std::chrono_literals;

class TestLocator : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString at(const QString &relative) const { return m_dir.path() + u'/' + relative; }
    QString stub(const QString &relative, const QByteArray &body) { return test::stub(at(relative), body); }
    // "@" in a row stands for the test folder.
    QString expand(const QString &text) const { return QString(text).replace("@", m_dir.path()); }
    static QStringList toolsEntries() { return test::entries(FFmpegLocator::toolsDir()); }
    static QString errorOf(QCoro::Task<QString> task)
    {
        try {
            test::runTask(std::move(task));
        } catch (const Error &error) {
            return QStringLiteral("%1 %2: %3").arg(error.domain()).arg(error.code()).arg(error.description());
        }
        return QStringLiteral("(no error)");
    }
    static void installManaged(const QByteArray &body) { test::stub(FFmpegLocator::managedExecutable(), body); }

    const QByteArray workingFFmpeg = "[ \"$1\" = -version ] && echo 'ffmpeg version 9.9-stub' && exit 0\nexit 1\n";
    const QByteArray notFFmpeg = "echo 'usage: something else'\nexit 1\n";

private slots:
    void init()
    {
        QDir(FFmpegLocator::toolsDir()).removeRecursively();
        Settings::shared().remove(keys::ffmpegPathOverride);
        Settings::shared().remove(keys::exportLocation);
        Settings::shared().remove(keys::exportFolderPath);
        FFmpegLocator::setVersionTimeoutForTesting(20s);
    }

    void effectiveFFmpeg_data()
    {
        QTest::addColumn<QString>("override");
        QTest::addColumn<QString>("expected"); // "managed" or a path with "@"
        QTest::newRow("override wins over the managed copy") << "@/override/ffmpeg" << "@/override/ffmpeg";
        QTest::newRow("spaces and tabs are trimmed") << " \t@/override/ffmpeg\t " << "@/override/ffmpeg";
        QTest::newRow("missing override falls back") << "@/override/none" << "managed";
        QTest::newRow("non-executable override falls back") << "@/override/plain" << "managed";
        QTest::newRow("a folder is no executable") << "@/override" << "managed";
    }
    void effectiveFFmpeg()
    {
        QFETCH(QString, override);
        QFETCH(QString, expected);
        stub("override/ffmpeg", workingFFmpeg);
        test::writeFile(at("override/plain"), "#!/bin/sh\n");
        installManaged(workingFFmpeg);
        Settings::shared().setValue(keys::ffmpegPathOverride, expand(override));
        const QString wanted = expected == "managed" ? FFmpegLocator::managedExecutable() : expand(expected);
        QCOMPARE(Preferences::effectiveFFmpeg().value_or("(none)"), wanted);
    }

    void locate_data()
    {
        QTest::addColumn<bool>("managed");
        QTest::addColumn<QStringList>("fixed"); // relative; those under "gone" are missing
        QTest::addColumn<QString>("path");      // with "@"; "(unset)" for no PATH
        QTest::addColumn<QString>("expected");  // "managed", "(none)" or a path with "@"
        auto row = [](const char *name, bool managed, QStringList fixed, const char *path, const char *expected) {
            QTest::newRow(name) << managed << fixed << QString(path) << QString(expected);
        };
        row("managed copy wins over fixed places", true, {"brew/ffmpeg"}, "@/p1", "managed");
        row("fixed places in order", false, {"gone/ffmpeg", "local/ffmpeg", "brew/ffmpeg"}, "@/p1", "@/local/ffmpeg");
        row("PATH after the fixed places", false, {"gone/ffmpeg"}, "@/p1", "@/p1/ffmpeg");
        row("empty and missing PATH pieces are skipped", false, {}, "::@/missing:@/p2:@/p1", "@/p2/ffmpeg");
        row("non-executable PATH entry is passed over", false, {}, "@/plain:@/p1", "@/p1/ffmpeg");
        row("no PATH at all", false, {}, "(unset)", "(none)");
    }
    void locate()
    {
        QFETCH(bool, managed);
        QFETCH(QStringList, fixed);
        QFETCH(QString, path);
        QFETCH(QString, expected);
        for (const char *dir : {"brew", "local", "p1", "p2"})
            stub(QStringLiteral("%1/ffmpeg").arg(dir), workingFFmpeg);
        test::writeFile(at("plain/ffmpeg"), "#!/bin/sh\n");

        FFmpegLocator::SearchPlaces places;
        places.managed = managed ? stub("managed/ffmpeg", workingFFmpeg) : at("managed/none");
        for (const QString &relative : fixed)
            places.fixed << at(relative);
        if (path != "(unset)")
            places.path = expand(path).toUtf8();
        const QString wanted = expected == "managed" ? at("managed/ffmpeg") : expand(expected);
        QCOMPARE(FFmpegLocator::locate(places).value_or("(none)"), wanted);
    }

    void version_data()
    {
        QTest::addColumn<QByteArray>("body"); // a stand-in's script; empty: the real ffmpeg
        QTest::addColumn<QString>("expected");
        QTest::newRow("real ffmpeg") << QByteArray() << "ffmpeg version ";
        QTest::newRow("first non-empty line")
            << QByteArray("printf '\\n\\nffmpeg version x\\nsecond\\n'\n") << "ffmpeg version x";
        QTest::newRow("exit status 1") << QByteArray("echo 'ffmpeg version 1'\nexit 1\n") << "(none)";
        QTest::newRow("prints nothing") << QByteArray("exit 0\n") << "(none)";
        QTest::newRow("not UTF-8") << QByteArray("printf 'ffmpeg \\377\\376\\n'\n") << "(none)";
        QTest::newRow("error output is not the version") << QByteArray("echo 'ffmpeg version 2' >&2\n") << "(none)";
        // Fenced in: it may write nowhere and read nothing of the home folder.
        QTest::newRow("fenced") << QByteArray("(touch \"$HOME/w\" || ls \"$HOME\") 2>/dev/null && exit 1\necho 'ffmpeg version 3'\n")
                                << "ffmpeg version 3";
    }
    void version()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        const QString program =
            body.isEmpty() ? test::realFFmpeg : stub(QStringLiteral("version-%1").arg(QTest::currentDataTag()), body);
        const QString result = test::runTask(FFmpegLocator::version(program)).value_or("(none)");
        if (body.isEmpty())
            QVERIFY2(result.startsWith(expected), qPrintable(result));
        else
            QCOMPARE(result, expected);
    }

    void versionOfAHungProgramGivesUp()
    {
        FFmpegLocator::setVersionTimeoutForTesting(300ms);
        const QString program = stub("hangs", "echo 'ffmpeg version 0'\nexec sleep 30\n");
        QVERIFY(!test::runTask(FFmpegLocator::version(program), 10s));
    }

    // A working binary replaces the managed copy; the copy moved aside for it is gone afterwards.
    void adoptReplacesTheManagedCopy()
    {
        installManaged(notFFmpeg);
        const QString installed = test::runTask(FFmpegLocator::adoptBinary(test::realFFmpeg), 30s);
        QCOMPARE(installed, FFmpegLocator::managedExecutable());
        QVERIFY(FFmpegLocator::isExecutable(installed));
        QCOMPARE(test::contents(installed), test::contents(test::realFFmpeg));
        QCOMPARE(toolsEntries(), QStringList{"ffmpeg"});
    }

    // A refused binary leaves the managed copy as it was, or no copy at all: no staging file, nothing moved aside.
    void adoptRefusesABrokenBinary_data()
    {
        QTest::addColumn<QByteArray>("body"); // empty: a path with no file
        QTest::addColumn<bool>("previousCopy");
        QTest::addColumn<QString>("error");
        const QString notWorking = "Hoplin 12: The chosen binary is not a working ffmpeg.";
        QTest::newRow("not ffmpeg") << notFFmpeg << true << notWorking;
        QTest::newRow("silent") << QByteArray("exit 0\n") << true << notWorking;
        QTest::newRow("not ffmpeg, no previous copy") << notFFmpeg << false << notWorking;
        QTest::newRow("missing, no previous copy") << QByteArray() << false << "File ";
    }
    void adoptRefusesABrokenBinary()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, previousCopy);
        QFETCH(QString, error);
        if (previousCopy)
            installManaged(workingFFmpeg);
        const QString broken = at(QStringLiteral("broken-%1").arg(QTest::currentDataTag()));
        if (!body.isEmpty())
            test::stub(broken, body);

        const QString reported = errorOf(FFmpegLocator::adoptBinary(broken));
        QVERIFY2(reported.startsWith(error), qPrintable(reported));
        if (previousCopy)
            QCOMPARE(test::contents(FFmpegLocator::managedExecutable()), "#!/bin/sh\n" + workingFFmpeg);
        QCOMPARE(toolsEntries(), previousCopy ? QStringList{"ffmpeg"} : QStringList{});
    }

    // The managed copy reached through dots or a hard link. It is not a working
    // ffmpeg, so a copy or a check would fail: adopting it must do neither.
    void adoptTheManagedCopyItself_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("dot and dot-dot") << "@managed/../FFmpegTools/./ffmpeg";
        QTest::newRow("hard link") << "@/hard";
    }
    void adoptTheManagedCopyItself()
    {
        QFETCH(QString, path);
        installManaged(notFFmpeg);
        const QString managed = FFmpegLocator::managedExecutable();
        QFile::remove(at("hard"));
        QCOMPARE(::link(QFile::encodeName(managed).constData(), QFile::encodeName(at("hard")).constData()), 0);
        const QString through = QString(path).replace("@managed", FFmpegLocator::toolsDir()).replace("@", m_dir.path());
        QCOMPARE(test::runTask(FFmpegLocator::adoptBinary(through)), managed);
        QCOMPARE(toolsEntries(), QStringList{"ffmpeg"});
    }

    void parseChecksum_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("digest");
        const QString hex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
        QTest::newRow("digest and file name") << hex + "  ffmpeg.zip\n" << hex;
        QTest::newRow("upper case is lowered") << hex.toUpper() + "  ffmpeg.zip" << hex;
        QTest::newRow("63 digits are too short") << hex.left(63) << "";
        QTest::newRow("non-hex character") << hex.left(63) + "g" << "";
        QTest::newRow("first qualifying word") << "SHA256 (x) = " + hex + "\n" + QString(64, u'b') << hex;
        QTest::newRow("unicode white space separates") << QString::fromUtf8("name\u3000") + hex << hex;
    }
    void parseChecksum()
    {
        QFETCH(QString, text);
        QFETCH(QString, digest);
        QCOMPARE(FFmpegLocator::parseChecksum(text), digest);
    }

    void exportDirectory_data()
    {
        QTest::addColumn<QString>("location"); // "(unset)" to leave it out
        QTest::addColumn<QString>("folder");   // "@" stands for the test folder
        QTest::addColumn<QString>("expected"); // "source", "(none)" or a path with "@"
        auto row = [](const char *name, const char *location, const char *folder, const char *expected) {
            QTest::newRow(name) << QString(location) << QString(folder) << QString(expected);
        };
        row("nothing stored", "(unset)", "", "source");
        row("custom folder", "customFolder", "@/out", "@/out");
        row("trailing space is trimmed", "customFolder", "@/out \t", "@/out");
        row("blank custom folder", "customFolder", " \t", "(none)");
        row("a file, not a folder", "customFolder", "@/file", "(none)");
        row("deleted folder", "customFolder", "@/deleted", "(none)");
    }
    void exportDirectory()
    {
        QFETCH(QString, location);
        QFETCH(QString, folder);
        QFETCH(QString, expected);
        QDir().mkpath(at("out"));
        test::writeFile(at("file"));
        if (location != "(unset)")
            Settings::shared().setValue(keys::exportLocation, location);
        Settings::shared().setValue(keys::exportFolderPath, expand(folder));
        const QString wanted = expected == "source" ? at("in") : expand(expected);
        QCOMPARE(Preferences::exportDirectory(at("in/clip.mov")).value_or("(none)"), wanted);
    }
};

HOPLIN_TEST_MAIN(TestLocator)
#include "tst_locator.moc"
