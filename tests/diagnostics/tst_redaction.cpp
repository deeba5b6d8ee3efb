// Secrets that reach the log inside bodies: the key a refusal echoes, tokens in JSON fields.
#include "TestSupport.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"

#include <QTest>

using namespace hoplin;

class TestRedaction : public QObject {
    Q_OBJECT

private slots:
    void init() { DiagnosticsLogger::clearSecrets(); }

    void bodies_data()
    {
        QTest::addColumn<QStringList>("secrets"); // set in order into one slot
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("stored");
        const QStringList key{"sk-live-4f9a77"};
        QTest::newRow("key echoed by a 422")
            << key << "422 {\"detail\":[{\"input\":\"sk-live-4f9a77\",\"msg\":\"bad\"}]}"
            << "422 {\"detail\":[{\"input\":\"[redacted]\",\"msg\":\"bad\"}]}";
        QTest::newRow("key inside a word, twice") << key << "x-sk-live-4f9a77-y sk-live-4f9a77"
                                                  << "x-[redacted]-y [redacted]";
        QTest::newRow("previous value still covered")
            << QStringList{"first-token-1", "second-token-2"} << "late first-token-1 and second-token-2"
            << "late [redacted] and [redacted]";
        QTest::newRow("only two values are kept")
            << QStringList{"first-token-1", "second-token-2", "third-token-3"} << "first-token-1"
            << "first-token-1";
        QTest::newRow("short values are never secrets") << QStringList{"abc"} << "abc abc" << "abc abc";
        QTest::newRow("secret-named JSON fields")
            << QStringList{} << "{\"access_token\": \"a.b.c\", \"Refresh_Token\":\"r\\\"q\", \"name\":\"kept\"}"
            << "{\"access_token\": \"[redacted]\", \"Refresh_Token\":\"[redacted]\", \"name\":\"kept\"}";
        QTest::newRow("non-string secret field left as it is")
            << QStringList{} << "{\"token\": null, \"key\": 12}" << "{\"token\": null, \"key\": 12}";
        QTest::newRow("query redaction still applies after")
            << key << "GET /x?token=abc&q=sk-live-4f9a77" << "GET /x?token=[redacted]&q=[redacted]";
        QTest::newRow("a secret at the cut leaves no prefix behind")
            << key << QString(4090, u'a') + "sk-live-4f9a77"
            << QString(4090, u'a') + "[redac" + QChar(0x2026);
    }
    void bodies()
    {
        QFETCH(QStringList, secrets);
        QFETCH(QString, message);
        QFETCH(QString, stored);
        for (const QString &secret : secrets)
            DiagnosticsLogger::setSecret("slot", secret);
        QCOMPARE(DiagnosticsLogger::redact(message), stored);
    }

    void refusedKeyNeverReachesTheLog()
    {
        Settings::shared().setValue(keys::hoplinDiag, true);
        test::LocalServer server;
        QVERIFY(server.start());
        Settings::shared().setValue(keys::baseURL, server.url().toString());
        const QString key = "wrong-key-8d2c41";
        server.fault("POST /v1/auth/activate", 422,
                     "{\"detail\":[{\"type\":\"value_error\",\"input\":\"wrong-key-8d2c41\"}]}");
        SessionStore store;
        test::runTask(store.connect(key));
        QCOMPARE(store.state().kind(), ConnectionState::Kind::Failed);
        // The refusal shows up in the log, the key does not.
        DiagnosticsLogger::shared().flush();
        const QString all = DiagnosticsLogger::shared().bufferSnapshot().join("");
        QVERIFY(all.contains("422"));
        QVERIFY(!all.contains(key));
    }
};

HOPLIN_TEST_MAIN(TestRedaction)
#include "tst_redaction.moc"
