// Drives the real hoplin-server binary over loopback, the way the app and its test fixture do.
#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

using namespace hoplin;

namespace {

constexpr auto kDemoKey = test::LocalServer::demoKey;

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

class ServerTest : public QObject {
    Q_OBJECT

    test::LocalServer m_server;

    test::HttpResult call(const QByteArray &method, const QString &path, const QByteArray &body = {},
                          const QByteArray &token = {}, const QList<QPair<QByteArray, QByteArray>> &headers = {})
    {
        return test::httpCall(method, m_server.url(path), body, token, headers);
    }
    QJsonObject activateDemo(const QString &label = QStringLiteral("test machine"))
    {
        const auto reply =
            call("POST", "/v1/auth/activate", json({{"api_key", kDemoKey}, {"installation_label", label}}));
        if (reply.status != 200)
            qWarning("activation failed: %d %s", reply.status, reply.body.constData());
        return reply.json().toObject();
    }
    QByteArray accessToken(const QJsonObject &session) { return session.value("access_token").toString().toUtf8(); }
    test::HttpResult refresh(const QJsonObject &session)
    {
        return call("POST", "/v1/auth/refresh", json({{"refresh_token", session.value("refresh_token")}}));
    }
    int presetsStatus(const QJsonObject &session)
    {
        return call("GET", "/v1/presets", {}, accessToken(session)).status;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start({"--key", "hoplin-demo-key=demo-client", "--key", "partner-key=acme"}));
    }
    void init() { m_server.reset(); }

    // Without --admin the admin routes do not exist; SIGTERM ends the server cleanly.
    void adminRoutesNeedFlagAndTermEndsCleanly()
    {
        QProcess plain;
        plain.start(QStringLiteral(HOPLIN_SERVER_BIN), {"--port", "0", "--quiet"});
        QVERIFY(plain.waitForStarted() && test::waitUntil([&] { return plain.canReadLine(); }));
        const QUrl origin(QString::fromUtf8(plain.readLine()).trimmed());
        QCOMPARE(test::httpCall("POST", origin.resolved(QUrl("/__admin/reset"))).status, 404);
        plain.terminate();
        QVERIFY(plain.waitForFinished(10000));
        QCOMPARE(plain.exitStatus(), QProcess::NormalExit);
        QCOMPARE(plain.exitCode(), 0);
    }

