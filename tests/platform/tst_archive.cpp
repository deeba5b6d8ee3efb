#include "TestSupport.h"
#include "platform/Archive.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTest>
#include <archive.h>
#include <archive_entry.h>

using namespace hoplin;

namespace {

struct Entry {
    QString name;
    QByteArray data;
    mode_t type = AE_IFREG;
    QString link; // symlink target, or hard-link source
    bool hardLink = false;
};

bool writeZip(const QString &path, const QList<Entry> &entries, bool tar = false)
{
    archive *writer = archive_write_new();
    if (tar) {
        archive_write_set_format_pax_restricted(writer);
        archive_write_add_filter_gzip(writer);
    } else {
        archive_write_set_format_zip(writer);
    }
    if (archive_write_open_filename(writer, QFile::encodeName(path).constData()) != ARCHIVE_OK)
        return false;
    for (const Entry &e : entries) {
        archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.toUtf8().constData());
        archive_entry_set_filetype(entry, e.type);
        archive_entry_set_perm(entry, 0755);
        if (e.type == AE_IFLNK)
            archive_entry_set_symlink(entry, e.link.toUtf8().constData());
        if (e.hardLink)
            archive_entry_set_hardlink(entry, e.link.toUtf8().constData());
        archive_entry_set_size(entry, e.type == AE_IFREG && !e.hardLink ? e.data.size() : 0);
        archive_write_header(writer, entry);
        if (e.type == AE_IFREG && !e.hardLink)
            archive_write_data(writer, e.data.constData(), size_t(e.data.size()));
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    return true;
}

QStringList filesUnder(const QString &root)
{
    QStringList found;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << QDir(root).relativeFilePath(it.next());
    found.sort();
    return found;
}

} // namespace

Q_DECLARE_METATYPE(Entry)

class TestArchive : public QObject {
    Q_OBJECT
private slots:
    void hostileEntriesAreRefused_data()
    {
        QTest::addColumn<QList<Entry>>("entries");
        // Our own reason, not libarchive's: it refuses some of these too, and must not be all we rely on.
        QTest::addColumn<QString>("reason");
        QTest::newRow("dot-dot path") << QList<Entry>{{"../evil", "x"}} << "entry outside the folder: ../evil";
        QTest::newRow("nested dot-dot") << QList<Entry>{{"a/../../evil", "x"}} << "entry outside the folder: a/../../evil";
        QTest::newRow("absolute path") << QList<Entry>{{"/tmp/hoplin-archive-test-evil", "x"}} << "entry outside the folder: /tmp/hoplin-archive-test-evil";
        QTest::newRow("symlink outside") << QList<Entry>{{"link", {}, AE_IFLNK, "../outside"}} << "link leaving the folder: link";
        QTest::newRow("absolute symlink") << QList<Entry>{{"link", {}, AE_IFLNK, "/etc"}} << "link leaving the folder: link";
        QTest::newRow("write through a symlink") << QList<Entry>{{"d", {}, AE_IFLNK, "."}, {"d/../../evil", "x"}} << "entry outside the folder: d/../../evil";
        QTest::newRow("hard link") << QList<Entry>{{"a", "x"}, {"b", {}, AE_IFREG, "/etc/passwd", true}} << "hard link: b";
        QTest::newRow("fifo") << QList<Entry>{{"pipe", {}, AE_IFIFO}} << "special file: pipe";
    }
    void hostileEntriesAreRefused()
    {
        QFETCH(QList<Entry>, entries);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString archive = dir.filePath("a.tar.gz");
        QVERIFY(writeZip(archive, entries, true));
        QDir().mkpath(dir.filePath("box/x"));
        const ExtractResult result = extractArchive(archive, dir.filePath("box/x"));
        QVERIFY(!result.ok);
        QCOMPARE(result.error, reason);
        // Nothing landed beside the target folder or at the absolute path.
        QCOMPARE(filesUnder(dir.filePath("box")), filesUnder(dir.filePath("box")).filter(QRegularExpression("^x")));
        QVERIFY(!QFile::exists(dir.filePath("evil")));
        QVERIFY(!QFile::exists(dir.filePath("box/evil")));
        QVERIFY(!QFile::exists("/tmp/hoplin-archive-test-evil"));
    }

    void wholeArchiveRefused()
    {
        QTemporaryDir dir;
        const QString archive = dir.filePath("a.zip");
        QVERIFY(writeZip(archive, {{"a", QByteArray(4096, 'a')}, {"b", QByteArray(4096, 'b')}}));
        // The limits count what is written.
        QCOMPARE(extractArchive(archive, dir.path(), {.maxEntries = 1}).error, "too many entries");
        QCOMPARE(extractArchive(archive, dir.path(), {.maxEntries = 10, .maxBytes = 6000}).error,
                 "archive larger than allowed");
        const QString garbage = test::writeFile(dir.filePath("b.zip"), "this is not a zip file at all");
        QVERIFY(!extractArchive(garbage, dir.path()).ok);
    }
};

HOPLIN_TEST_MAIN(TestArchive)
#include "tst_archive.moc"
