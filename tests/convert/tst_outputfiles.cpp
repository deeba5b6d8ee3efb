// Output names and files: the name an output gets, the move that never replaces a user's file, the
// temporary files around it, and the same through whole conversions, where the service's suffix
// and extension must make one file inside the destination.
#include "ConvertTestUtil.h"
#include "convert/ConvertRunner.h"
#include "convert/OutputFiles.h"
#include "diagnostics/TemporaryJournal.h"
#include "platform/Settings.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>

using namespace hoplin;
using Method = OutputFiles::MoveMethod;
Q_DECLARE_METATYPE(OutputFiles::MoveMethod)

class TestOutputFiles : public QObject {
    Q_OBJECT

    QTemporaryDir m_media;
    std::unique_ptr<QTemporaryDir> m_dir;

    QString at(const QString &name) const { return m_dir->path() + u'/' + name; }
    // A copy of the tone at `relative` in this test's folder.
    QString tone(const QString &relative)
    {
        const QString path = at(relative);
        QDir().mkpath(QFileInfo(path).path());
        if (!QFile::copy(m_media.filePath("tone.wav"), path))
            qFatal("cannot copy to %s", qPrintable(path));
        return path;
    }
    QStringList written() const
    {
        QStringList files;
        QDirIterator it(m_dir->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << it.next().mid(m_dir->path().size() + 1);
        files.sort();
        return files;
    }

private slots:
    void initTestCase()
    {
        Settings::shared().remove(keys::exportLocation);
        QVERIFY(test::synthesise(m_media.filePath("tone.wav"), "sine=frequency=440:duration=0.2"));
    }
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void stem_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("stem");
        QTest::newRow("simple") << "clip.mov" << "clip";
        QTest::newRow("two dots") << "a.tar.gz" << "a.tar";
        QTest::newRow("leading dot only") << ".wav" << ".wav";
    }
    void stem()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, stem);
        QCOMPARE(OutputFiles::stem(fileName), stem);
    }

    void firstFreeOutputSkipsTakenNames()
    {
        QCOMPARE(OutputFiles::candidateName("clip", "mp4", 1), QStringLiteral("clip (1)mp4")); // verbatim
        QCOMPARE(OutputFiles::firstFreeOutput(m_dir->path(), "clip_norm", ".mp4"), at("clip_norm.mp4"));
        test::writeFile(at("clip_norm.mp4"));
        QCOMPARE(OutputFiles::firstFreeOutput(m_dir->path(), "clip_norm", ".mp4"), at("clip_norm (1).mp4"));
        QVERIFY(QFile::link(at("nothing"), at("clip_norm (1).mp4"))); // a dangling link still holds the name
        QCOMPARE(OutputFiles::firstFreeOutput(m_dir->path() + "/", "clip_norm", ".mp4"), at("clip_norm (2).mp4"));
    }

    void workFolderIsPrivateAndItsBaseFits_data()
    {
        QTest::addColumn<QString>("stem");
        QTest::addColumn<QString>("ext");
        QTest::newRow("short") << "b c" << ".wav";
        QTest::newRow("long multi-byte") << QString::fromUtf8("日本語のファイル名").repeated(12) << ".mp4";
        QTest::newRow("long astral") << QString::fromUtf8("\U0001F3B5").repeated(80) << ".m4a";
    }
    void workFolderIsPrivateAndItsBaseFits()
    {
        QFETCH(QString, stem);
        QFETCH(QString, ext);
        const QString folder = OutputFiles::workFolderPath(m_dir->path());
        QVERIFY2(TemporaryJournal::isOurs(folder), qPrintable(folder)); // the start's sweep may take it
        QCOMPARE(OutputFiles::createWorkFolder(folder), 0);
        QCOMPARE(int(QFileInfo(folder).permissions() & 0x7077), 0x7000); // the owner's alone
        const QString name = OutputFiles::outputBase(folder, stem, ext).mid(folder.size() + 1);
        QVERIFY(!name.isEmpty() && stem.startsWith(name));
        QVERIFY(QFile::encodeName(name + ext).size() <= 255 - 16);
        QCOMPARE(QString::fromUtf8(QFile::encodeName(name)), name); // never half a character
        test::writeFile(folder + u'/' + name + ext); // the file system takes it
        QVERIFY(OutputFiles::workFolderPath(m_dir->path()) != folder);
    }

    // Each way of moving: to a free name, never over a user's file, and on to the next number.
    void move_data()
    {
        QTest::addColumn<OutputFiles::MoveMethod>("method");
        QTest::newRow("renameat2") << Method::Automatic;
        QTest::newRow("link and unlink") << Method::LinkOnly;
        QTest::newRow("exclusive copy") << Method::CopyOnly;
    }
    void move()
    {
        QFETCH(OutputFiles::MoveMethod, method);
        test::writeFile(at(".tmp.wav"), "converted");
        QCOMPARE(OutputFiles::moveNoReplace(at(".tmp.wav"), at("out.wav"), method), 0);
        QCOMPARE(test::contents(at("out.wav")), QByteArray("converted"));
        QVERIFY(!QFileInfo::exists(at(".tmp.wav")));

        test::writeFile(at(".tmp.wav"), "again");
        QCOMPARE(OutputFiles::moveNoReplace(at(".tmp.wav"), at("out.wav"), method), EEXIST);
        QCOMPARE(test::contents(at("out.wav")), QByteArray("converted"));
        QCOMPARE(test::contents(at(".tmp.wav")), QByteArray("again"));

        test::writeFile(at("out (1).wav"), "one");
        const auto placed = OutputFiles::placeOutput(at(".tmp.wav"), m_dir->path(), "out", ".wav", method);
        QCOMPARE(placed.path, at("out (2).wav"));
        QCOMPARE(test::contents(at("out (2).wav")), QByteArray("again"));
        QCOMPARE(test::entries(m_dir->path()), (QStringList{"out (1).wav", "out (2).wav", "out.wav"}));
        QCOMPARE(test::contents(at("out (1).wav")), QByteArray("one"));

        // A destination that is gone is reported as such, and the file stays where it was.
        test::writeFile(at(".tmp.wav"), "kept");
        const auto lost = OutputFiles::placeOutput(at(".tmp.wav"), at("gone"), "out", ".wav", method);
        QCOMPARE(lost.error, QString::fromLocal8Bit(strerror(ENOENT)));
        QVERIFY(lost.path.isEmpty());
        QCOMPARE(test::contents(at(".tmp.wav")), QByteArray("kept"));
    }

    void outputNamesStayInTheDestination_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("outputExt");
        QTest::addColumn<bool>("accepted");
        auto row = [](const char *name, const QString &suffix, const QString &ext, bool accepted) {
            QTest::newRow(name) << suffix << ext << accepted;
        };
        row("ordinary", "_norm", ".wav", true);
        row("dots inside a name", "_v1..2", ".wav", true);
        row("suffix climbs out", "/../../escaped", ".wav", false);
        row("extension climbs out", "", "/../escaped.wav", false);
        row("extension with a NUL", "_x", QStringLiteral(".wav") + QChar(0) + "/x", false);
    }
    void outputNamesStayInTheDestination()
    {
        QFETCH(QString, suffix);
        QFETCH(QString, outputExt);
        QFETCH(bool, accepted);
        const QString input = tone("in/deeper/tone.wav");
        Preset preset =
            test::wavPreset("ffmpeg -hide_banner -nostdin -v error -y -i {input} -f wav {output_base}" + outputExt);
        preset.suffix = suffix;
        preset.outputExt = outputExt;
        const QueueItem item = test::convertWith(input, preset);
        if (accepted) {
            QCOMPARE(item.succeeded, std::optional<bool>(true));
            QCOMPARE(written().size(), 2);
            QCOMPARE(QFileInfo(*item.output).path(), QFileInfo(input).path());
            return;
        }
        QCOMPARE(item.status, QStringLiteral("✗ Script rejected"));
        QVERIFY2(item.errorDetail.value_or("").contains("not a single file name inside the destination folder"),
                 qPrintable(item.errorDetail.value_or("")));
        QCOMPARE(written(), QStringList{"in/deeper/tone.wav"});
    }
};

HOPLIN_TEST_MAIN(TestOutputFiles)
#include "tst_outputfiles.moc"