    void activate_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("clientId");
        const QByteArray ct = "application/json";
        auto key = [](const QString &k) { return json({{"api_key", k}, {"installation_label", "box"}}); };
        QTest::newRow("demo key") << key(kDemoKey) << ct << 200 << "demo-client";
        QTest::newRow("extra key with client id") << key("partner-key") << ct << 200 << "acme";
        QTest::newRow("charset parameter")
            << key(kDemoKey) << QByteArray("application/json; charset=utf-8") << 200 << "demo-client";
        QTest::newRow("unknown key") << key("nope") << ct << 401 << "";
        QTest::newRow("surrounding spaces") << key(" hoplin-demo-key ") << ct << 401 << "";
        QTest::newRow("key not a string") << QByteArray(R"({"api_key": 5})") << ct << 400 << "";
        QTest::newRow("empty body") << QByteArray() << ct << 400 << "";
        QTest::newRow("not json content type") << key(kDemoKey) << QByteArray("text/plain") << 415 << "";
        const auto padded = [](int n) { return json({{"api_key", kDemoKey}, {"installation_label", QString(n, 'x')}}); };
        QTest::newRow("just under 1 MiB") << padded(1024 * 1024 - 100) << ct << 200 << "demo-client";
        QTest::newRow("just over 1 MiB") << padded(1024 * 1024) << ct << 413 << "";
    }
    void activate()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, contentType);
        QFETCH(int, status);
        QFETCH(QString, clientId);
        const auto reply = call("POST", "/v1/auth/activate", body, {}, {{"Content-Type", contentType}});
        QCOMPARE(reply.status, status);
        const QJsonObject object = reply.json().toObject();
        QCOMPARE(call("GET", "/health").status, 200); // the connection stays usable after a refusal
        if (status != 200) {
            QVERIFY(!object.value("detail").toString().isEmpty());
            return;
        }
        for (const char *field : {"access_token", "refresh_token", "installation_id", "session_id"})
            QVERIFY2(!object.value(field).toString().isEmpty(), field);
        QCOMPARE(object.value("client_id").toString(), clientId);
        QCOMPARE(presetsStatus(object), 200);
    }

    // An expired access token is renewed with the refresh token, which is spent by it.
    void refreshRotatesTokens()
    {
        const QJsonObject first = activateDemo();
        m_server.expireTokens();
        QCOMPARE(presetsStatus(first), 401);
        const auto rotated = refresh(first);
        QCOMPARE(rotated.status, 200);
        const QJsonObject second = rotated.json().toObject();
        for (const char *same : {"session_id", "installation_id", "client_id"})
            QCOMPARE(second.value(same), first.value(same));
        QCOMPARE(refresh(first).status, 401);
        QCOMPARE(presetsStatus(second), 200);
    }

    // A client signing in again and again keeps its newest 100 sessions, the oldest going first;
    // a session refreshed again and again keeps its newest 4 access tokens.
    void sessionsStayBounded()
    {
        QList<QJsonObject> sessions;
        for (int i = 0; i < 101; ++i)
            sessions << activateDemo();
        QCOMPARE(presetsStatus(sessions[0]), 401);
        for (int i = 0; i < 4; ++i)
            sessions << refresh(sessions.last()).json().toObject();
        QCOMPARE(presetsStatus(sessions[100]), 401);
        QCOMPARE(presetsStatus(sessions[101]), 200);
    }

    // Calls the service turns away, with a reason, recording no usage. A live session exists, so an
    // unknown token is refused for being unknown, not because there are none.
    void refused_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("authorization"); // "session": the live session's bearer token
        QTest::addColumn<int>("status");
        const QByteArray session = "session", unknown = "Bearer 0123456789abcdef0123456789abcdef";
        QTest::newRow("unknown route") << QByteArray("GET") << "/v1/nothing" << QByteArray() << session << 404;
        QTest::newRow("wrong method") << QByteArray("GET") << "/v1/auth/activate" << QByteArray() << session << 404;
        QTest::newRow("empty job id") << QByteArray("POST") << "/v1/jobs//cancel" << QByteArray("{}") << session << 404;
        QTest::newRow("refresh: unknown token")
            << QByteArray("POST") << "/v1/auth/refresh" << json({{"refresh_token", "0123456789abcdef0123456789abcdef"}})
            << QByteArray() << 401;
        QTest::newRow("refresh: token not a string")
            << QByteArray("POST") << "/v1/auth/refresh" << QByteArray(R"({"refresh_token": 7})") << QByteArray() << 400;
        QTest::newRow("presets: no header")
            << QByteArray("GET") << "/v1/presets" << QByteArray() << QByteArray() << 401;
        QTest::newRow("presets: unknown token") << QByteArray("GET") << "/v1/presets" << QByteArray() << unknown << 401;

        const QJsonObject good{
            {"process_key", "m4a-aac-256"}, {"file_count", 1}, {"input_bytes", 10}, {"filename", "a.wav"}};
        auto usage = [&](const char *key, const QJsonValue &value) {
            QJsonObject report = good;
            if (value.isUndefined())
                report.remove(key);
            else
                report.insert(key, value);
            return json(report);
        };
        const QByteArray post = "POST";
        const QString path = "/v1/usage/convert";
        QTest::newRow("usage: missing process_key")
            << post << path << usage("process_key", QJsonValue::Undefined) << session << 400;
        QTest::newRow("usage: file_count as string") << post << path << usage("file_count", "1") << session << 400;
        QTest::newRow("usage: file_count fractional") << post << path << usage("file_count", 1.5) << session << 400;
        QTest::newRow("usage: input_bytes negative") << post << path << usage("input_bytes", -1) << session << 400;
        QTest::newRow("usage: malformed") << post << path << QByteArray(R"({"process_key": "x",)") << session << 400;
    }
    void refused()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, authorization);
        QFETCH(int, status);
        const QByteArray bearer = "Bearer " + accessToken(activateDemo());
        QList<QPair<QByteArray, QByteArray>> headers;
        if (!authorization.isEmpty())
            headers.append({"Authorization", authorization == "session" ? bearer : authorization});
        const auto reply = call(method, path, body, {}, headers);
        QCOMPARE(reply.status, status);
        QVERIFY(!reply.json()["detail"].toString().isEmpty());
        QCOMPARE(m_server.usage().size(), 0);
    }

    void cancelJobs()
    {
        const QByteArray token = accessToken(activateDemo());
        QCOMPARE(m_server.adminCall("POST", "jobs", json({{"id", "job-1"}})).status, 200);
        QCOMPARE(m_server.adminCall("POST", "jobs", json({{"id", "job-acme"}, {"client_id", "acme"}})).status, 200);

        QCOMPARE(call("POST", "/v1/jobs/job-1/cancel", "{}").status, 401);
        QCOMPARE(call("POST", "/v1/jobs/missing/cancel", "{}", token).status, 404);
        QCOMPARE(call("POST", "/v1/jobs/job-acme/cancel", "{}", token).status, 404); // another client's
        QCOMPARE(call("POST", "/v1/jobs/job-1/cancel", {}, token).status, 200);

        QCOMPARE(m_server.cancels(), (QJsonArray{"missing", "job-acme", "job-1"}));
        for (const QJsonValue &job : m_server.adminCall("GET", "jobs").json().toArray()) {
            const QString expected = job.toObject().value("id") == "job-1" ? "cancelled" : "running";
            QCOMPARE(job.toObject().value("status").toString(), expected);
        }
    }
};

HOPLIN_TEST_MAIN(ServerTest)
#include "tst_server.moc"
