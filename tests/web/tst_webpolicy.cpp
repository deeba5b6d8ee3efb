#include "TestSupport.h"
#include "platform/Settings.h"
#include "version.h"
#include "web/WebPolicy.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace hoplin;

namespace {

void touch(const QString &path, qint64 size = 1)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.resize(size));
}

QStringList names(const QList<QUrl> &files, const QString &root)
{
    QStringList out;
    for (const QUrl &file : files)
        out << QDir(root).relativeFilePath(file.toLocalFile());
    return out;
}

} // namespace

class TestWebPolicy : public QObject {
    Q_OBJECT
private slots:
    void init() { Settings::shared().setValue(QString::fromLatin1(keys::baseURL), QStringLiteral("http://127.0.0.1:4567")); }

    void approvedPages_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("page");
        QTest::addColumn<bool>("sender");
        const QString base = QStringLiteral("http://127.0.0.1:4567");
        QTest::newRow("service page") << base << "http://127.0.0.1:4567/correction" << true << true;
        QTest::newRow("other port") << base << "http://127.0.0.1:4568/correction" << false << false;
        QTest::newRow("other scheme") << "http://hoplin.example:4567" << "https://hoplin.example:4567/correction" << false
                                      << false;
        QTest::newRow("other host") << base << "http://localhost:4567/correction" << false << false;
        QTest::newRow("lookalike host") << base << "http://127.0.0.1.evil.example:4567/" << false << false;
        QTest::newRow("built-in origin") << base << "BUILTIN/cinema" << true << true;
        QTest::newRow("built-in host over https") << base << "https://127.0.0.1:4568/cinema" << false << false;
        QTest::newRow("local file: shown, never a sender") << base << "file:///tmp/page.html" << true << false;
        QTest::newRow("both without port") << "https://hoplin.example" << "https://hoplin.example/x" << true << true;
        QTest::newRow("explicit default port differs") << "https://hoplin.example" << "https://hoplin.example:443/x"
                                                       << false << false;
        QTest::newRow("data page") << base << "data:text/html,hi" << false << false;
    }
    void approvedPages()
    {
        QFETCH(QString, base);
        QFETCH(QString, url);
        QFETCH(bool, page);
        QFETCH(bool, sender);
        Settings::shared().setValue(QString::fromLatin1(keys::baseURL), base);
        url.replace(QStringLiteral("BUILTIN"), QLatin1String(version::kServiceOrigin));
        QCOMPARE(web::isApprovedPage(QUrl(url)), page);
        QCOMPARE(web::isApprovedSecurityOrigin(QUrl(url)), sender);
    }

    void inertAddresses_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("inert");
        QTest::newRow("empty") << QString() << true;
        QTest::newRow("about:blank") << "about:blank" << true;
        QTest::newRow("about:srcdoc") << "about:srcdoc" << true;
        QTest::newRow("about:config") << "about:config" << false;
        QTest::newRow("own blob") << "blob:http://127.0.0.1:4567/0a1b" << true;
        QTest::newRow("foreign blob") << "blob:http://evil.example/0a1b" << false;
        QTest::newRow("javascript") << "javascript:alert(1)" << false;
    }
    void inertAddresses()
    {
        QFETCH(QString, url);
        QFETCH(bool, inert);
        QCOMPARE(web::isInertAddress(QUrl(url)), inert);
    }

    void expectedOrigin()
    {
        QCOMPARE(web::expectedOrigin(), QStringLiteral("http://127.0.0.1:4567"));
        Settings::shared().setValue(QString::fromLatin1(keys::baseURL), QStringLiteral("https://hoplin.example/api/"));
        QCOMPARE(web::expectedOrigin(), QStringLiteral("https://hoplin.example"));
    }

    void downloadDestination_data()
    {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("suggested");
        QTest::addColumn<QString>("expected");
        QTest::newRow("free") << QStringList() << "report.pdf" << "report.pdf";
        QTest::newRow("two taken") << QStringList{"report.pdf", "report (1).pdf"} << "report.pdf" << "report (2).pdf";
        QTest::newRow("gap is reused") << QStringList{"report.pdf", "report (2).pdf"} << "report.pdf" << "report (1).pdf";
        QTest::newRow("no extension") << QStringList{"notes"} << "notes" << "notes (1)";
        QTest::newRow("two dots") << QStringList{"a.tar.gz"} << "a.tar.gz" << "a.tar (1).gz";
        QTest::newRow("path in name") << QStringList() << "../../etc/passwd" << "passwd";
        QTest::newRow("backslash path") << QStringList() << "..\\..\\evil.exe" << "evil.exe";
        QTest::newRow("empty") << QStringList() << "" << "download";
        QTest::newRow("dot-dot only") << QStringList{"download"} << ".." << "download (1)";
    }
    void downloadDestination()
    {
        QFETCH(QStringList, existing);
        QFETCH(QString, suggested);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        for (const QString &name : existing)
            touch(dir.filePath(name));
        QCOMPARE(web::downloadDestination(dir.path(), suggested), dir.filePath(expected));
        QVERIFY(web::downloadDestination(QString(), suggested).isEmpty());
    }

    void expandToFiles()
    {
        QTemporaryDir dir;
        const QString root = dir.path();
        touch(root + "/album/.DS_Store");
        touch(root + "/album/__MACOSX/._one.wav");
        touch(root + "/album/__MACOSX/kept.wav");
        touch(root + "/album/._two.wav");
        touch(root + "/album/one.wav");
        touch(root + "/album/sub/two.wav");
        touch(root + "/album/.hidden/three.wav");
        touch(root + "/single.mxf");
        QVERIFY(QFile::link(root + "/album/one.wav", root + "/album/link.wav"));

        const QList<QUrl> dropped = {QUrl::fromLocalFile(root + "/single.mxf"), QUrl::fromLocalFile(root + "/album"),
                                     QUrl::fromLocalFile(root + "/missing.wav"),
                                     QUrl::fromLocalFile(root + "/album/one.wav")};
        QStringList got = names(web::expandToFiles(dropped), root);
        QCOMPARE(got.first(), QStringLiteral("single.mxf"));
        got.sort();
        // The "__MACOSX" folder is walked into; only its "._" files are left out.
        QCOMPARE(got, (QStringList{"album/__MACOSX/kept.wav", "album/one.wav", "album/sub/two.wav", "single.mxf"}));
        // The walk stops at the limit and later items are not looked at.
        QCOMPARE(names(web::expandToFiles(dropped.mid(1, 2) << dropped.first(), 2), root).size(), 2);
    }

    void bridgeFits_data()
    {
        QTest::addColumn<QList<qint64>>("sizes");
        QTest::addColumn<bool>("fits");
        QTest::newRow("exactly the limit") << QList<qint64>{web::kBridgeLimitBytes - 10, 10} << true;
        QTest::newRow("one byte over") << QList<qint64>{web::kBridgeLimitBytes - 10, 11} << false;
        QTest::newRow("missing counts as zero") << QList<qint64>{-1, web::kBridgeLimitBytes} << true;
    }
    void bridgeFits()
    {
        QFETCH(QList<qint64>, sizes);
        QFETCH(bool, fits);
        QTemporaryDir dir;
        QList<QUrl> files;
        for (int i = 0; i < sizes.size(); ++i) {
            const QString path = dir.filePath(QString::number(i));
            if (sizes[i] >= 0)
                touch(path, sizes[i]); // sparse: no disk space needed
            files << QUrl::fromLocalFile(path);
        }
        QCOMPARE(web::bridgeFits(files), fits);
    }

    void textForPages_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("escaped");
        QTest::newRow("line break") << "a\nb" << "a\\nb";
        QTest::newRow("line and paragraph separators") << QString::fromUtf16(u"a\u2028b\u2029c") << "a\\u2028b\\u2029c";
    }
    void textForPages()
    {
        QFETCH(QString, input);
        QFETCH(QString, escaped);
        QCOMPARE(web::escapeSingleQuoted(input), escaped);
    }

    void clipPageLog()
    {
        QCOMPARE(web::clipPageLog(QString(2048, 'x')), QString(2048, 'x'));
        QCOMPARE(web::clipPageLog(QString(5000, 'x')), QString(2048, 'x') + QStringLiteral("…"));
    }

    void readerSlicesJoinIntoOneBase64()
    {
        QTemporaryDir dir;
        QByteArray bytes;
        for (qint64 i = 0; i < 2 * web::Base64Reader::kSliceBytes + 5; ++i)
            bytes.append(char(i * 31));
        web::Base64Reader reader(test::writeFile(dir.filePath("a.wav"), bytes));
        QVERIFY(reader.isOpen());
        QCOMPARE(reader.encodedSize(), bytes.toBase64().size());
        QByteArray joined;
        int slices = 0;
        for (std::optional<QByteArray> slice; (slice = reader.nextSlice()) && !slice->isEmpty(); ++slices)
            joined += *slice;
        QCOMPARE(slices, 3);
        QCOMPARE(joined, bytes.toBase64());
        web::Base64Reader missing(dir.filePath("missing"));
        QVERIFY(!missing.isOpen());
        QVERIFY(!missing.nextStagingScript());
    }
};

HOPLIN_TEST_MAIN(TestWebPolicy)
#include "tst_webpolicy.moc"
