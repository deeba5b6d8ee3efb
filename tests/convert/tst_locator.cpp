#include "ConvertTestUtil.h"
#include "TestSupport.h"
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
    QString stub(const QString &relative, const QByteArray &body)
    {
        const QString path = at(relative);
        if (!test::writeScript(path, body))
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }
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

    const QByteArray workingFFmpeg =
        "[ \"$1\" = -version ] && echo 'ffmpeg version 9.9-stub' && exit 0\nexit 1\n";
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

    void toolsDirIsInTheDataFolder()
    {
        QCOMPARE(FFmpegLocator::toolsDir(), test::testHome() + "/.local/share/Hoplin/FFmpegTools");
        QCOMPARE(FFmpegLocator::managedExecutable(), FFmpegLocator::toolsDir() + "/ffmpeg");
    }

    void effectiveFFmpeg_data()
    {
        QTest::addColumn<QString>("override");
        QTest::addColumn<QString>("expected"); // "managed" or a path relative to the test folder
        QTest::newRow("override wins over the managed copy") << "override/ffmpeg"
                                                             << "override/ffmpeg";
        QTest::newRow("spaces and tabs are trimmed") << " \toverride/ffmpeg\t "
                                                     << "override/ffmpeg";
        QTest::newRow("missing override falls back") << "override/none"
                                                     << "managed";
        QTest::newRow("non-executable override falls back") << "override/plain"
                                                            << "managed";
        QTest::newRow("a folder is no executable") << "override"
                                                   << "managed";
    }
    void effectiveFFmpeg()
    {
        QFETCH(QString, override);
        QFETCH(QString, expected);
        stub("override/ffmpeg", workingFFmpeg);
        test::writeFile(at("override/plain"), "#!/bin/sh\n");
        QDir().mkpath(FFmpegLocator::toolsDir());
        QVERIFY(test::writeScript(FFmpegLocator::managedExecutable(), workingFFmpeg));

        QString value = override;
        if (!value.trimmed().isEmpty())
            value.replace("override", at("override"));
        Settings::shared().setValue(keys::ffmpegPathOverride, value);
        const QString wanted = expected == "managed" ? FFmpegLocator::managedExecutable() : at(expected);
        QCOMPARE(Preferences::effectiveFFmpeg().value_or("(none)"), wanted);
    }

    void locate_data()
    {
        QTest::addColumn<bool>("managed");
        QTest::addColumn<QStringList>("fixed"); // relative; those under "bin" exist
        QTest::addColumn<QString>("path");      // with "@" for the test folder; "(unset)" for no PATH
        QTest::addColumn<QString>("expected");
        QTest::newRow("managed copy wins over fixed places") << true << QStringList{"brew/ffmpeg"} << "@/p1"
                                                             << "managed";
        QTest::newRow("fixed places in order")
            << false << QStringList{"gone/ffmpeg", "local/ffmpeg", "brew/ffmpeg"} << "@/p1"
            << "local/ffmpeg";
        QTest::newRow("PATH after the fixed places") << false << QStringList{"gone/ffmpeg"} << "@/p1"
                                                     << "p1/ffmpeg";
        QTest::newRow("empty and missing PATH pieces are skipped")
            << false << QStringList{} << "::@/missing:@/p2:@/p1"
            << "p2/ffmpeg";
        QTest::newRow("non-executable PATH entry is passed over") << false << QStringList{} << "@/plain:@/p1"
                                                                  << "p1/ffmpeg";
        QTest::newRow("no PATH at all") << false << QStringList{} << "(unset)"
                                        << "(none)";
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
            places.path = QString(path).replace("@", m_dir.path()).toUtf8();
        const QString wanted = expected == "managed"  ? at("managed/ffmpeg")
                               : expected == "(none)" ? expected
                                                      : at(expected);
        QCOMPARE(FFmpegLocator::locate(places).value_or("(none)"), wanted);
    }

    void version_data()
    {
        QTest::addColumn<QByteArray>("body"); // empty: the real ffmpeg
        QTest::addColumn<QString>("expected");
        QTest::newRow("real ffmpeg") << QByteArray() << "ffmpeg version ";
        QTest::newRow("first non-empty line")
            << QByteArray("printf '\\n\\nffmpeg version x\\nsecond\\n'\n") << "ffmpeg version x";
        QTest::newRow("exit status 1") << QByteArray("echo 'ffmpeg version 1'\nexit 1\n") << "(none)";
        QTest::newRow("prints nothing") << QByteArray("exit 0\n") << "(none)";
        QTest::newRow("not UTF-8") << QByteArray("printf 'ffmpeg \\377\\376\\n'\n") << "(none)";
        QTest::newRow("error output is not the version")
            << QByteArray("echo 'ffmpeg version 2' >&2\n") << "(none)";
    }
    void version()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        const QString program = body.isEmpty()
                                    ? test::realFFmpeg()
                                    : stub(QStringLiteral("version-%1").arg(QTest::currentDataTag()), body);
        const QString result = test::runTask(FFmpegLocator::version(program)).value_or("(none)");
        if (body.isEmpty())
            QVERIFY2(result.startsWith(expected), qPrintable(result));
        else
            QCOMPARE(result, expected);
    }

    void versionOfSomethingThatCannotRun()
    {
        QVERIFY(!test::runTask(FFmpegLocator::version(at("does-not-exist"))));
        test::writeFile(at("not-executable"), "#!/bin/sh\necho ffmpeg\n");
        QVERIFY(!test::runTask(FFmpegLocator::version(at("not-executable"))));
    }

    void versionOfAHungProgramGivesUp()
    {
        FFmpegLocator::setVersionTimeoutForTesting(300ms);
        const QString program = stub("hangs", "echo 'ffmpeg version 0'\nexec sleep 30\n");
        QVERIFY(!test::runTask(FFmpegLocator::version(program), 10s));
    }

    void adoptInstallsAWorkingBinary()
    {
        const QString installed = test::runTask(FFmpegLocator::adoptBinary(test::realFFmpeg()), 30s);
        QCOMPARE(installed, FFmpegLocator::managedExecutable());
        QVERIFY(FFmpegLocator::isExecutable(installed));
        QVERIFY(test::runTask(FFmpegLocator::version(installed)).value_or("").startsWith("ffmpeg version"));
        QCOMPARE(toolsEntries(), QStringList{"ffmpeg"});

        // A second working one replaces it, and the copy moved aside is gone afterwards.
        const QString newer = stub("newer/ffmpeg", workingFFmpeg);
        QCOMPARE(test::runTask(FFmpegLocator::adoptBinary(newer)), FFmpegLocator::managedExecutable());
        QCOMPARE(test::contents(installed), test::contents(newer));
        QCOMPARE(toolsEntries(), QStringList{"ffmpeg"});
    }

    void adoptRefusesABrokenBinary_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("not ffmpeg") << notFFmpeg;
        QTest::newRow("silent") << QByteArray("exit 0\n");
    }
    void adoptRefusesABrokenBinary()
    {
        QFETCH(QByteArray, body);
        QDir().mkpath(FFmpegLocator::toolsDir());
        QVERIFY(test::writeScript(FFmpegLocator::managedExecutable(), workingFFmpeg));
        const QString broken = stub(QStringLiteral("broken-%1").arg(QTest::currentDataTag()), body);

        QCOMPARE(errorOf(FFmpegLocator::adoptBinary(broken)),
                 QStringLiteral("Hoplin 12: The chosen binary is not a working ffmpeg."));
        QCOMPARE(test::contents(FFmpegLocator::managedExecutable()), "#!/bin/sh\n" + workingFFmpeg);
        QCOMPARE(toolsEntries(), QStringList{"ffmpeg"}); // no staging file, nothing moved aside
    }

    void adoptWithoutAnyPreviousCopy()
    {
        QCOMPARE(errorOf(FFmpegLocator::adoptBinary(stub("broken", notFFmpeg))),
                 QStringLiteral("Hoplin 12: The chosen binary is not a working ffmpeg."));
        QCOMPARE(toolsEntries(), QStringList{});
        QVERIFY(errorOf(FFmpegLocator::adoptBinary(at("missing-source"))).startsWith("File "));
        QCOMPARE(toolsEntries(), QStringList{});
    }

    void adoptTheManagedCopyItself()
    {
        // Not a working ffmpeg, so a copy or a check would fail: adopting it must do neither.
        QDir().mkpath(FFmpegLocator::toolsDir());
        QVERIFY(test::writeScript(FFmpegLocator::managedExecutable(), notFFmpeg));
        const QString through = FFmpegLocator::toolsDir() + "/../FFmpegTools/./ffmpeg";
        QCOMPARE(test::runTask(FFmpegLocator::adoptBinary(through)), FFmpegLocator::managedExecutable());
        QVERIFY(QFile::link(FFmpegLocator::managedExecutable(), at("link-to-managed")));
        QCOMPARE(test::runTask(FFmpegLocator::adoptBinary(at("link-to-managed"))),
                 FFmpegLocator::managedExecutable());
        QCOMPARE(toolsEntries(), QStringList{"ffmpeg"});
    }

    void isSameFile_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("same");
        QTest::newRow("dot and dot-dot") << "same/./x/../f"
                                         << "same/f" << true;
        QTest::newRow("hard link") << "same/f"
                                   << "same/hard" << true;
        QTest::newRow("symbolic link") << "same/soft"
                                       << "same/f" << true;
        QTest::newRow("different files") << "same/f"
                                         << "same/g" << false;
        QTest::newRow("one missing") << "same/f"
                                     << "same/missing" << false;
    }
    void isSameFile()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, same);
        if (!QFileInfo::exists(at("same/f"))) {
            test::writeFile(at("same/f"), "f");
            test::writeFile(at("same/g"), "f");
            QCOMPARE(::link(QFile::encodeName(at("same/f")).constData(),
                            QFile::encodeName(at("same/hard")).constData()),
                     0);
            QVERIFY(QFile::link(at("same/f"), at("same/soft")));
        }
        QCOMPARE(FFmpegLocator::isSameFile(at(a), at(b)), same);
    }

    void parseChecksum_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("digest");
        const QString hex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
        QTest::newRow("digest and file name") << hex + "  ffmpeg.zip\n" << hex;
        QTest::newRow("upper case is lowered") << hex.toUpper() + "  ffmpeg.zip" << hex;
        QTest::newRow("65 digits whole") << hex + "a" << hex + "a";
        QTest::newRow("63 digits are too short") << hex.left(63) << "";
        QTest::newRow("non-hex character") << hex.left(63) + "g"
                                           << "";
        QTest::newRow("first qualifying word") << "SHA256 (x) = " + hex + "\n" + QString(64, u'b') << hex;
        QTest::newRow("unicode white space separates") << QString::fromUtf8("name\u3000") + hex << hex;
        QTest::newRow("empty") << ""
                               << "";
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
        QTest::newRow("nothing stored") << "(unset)"
                                        << ""
                                        << "source";
        QTest::newRow("same as source") << "sameAsSource"
                                        << "@/out"
                                        << "source";
        QTest::newRow("unknown value") << "elsewhere"
                                       << "@/out"
                                       << "source";
        QTest::newRow("custom folder") << "customFolder"
                                       << "@/out"
                                       << "@/out";
        QTest::newRow("trailing space is trimmed") << "customFolder"
                                                   << "@/out \t"
                                                   << "@/out";
        QTest::newRow("blank custom folder") << "customFolder"
                                             << " \t"
                                             << "(none)";
        QTest::newRow("a file, not a folder") << "customFolder"
                                              << "@/file"
                                              << "(none)";
        QTest::newRow("deleted folder") << "customFolder"
                                        << "@/deleted"
                                        << "(none)";
        QTest::newRow("link to a folder") << "customFolder"
                                          << "@/out-link"
                                          << "@/out-link";
    }
    void exportDirectory()
    {
        QFETCH(QString, location);
        QFETCH(QString, folder);
        QFETCH(QString, expected);
        QDir().mkpath(at("out"));
        test::writeFile(at("file"));
        QFile::link(at("out"), at("out-link"));
        if (location != "(unset)")
            Settings::shared().setValue(keys::exportLocation, location);
        Settings::shared().setValue(keys::exportFolderPath, QString(folder).replace("@", m_dir.path()));
        const QString source = at("in/clip.mov");
        const QString wanted = expected == "source" ? at("in") : QString(expected).replace("@", m_dir.path());
        QCOMPARE(Preferences::exportDirectory(source).value_or("(none)"), wanted);
    }
};

HOPLIN_TEST_MAIN(TestLocator)
#include "tst_locator.moc"
