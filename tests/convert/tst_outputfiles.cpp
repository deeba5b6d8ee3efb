#include "ConvertTestUtil.h"
#include "TestSupport.h"
#include "convert/OutputFiles.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>

using namespace hoplin;
using Method = OutputFiles::MoveMethod;
Q_DECLARE_METATYPE(OutputFiles::MoveMethod)

class TestOutputFiles : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString at(const QString &name) const { return m_dir->path() + u'/' + name; }
    void addMethods()
    {
        QTest::newRow("renameat2") << Method::Automatic;
        QTest::newRow("link and unlink") << Method::LinkOnly;
        QTest::newRow("exclusive copy") << Method::CopyOnly;
    }

private slots:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void names_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("stem");
        QTest::newRow("simple") << "clip.mov"
                                << "clip";
        QTest::newRow("two dots") << "a.tar.gz"
                                  << "a.tar";
        QTest::newRow("no extension") << "clip"
                                      << "clip";
        QTest::newRow("leading dot only") << ".wav"
                                          << ".wav";
        QTest::newRow("spaces") << "my take (1).wav"
                                << "my take (1)";
    }
    void names()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, stem);
        QCOMPARE(OutputFiles::stem(fileName), stem);
        QCOMPARE(OutputFiles::candidateName("clip_norm", ".mp4", 0), QStringLiteral("clip_norm.mp4"));
        QCOMPARE(OutputFiles::candidateName("clip_norm", ".mp4", 2), QStringLiteral("clip_norm (2).mp4"));
        QCOMPARE(OutputFiles::candidateName("clip", "mp4", 1), QStringLiteral("clip (1)mp4")); // verbatim
    }

    void firstFreeOutputSkipsTakenNames()
    {
        QCOMPARE(OutputFiles::firstFreeOutput(m_dir->path(), "clip_norm", ".mp4"), at("clip_norm.mp4"));
        test::writeFile(at("clip_norm.mp4"));
        QCOMPARE(OutputFiles::firstFreeOutput(m_dir->path(), "clip_norm", ".mp4"), at("clip_norm (1).mp4"));
        QVERIFY(QFile::link(at("nothing"), at("clip_norm (1).mp4"))); // a dangling link still holds the name
        QCOMPARE(OutputFiles::firstFreeOutput(m_dir->path() + "/", "clip_norm", ".mp4"),
                 at("clip_norm (2).mp4"));
    }

    void temporaryBaseIsHiddenUniqueAndFits_data()
    {
        QTest::addColumn<QString>("stem");
        QTest::addColumn<QString>("ext");
        QTest::newRow("short") << "b c"
                               << ".wav";
        QTest::newRow("long ascii") << QString(250, u'x') << ".wav";
        QTest::newRow("long multi-byte") << QString::fromUtf8("日本語のファイル名").repeated(12) << ".mp4";
        QTest::newRow("long astral") << QString::fromUtf8("\U0001F3B5").repeated(80) << ".m4a";
    }
    void temporaryBaseIsHiddenUniqueAndFits()
    {
        QFETCH(QString, stem);
        QFETCH(QString, ext);
        const QString base = OutputFiles::temporaryBase(m_dir->path(), stem, ext);
        const QString name = base.mid(m_dir->path().size() + 1);
        static const QRegularExpression pattern(
            "^\\.hoplin-tmp-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}-(.*)$",
            QRegularExpression::DotMatchesEverythingOption);
        const auto match = pattern.match(name);
        QVERIFY2(match.hasMatch(), qPrintable(name));
        QVERIFY(stem.startsWith(match.captured(1)));
        QVERIFY(!match.captured(1).isEmpty());
        QVERIFY(QFile::encodeName(name + ext).size() <= 255 - 16);
        QCOMPARE(QString::fromUtf8(QFile::encodeName(name)), name); // never half a character
        QVERIFY(test::writeFile(base + ext));                       // the file system takes it
        QVERIFY(OutputFiles::temporaryBase(m_dir->path(), stem, ext) != base);
    }

    void moveToAFreeName_data()
    {
        QTest::addColumn<OutputFiles::MoveMethod>("method");
        addMethods();
    }
    void moveToAFreeName()
    {
        QFETCH(OutputFiles::MoveMethod, method);
        test::writeFile(at(".tmp.wav"), "converted");
        QCOMPARE(OutputFiles::moveNoReplace(at(".tmp.wav"), at("out.wav"), method), 0);
        QCOMPARE(test::contents(at("out.wav")), QByteArray("converted"));
        QVERIFY(!QFileInfo::exists(at(".tmp.wav")));
    }

    void moveNeverReplaces_data()
    {
        QTest::addColumn<OutputFiles::MoveMethod>("method");
        addMethods();
    }
    void moveNeverReplaces()
    {
        QFETCH(OutputFiles::MoveMethod, method);
        test::writeFile(at(".tmp.wav"), "converted");
        test::writeFile(at("out.wav"), "user's own file");
        QCOMPARE(OutputFiles::moveNoReplace(at(".tmp.wav"), at("out.wav"), method), EEXIST);
        QCOMPARE(test::contents(at("out.wav")), QByteArray("user's own file"));
        QCOMPARE(test::contents(at(".tmp.wav")), QByteArray("converted"));
    }

    void placeTakesTheNextNumber_data()
    {
        QTest::addColumn<OutputFiles::MoveMethod>("method");
        addMethods();
    }
    void placeTakesTheNextNumber()
    {
        QFETCH(OutputFiles::MoveMethod, method);
        test::writeFile(at(".tmp.mp4"), "new");
        test::writeFile(at("clip_norm.mp4"), "zero");
        test::writeFile(at("clip_norm (1).mp4"), "one");
        const auto placed =
            OutputFiles::placeOutput(at(".tmp.mp4"), m_dir->path(), "clip_norm", ".mp4", method);
        QCOMPARE(placed.path, at("clip_norm (2).mp4"));
        QCOMPARE(test::contents(at("clip_norm.mp4")), QByteArray("zero"));
        QCOMPARE(test::contents(at("clip_norm (1).mp4")), QByteArray("one"));
        QCOMPARE(test::contents(at("clip_norm (2).mp4")), QByteArray("new"));
        QCOMPARE(test::entries(m_dir->path()),
                 (QStringList{"clip_norm (1).mp4", "clip_norm (2).mp4", "clip_norm.mp4"}));
    }

    void placeReportsOtherFailures()
    {
        test::writeFile(at(".tmp.mp4"), "new");
        const auto placed = OutputFiles::placeOutput(at(".tmp.mp4"), at("gone"), "clip", ".mp4");
        QVERIFY(placed.path.isEmpty());
        QCOMPARE(placed.error, QString::fromLocal8Bit(strerror(ENOENT)));
        QCOMPARE(test::contents(at(".tmp.mp4")), QByteArray("new"));
    }

    void cleanupRemovesEverythingUnderTheBase()
    {
        const QString base = at(".hoplin-tmp-AAAA-clip");
        for (const char *name : {".hoplin-tmp-AAAA-clip.wav", ".hoplin-tmp-AAAA-clip-0.wav",
                                 ".hoplin-tmp-AAAA-clip.log", ".hoplin-tmp-AAAA-clip.d/seg1.ts",
                                 ".hoplin-tmp-BBBB-clip.wav", "clip.wav", ".hoplin-tmp-AAAA-cli.wav"})
            test::writeFile(at(QString::fromUtf8(name)));
        OutputFiles::cleanupPartial(base);
        QCOMPARE(test::entries(m_dir->path()),
                 (QStringList{".hoplin-tmp-AAAA-cli.wav", ".hoplin-tmp-BBBB-clip.wav", "clip.wav"}));
        OutputFiles::cleanupPartial(at("missing-folder/.hoplin-tmp-X")); // nothing to do, no error
    }
};

HOPLIN_TEST_MAIN(TestOutputFiles)
#include "tst_outputfiles.moc"
