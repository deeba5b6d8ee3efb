#include "TestSupport.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <cstdio>

using namespace hoplin;

namespace {
QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray readEcho(FILE *echo)
{
    fflush(echo);
    rewind(echo);
    QByteArray bytes;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, echo)) > 0)
        bytes.append(chunk, qsizetype(n));
    return bytes;
}

const QString kSessionStarted = QStringLiteral("session started — ");
} // namespace

class TestDiagnosticsLogger : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    FILE *m_echo = nullptr;

    std::unique_ptr<DiagnosticsLogger> makeLogger()
    {
        return std::make_unique<DiagnosticsLogger>(m_dir->path() + QStringLiteral("/Logs"), m_echo);
    }
    void setLogging(bool on) { Settings::shared().setValue(keys::hoplinDiag, on); }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_echo = tmpfile();
        setLogging(true);
    }
    void cleanup()
    {
        fclose(m_echo);
        m_echo = nullptr;
    }

    void redaction_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("expected");
        QTest::newRow("sensitive and plain") << "GET /v1/items?token=abc&Page=2"
                                             << "GET /v1/items?token=[redacted]&Page=2";
        QTest::newRow("name lower-cased") << "open ?Token=abc"
                                          << "open ?token=[redacted]";
        QTest::newRow("empty pieces dropped") << "a?x=1&&y=2"
                                              << "a?x=1&y=2";
        QTest::newRow("bare question mark") << "a?"
                                            << "a?";
        QTest::newRow("no query") << "plain message"
                                  << "plain message";
        QTest::newRow("trailing words belong to last parameter") << "load /x?key=abc done"
                                                                 << "load /x?key=[redacted]";
        QTest::newRow("name without value") << "x?password&ok=1"
                                            << "x?password=[redacted]&ok=1";
        QTest::newRow("all twelve names")
            << "?token=1&key=1&apikey=1&api_key=1&access_token=1&refresh_token=1&session_id=1&client_key=1&"
               "signature=1&sig=1&password=1&AUTHORIZATION=1&tokens=1"
            << "?token=[redacted]&key=[redacted]&apikey=[redacted]&api_key=[redacted]&access_token=[redacted]&"
               "refresh_token=[redacted]&session_id=[redacted]&client_key=[redacted]&signature=[redacted]&"
               "sig=[redacted]&password=[redacted]&authorization=[redacted]&tokens=1";
        QTest::newRow("only the first question mark splits") << "a?b=1?token=2"
                                                             << "a?b=1?token=2";
    }
    void redaction()
    {
        QFETCH(QString, message);
        QFETCH(QString, expected);
        QCOMPARE(DiagnosticsLogger::redact(message), expected);
    }

    void truncationCountsUserPerceivedCharacters_data()
    {
        QTest::addColumn<QString>("unit");
        QTest::addColumn<int>("repeat");
        QTest::addColumn<int>("expectedCharacters");
        QTest::addColumn<bool>("ellipsis");
        QTest::newRow("5000 ascii") << "a" << 5000 << 4096 << true;
        QTest::newRow("exactly 4096") << "a" << 4096 << 4096 << false;
        // A flag is two code points (four UTF-16 units) but one character.
        QTest::newRow("3000 flags stay whole") << "\U0001F1E9\U0001F1EA" << 3000 << 3000 << false;
        QTest::newRow("5000 flags") << "\U0001F1E9\U0001F1EA" << 5000 << 4096 << true;
        QTest::newRow("combining marks") << "e\u0301" << 4100 << 4096 << true;
    }
    void truncationCountsUserPerceivedCharacters()
    {
        QFETCH(QString, unit);
        QFETCH(int, repeat);
        QFETCH(int, expectedCharacters);
        QFETCH(bool, ellipsis);
        const QString result = DiagnosticsLogger::redact(unit.repeated(repeat));
        QCOMPARE(result.endsWith(QChar(0x2026)), ellipsis);
        const QString body = ellipsis ? result.chopped(1) : result;
        QCOMPARE(body, unit.repeated(expectedCharacters));
    }

    void lineFormatAndAllThreeSinks()
    {
        auto logger = makeLogger();
        logger->startIfEnabled();
        logger->log("api", "GET /x?page=2&token=abc");
        logger->flush();
        const QStringList buffer = logger->bufferSnapshot();
        QCOMPARE(buffer.size(), 2);
        QVERIFY(buffer[0].contains("[diagnostics] " + kSessionStarted + DiagnosticsLogger::environmentLine()));
        static const QRegularExpression shape(
            R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[api\] GET /x\?page=2&token=\[redacted\]\n$)");
        QVERIFY2(shape.match(buffer[1]).hasMatch(), qPrintable(buffer[1]));
        logger->stop();
        logger->flush();
        QCOMPARE(readFile(logger->logFilePath()), buffer.join(QString()).toUtf8());
        QCOMPARE(readEcho(m_echo), buffer.join(QString()).toUtf8());
    }

    void switchedOffRecordsNothingButFinalLogStillWrites()
    {
        auto logger = makeLogger();
        logger->startIfEnabled();
        logger->flush();
        setLogging(false);
        const QByteArray fileBefore = readFile(logger->logFilePath());
        const int bufferBefore = logger->bufferSnapshot().size();
        logger->log("app", "not recorded");
        logger->finalLog("diagnostics", "logging switched off");
        logger->flush();
        QCOMPARE(logger->bufferSnapshot().size(), bufferBefore);
        const QByteArray file = readFile(logger->logFilePath());
        QVERIFY(file.startsWith(fileBefore));
        QVERIFY(!file.contains("not recorded"));
        QVERIFY(file.endsWith("[diagnostics] logging switched off\n"));
        QVERIFY(readEcho(m_echo).endsWith("[diagnostics] logging switched off\n"));
    }

    void bufferKeepsTheNewest20000Lines()
    {
        auto logger = makeLogger();
        for (int i = 0; i <= DiagnosticsLogger::bufferLimit; ++i)
            logger->log("t", QString::number(i));
        const QStringList buffer = logger->bufferSnapshot();
        QCOMPARE(buffer.size(), DiagnosticsLogger::bufferLimit);
        QVERIFY(buffer.first().endsWith("[t] 1\n"));
        QVERIFY(buffer.last().endsWith(QStringLiteral("[t] %1\n").arg(DiagnosticsLogger::bufferLimit)));
    }

    void rotationKeepsThreeGenerations()
    {
        auto logger = makeLogger();
        QDir().mkpath(logger->logDirectory());
        const QString current = logger->logFilePath();
        writeFile(current + ".1", "generation one\n");
        writeFile(current + ".2", "generation two\n");
        writeFile(current, QByteArray(DiagnosticsLogger::rotationBytes, 'x'));
        logger->startIfEnabled(); // its own line triggers the rotation already
        logger->log("t", "after rotation");
        logger->stop();
        logger->flush();
        QCOMPARE(readFile(current + ".2"), QByteArray("generation one\n"));
        const QByteArray first = readFile(current + ".1");
        QCOMPARE(first.size(), DiagnosticsLogger::rotationBytes);
        const QByteArray fresh = readFile(current);
        QVERIFY(fresh.contains(kSessionStarted.toUtf8()));
        QVERIFY(fresh.endsWith("[t] after rotation\n"));
        QVERIFY(!QFile::exists(current + ".3"));
    }

    void rotationWhileWritingSplitsAtTheLimit()
    {
        auto logger = makeLogger();
        logger->startIfEnabled();
        const QString line(1000, QLatin1Char('y'));
        for (int i = 0; i < 6000; ++i) // a little over 6 MB of lines
            logger->log("t", line);
        logger->stop();
        logger->flush();
        const QString current = logger->logFilePath();
        QVERIFY(QFileInfo(current + ".1").size() >= DiagnosticsLogger::rotationBytes);
        QVERIFY(QFileInfo(current).size() < DiagnosticsLogger::rotationBytes);
        const qint64 total = QFileInfo(current).size() + QFileInfo(current + ".1").size();
        QCOMPARE(total, qint64(readFile(current).size() + readFile(current + ".1").size()));
        QVERIFY(readFile(current).startsWith(QByteArray::number(QDate::currentDate().year())));
    }

    void startingTwiceWritesOneSessionLine()
    {
        auto logger = makeLogger();
        logger->startIfEnabled();
        logger->startIfEnabled();
        logger->flush();
        logger->flush();
        QCOMPARE(readFile(logger->logFilePath()).count(kSessionStarted.toUtf8()), 1);
    }

    void exportWithoutOlderGenerations()
    {
        auto logger = makeLogger();
        logger->startIfEnabled();
        logger->log("app", "hello");
        const QString path = m_dir->path() + "/export.txt";
        QVERIFY(logger->exportTXT(path));
        const QString text = QString::fromUtf8(readFile(path));
        const QStringList lines = text.split('\n');
        static const QRegularExpression header(R"(^Hoplin Log — \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000$)");
        QVERIFY2(header.match(lines[0]).hasMatch(), qPrintable(lines[0]));
        QCOMPARE(lines[1], DiagnosticsLogger::environmentLine());
        QCOMPARE(lines[2], QString(60, '='));
        QCOMPARE(lines[3], QString());
        QCOMPARE(lines[4], QStringLiteral("--- Current session (last 20000 lines, may be truncated) ---"));
        QCOMPARE(lines[5], QString());
        QVERIFY(lines[6].contains(kSessionStarted));
        QVERIFY(lines[7].endsWith("[app] hello"));
        QVERIFY(!text.contains("Earlier session"));
    }

    void exportTakesTailFromSecondGenerationWhenFirstIsNotText()
    {
        auto logger = makeLogger();
        QDir().mkpath(logger->logDirectory());
        writeFile(logger->logFilePath() + ".1", QByteArray("\xff\xfe broken \xc3", 12));
        writeFile(logger->logFilePath() + ".2", "older session line\n");
        logger->log("app", "now");
        const QString path = m_dir->path() + "/export.txt";
        QVERIFY(logger->exportTXT(path));
        const QString text = QString::fromUtf8(readFile(path));
        QVERIFY(text.contains("--- Earlier session (last 5120 KB of previous logs, may be truncated) ---\n\n"
                              "older session line\n\n--- Current session"));
    }

    void exportToUnwritablePlaceFails()
    {
        auto logger = makeLogger();
        QVERIFY(!logger->exportTXT(m_dir->path() + "/missing-folder/export.txt"));
    }

    void environmentLineNamesAppAndPlatform()
    {
        static const QRegularExpression shape(R"(^app=Hoplin Desktop 1\.2\.22 \(25\)  Linux=.+$)");
        QVERIFY2(shape.match(DiagnosticsLogger::environmentLine()).hasMatch(),
                 qPrintable(DiagnosticsLogger::environmentLine()));
    }
};

HOPLIN_TEST_MAIN(TestDiagnosticsLogger)
#include "tst_diagnosticslogger.moc"
