#include "TestSupport.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <cstdio>

using namespace hoplin;

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
        m_echo = fopen(qPrintable(m_dir->filePath("echo")), "w+");
        setLogging(true);
        DiagnosticsLogger::clearSecrets();
    }
    void cleanup()
    {
        fclose(m_echo);
        m_echo = nullptr;
    }

    // Query parameters by name, then known secret values (set in order into one slot) and
    // secret-named JSON string fields wherever they appear; then the length cap.
    void redaction_data()
    {
        QTest::addColumn<QStringList>("secrets");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("expected");
        const QStringList none;
        QTest::newRow("sensitive and plain") << none << "GET /v1/items?token=abc&Page=2"
                                             << "GET /v1/items?token=[redacted]&Page=2";
        QTest::newRow("trailing words belong to last parameter") << none << "load /x?key=abc done"
                                                                 << "load /x?key=[redacted]";
        QTest::newRow("name without value") << none << "x?password&ok=1"
                                            << "x?password=[redacted]&ok=1";
        QTest::newRow("all twelve names")
            << none
            << "?token=1&key=1&apikey=1&api_key=1&access_token=1&refresh_token=1&session_id=1&client_key=1&"
               "signature=1&sig=1&password=1&AUTHORIZATION=1&tokens=1"
            << "?token=[redacted]&key=[redacted]&apikey=[redacted]&api_key=[redacted]&access_token=[redacted]&"
               "refresh_token=[redacted]&session_id=[redacted]&client_key=[redacted]&signature=[redacted]&"
               "sig=[redacted]&password=[redacted]&authorization=[redacted]&tokens=1";
        const QStringList key{"sk-live-4f9a77"};
        QTest::newRow("key inside a word, twice") << key << "x-sk-live-4f9a77-y sk-live-4f9a77"
                                                  << "x-[redacted]-y [redacted]";
        QTest::newRow("a secret inside another is replaced whole")
            << QStringList{"sk-live-4f9a77-extended", "sk-live-4f9a77"} << "sk-live-4f9a77-extended"
            << "[redacted]";
        QTest::newRow("the two latest values are covered")
            << QStringList{"first-token-1", "second-token-2", "third-token-3"}
            << "first-token-1 second-token-2 third-token-3" << "first-token-1 [redacted] [redacted]";
        QTest::newRow("too short to be a secret") << QStringList{"token"} << "a token" << "a token";
        QTest::newRow("secret-named JSON fields")
            << none << "{\"access_token\": \"a.b.c\", \"Refresh_Token\":\"r\\\"q\", \"name\":\"kept\"}"
            << "{\"access_token\": \"[redacted]\", \"Refresh_Token\":\"[redacted]\", \"name\":\"kept\"}";
        QTest::newRow("query redaction still applies after") << key << "GET /x?token=abc&q=sk-live-4f9a77"
                                                             << "GET /x?token=[redacted]&q=[redacted]";
        QTest::newRow("a secret at the cut leaves no prefix behind")
            << key << QString(4090, u'a') + "sk-live-4f9a77" << QString(4090, u'a') + "[redac" + QChar(0x2026);
        // Long lines are cut at 4096 user-perceived characters: a flag is four UTF-16 units but one.
        const QString flag = "\U0001F1E9\U0001F1EA";
        QTest::newRow("5000 ascii cut") << none << QString(5000, u'a') << QString(4096, u'a') + QChar(0x2026);
        QTest::newRow("exactly 4096 kept") << none << QString(4096, u'a') << QString(4096, u'a');
        QTest::newRow("5000 flags cut") << none << flag.repeated(5000) << flag.repeated(4096) + QChar(0x2026);
    }
    void redaction()
    {
        QFETCH(QStringList, secrets);
        QFETCH(QString, message);
        QFETCH(QString, expected);
        for (const QString &secret : secrets)
            DiagnosticsLogger::setSecret("slot", secret);
        QCOMPARE(DiagnosticsLogger::redact(message), expected);
    }

    // The session store hands the key it sends to the logger before the refusal comes back.
    void refusedKeyNeverReachesTheLog()
    {
        test::LocalServer server;
        QVERIFY(server.start());
        Settings::shared().setValue(keys::baseURL, server.url().toString());
        const QString key = "wrong-key-8d2c41";
        server.fault("POST /v1/auth/activate", 422, "{\"detail\":[{\"input\":\"wrong-key-8d2c41\"}]}");
        SessionStore store;
        test::runTask(store.connect(key));
        QCOMPARE(store.state().kind(), ConnectionState::Kind::Failed);
        DiagnosticsLogger::shared().flush();
        const QString all = DiagnosticsLogger::shared().bufferSnapshot().join("");
        QVERIFY(all.contains("422"));
        QVERIFY(!all.contains(key));
    }

    // Each line goes to the buffer, the file and the echo. Switched off, the logger records
    // nothing more but a final line, which reaches the file and the echo only.
    void lineFormatSinksAndSwitchingOff()
    {
        auto logger = makeLogger();
        logger->startIfEnabled();
        logger->startIfEnabled(); // a second start writes no second session line
        logger->log("api", "GET /x?page=2&token=abc");
        logger->flush();
        const QStringList buffer = logger->bufferSnapshot();
        QCOMPARE(buffer.size(), 2);
        QVERIFY(buffer[0].contains("[diagnostics] session started — " + DiagnosticsLogger::environmentLine()));
        static const QRegularExpression shape(
            R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[api\] GET /x\?page=2&token=\[redacted\]\n$)");
        QVERIFY2(shape.match(buffer[1]).hasMatch(), qPrintable(buffer[1]));
        const QByteArray written = buffer.join(QString()).toUtf8();
        QCOMPARE(test::contents(logger->logFilePath()), written);

        setLogging(false);
        logger->log("app", "not recorded");
        logger->finalLog("diagnostics", "logging switched off");
        logger->flush();
        QCOMPARE(logger->bufferSnapshot(), buffer);
        const QByteArray file = test::contents(logger->logFilePath());
        QVERIFY(file.startsWith(written));
        QVERIFY(!file.contains("not recorded"));
        QVERIFY(file.endsWith("[diagnostics] logging switched off\n"));
        fflush(m_echo);
        QCOMPARE(test::contents(m_dir->filePath("echo")), file);
    }

    // Two older generations, rotated at start and while writing; the buffer keeps the newest lines.
    void rotationAndBufferLimit()
    {
        auto logger = makeLogger();
        test::writeFile(logger->logFilePath(), QByteArray(DiagnosticsLogger::rotationBytes, 'x'));
        test::writeFile(logger->logFilePath() + ".1", "oldest\n");
        logger->startIfEnabled();
        logger->flush();
        QCOMPARE(test::contents(logger->logFilePath() + ".2"), QByteArray("oldest\n"));
        for (int i = 0; i <= DiagnosticsLogger::bufferLimit; ++i)
            logger->log("app", QString::number(i) + QString(300, u'y'));
        logger->flush();
        QCOMPARE(QFileInfo(logger->logFilePath() + ".2").size(), DiagnosticsLogger::rotationBytes);
        const QStringList buffer = logger->bufferSnapshot();
        QCOMPARE(buffer.size(), DiagnosticsLogger::bufferLimit);
        QVERIFY(buffer.first().contains("] 1yyy"));
    }

    // The earlier session comes from the newest older generation that is text.
    void exportBothSessions()
    {
        auto logger = makeLogger();
        test::writeFile(logger->logFilePath() + ".1", QByteArray("\xff\xfe broken \xc3", 12));
        test::writeFile(logger->logFilePath() + ".2", "older session line\n");
        logger->startIfEnabled();
        logger->log("app", "hello");
        const QString path = m_dir->path() + "/export.txt";
        QVERIFY(logger->exportTXT(path));
        const QString text = QString::fromUtf8(test::contents(path));
        QVERIFY(text.contains("older session line\n"));
        QVERIFY(!text.contains("broken"));
        QVERIFY(text.contains("[app] hello"));
        QVERIFY(!logger->exportTXT(m_dir->path() + "/missing-folder/export.txt"));
    }
};

HOPLIN_TEST_MAIN(TestDiagnosticsLogger)
#include "tst_diagnosticslogger.moc"
