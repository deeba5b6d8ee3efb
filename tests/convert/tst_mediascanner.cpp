#include "ConvertTestUtil.h"
#include "TestSupport.h"
#include "convert/MediaScanner.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

using namespace hoplin;

class TestMediaScanner : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString at(const QString &relative) const { return m_dir.path() + u'/' + relative; }
    void touch(const QString &relative) { test::writeFile(at(relative)); }
    void link(const QString &target, const QString &relative) { QVERIFY(QFile::link(target, at(relative))); }

private slots:
    void initTestCase()
    {
        for (const char *file :
             {"clutter/a.wav", "clutter/._a.wav", "clutter/.DS_Store", "clutter/.hidden.wav",
              "clutter/.hiddendir/x.wav", "clutter/__MACOSX/a.wav", "clutter/__MACOSX/sub/b.wav",
              "ziparchive/__MACOSX/inner/a.wav", "kinds/notes.txt", "kinds/clip", "kinds/CLIP.MOV",
              "kinds/clip.mov.txt", "kinds/song.ogg", "kinds/movie.mkv", "kinds/voice.Opus", "kinds/name.",
              "dots/take.2.final.wav", "dots/take.wav.txt", "natural/take10.wav", "natural/Take2.wav",
              "natural/take1.wav", "natural/track 2 - b.wav", "natural/track 2 - a.wav", "natural/x100.wav",
              "packages/Show.app/Contents/Resources/intro.wav", "packages/Library.photoslibrary/b.wav",
              "packages/Edit.FCPBUNDLE/c.mov", "packages/plain.folder/d.wav", "packages/e.wav",
              "links/sub/deeper/z.wav", "tree/b/2.wav", "tree/a/1.wav", "tree/a/sub/3.wav", "same/d1/x.wav",
              "same/d2/X.wav", "folderext/inside.wav/take.wav", "folderext/inside.wav/notes", "unicode/élan.wav",
              "unicode/Zebra.wav", "unicode/ábaco.wav", "unicode/♪ song.flac", "unicode/apple.wav", "mixed/a.wav",
              "mixed/notes.txt", "mixed/README", "mixed/sub/b.MOV", "mixed/sub/c.pdf", "special/real.wav"})
            touch(QString::fromUtf8(file));
        for (const char *pipe : {"special/pipe.wav", "special/pipe.txt"})
            QCOMPARE(::mkfifo(QFile::encodeName(at(QString::fromUtf8(pipe))).constData(), 0600), 0);
        link(at("special/pipe.wav"), "special/to-pipe.wav");
        link("/dev/zero", "special/zero.wav");
        link(at("links"), "links/loop");        // a loop if it were followed
        link(at("links/sub"), "links/sub.wav"); // a folder behind a media name
        link(at("links/sub/deeper/z.wav"), "links/linked.wav");
        link(at("links/missing.wav"), "links/dangling.wav");
    }

    void collect_data()
    {
        QTest::addColumn<QStringList>("given");
        QTest::addColumn<bool>("audioSet");
        QTest::addColumn<QStringList>("expected");
        auto row = [](const char *name, QStringList given, QStringList expected, bool audio = false) {
            QTest::newRow(name) << given << audio << expected;
        };
        row("clutter is skipped inside folders", {"clutter"}, {"clutter/a.wav"});
        row("at or below __MACOSX yields nothing", {"ziparchive/__MACOSX/inner"}, {});
        row("dropped ._ file is taken", {"clutter/._a.wav"}, {"clutter/._a.wav"});
        row("dropped missing media path is taken", {"nowhere/ghost.wav"}, {"nowhere/ghost.wav"});
        row("dropped non-media file is not", {"kinds/notes.txt", "kinds/clip"}, {});
        row("media set", {"kinds"}, {"kinds/CLIP.MOV", "kinds/movie.mkv"});
        row("audio set", {"kinds"}, {"kinds/song.ogg", "kinds/voice.Opus"}, true);
        // The extension is what follows the last dot, in a folder and when dropped alike.
        row("names with several dots in a folder", {"dots"}, {"dots/take.2.final.wav"}, true);
        row("names with several dots dropped", {"dots/take.2.final.wav", "dots/take.wav.txt"},
            {"dots/take.2.final.wav"}, true);
        row("folder and a file inside it give the file once", {"clutter", "clutter/a.wav", "clutter/a.wav"},
            {"clutter/a.wav"});
        row("packages are not entered", {"packages"}, {"packages/plain.folder/d.wav", "packages/e.wav"});
        row("a dropped package is searched", {"packages/Show.app"}, {"packages/Show.app/Contents/Resources/intro.wav"});
        row("links: file taken, folders, loops and dangling skipped", {"links"},
            {"links/linked.wav", "links/sub/deeper/z.wav"});
        row("natural order", {"natural"},
            {"natural/take1.wav", "natural/Take2.wav", "natural/take10.wav", "natural/track 2 - a.wav",
             "natural/track 2 - b.wav", "natural/x100.wav"});
        row("equal names keep the order given", {"same/d2/X.wav", "same/d1/x.wav"}, {"same/d2/X.wav", "same/d1/x.wav"});
        row("a folder with a media name is searched", {"folderext"}, {"folderext/inside.wav/take.wav"});
        row("a dot in a folder name is no extension", {"folderext/inside.wav/notes"}, {});
        row("unicode names", {"unicode"},
            {"unicode/♪ song.flac", "unicode/ábaco.wav", "unicode/apple.wav", "unicode/élan.wav", "unicode/Zebra.wav"});
        row("nested folders", {"tree"}, {"tree/a/1.wav", "tree/b/2.wav", "tree/a/sub/3.wav"});
        row("only media from a mixed folder", {"mixed"}, {"mixed/a.wav", "mixed/sub/b.MOV"});
        row("pipes and devices are never taken", {"special"}, {"special/real.wav"});
        row("dropped pipes and devices are refused",
            {"special/pipe.wav", "special/to-pipe.wav", "special/zero.wav", "special/real.wav"}, {"special/real.wav"});
    }

    // File systems that report no entry types must give the same result as those that do.
    void collectWithoutEntryTypes_data() { collect_data(); }
    void collectWithoutEntryTypes()
    {
        MediaScanner::setIgnoreEntryTypesForTesting(true);
        const auto restore = qScopeGuard([] { MediaScanner::setIgnoreEntryTypesForTesting(false); });
        collect();
    }
    void collect()
    {
        QFETCH(QStringList, given);
        QFETCH(bool, audioSet);
        QFETCH(QStringList, expected);
        QStringList paths;
        for (const QString &relative : given)
            paths << at(relative);
        QStringList found;
        const auto &set = audioSet ? MediaScanner::audioExtensions() : MediaScanner::mediaExtensions();
        for (const QString &path : MediaScanner::collect(paths, set))
            found << path.mid(m_dir.path().size() + 1);
        QCOMPARE(found, expected);
    }
};

HOPLIN_TEST_MAIN(TestMediaScanner)
#include "tst_mediascanner.moc"
