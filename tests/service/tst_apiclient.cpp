#include "TestSupport.h"
#include "platform/Settings.h"
#include "service/APIClient.h"
#include "version.h"

#include <QTest>

using namespace hoplin;
using namespace std::chrono_literals;

class TestAPIClient : public QObject {
    Q_OBJECT

    test::LocalServer m_server;

    Session signIn() { return test::runTask(APIClient::activate(test::LocalServer::demoKey)); }

    template <typename T> QString failure(QCoro::Task<T> task)
    {
        try {
            test::runTask(std::move(task));
        } catch (const Error &error) {
            return error.description();
        }
        return QStringLiteral("(no error)");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
    }
    void init()
    {
        m_server.reset();
        APIClient::setRequestTimeoutForTesting(10s);
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
    }

    // A configured base that is no http(s) URL with a host falls back to the built-in origin;
    // paths join it with exactly one slash.
    void endpointOnTheConfiguredBase_data()
    {
        QTest::addColumn<QString>("configured");
        QTest::addColumn<QString>("expected"); // for "/v1/presets"
        const QString builtIn = QString::fromLatin1(version::kServiceOrigin) + "/v1/presets";
        QTest::newRow("origin") << "https://a.test"
                                << "https://a.test/v1/presets";
        QTest::newRow("prefix path, trailing slash") << "https://svc.example.test/api/"
                                                     << "https://svc.example.test/api/v1/presets";
        QTest::newRow("no scheme") << "svc.example.test/api" << builtIn;
        QTest::newRow("other scheme with a host") << "file://svc.example.test/etc" << builtIn;
    }
    void endpointOnTheConfiguredBase()
    {
        QFETCH(QString, configured);
        QFETCH(QString, expected);
        Settings::shared().setValue(keys::baseURL, configured);
        QCOMPARE(APIClient::endpoint("/v1/presets").toString(), expected);
    }

    void activateAndFetchPresets()
    {
        const Session session = signIn();
        QVERIFY(!session.accessToken.isEmpty());
        QCOMPARE(session.clientId, QStringLiteral("demo-client"));
        const PresetsPayload payload = test::runTask(APIClient::fetchPresets(session.accessToken));
        QVERIFY(!payload.presets.isEmpty());
        const QJsonObject sent = m_server.requests().last().toObject();
        QCOMPARE(sent.value("headers").toObject().value("authorization").toString(), "Bearer " + session.accessToken);
    }

    // What a bad key path says is tst_records' business; here only how each answer is judged.
    void judgedAnswers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("500 empty body") << 500 << QByteArray() << "Server error 500: ";
        QTest::newRow("403 with text") << 403 << QByteArray("blocked") << "Server error 403: blocked";
        QTest::newRow("200 not JSON") << 200 << QByteArray("<html>")
                                      << "Unexpected response: the data is not valid JSON (illegal value at offset 1)";
        QTest::newRow("201 is not 200") << 201 << QByteArray("{}") << "Server error 201: {}";
    }
    void judgedAnswers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        m_server.fault("POST /v1/auth/activate", status, body);
        QCOMPARE(failure(APIClient::activate(test::LocalServer::demoKey)), expected);
    }

    void logoutVerdicts_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("done");
        QTest::newRow("200") << 200 << true;
        QTest::newRow("401") << 401 << true;
        QTest::newRow("404") << 404 << true;
        QTest::newRow("500") << 500 << false;
        QTest::newRow("403") << 403 << false;
        QTest::newRow("no answer in time") << 0 << false;
    }
    void logoutVerdicts()
    {
        QFETCH(int, status);
        QFETCH(bool, done);
        const Session session = signIn();
        if (status == 0) {
            APIClient::setRequestTimeoutForTesting(300ms);
            m_server.delay("POST /v1/auth/logout", 2000);
        } else {
            m_server.fault("POST /v1/auth/logout", status);
        }
        QCOMPARE(test::runTask(APIClient::logout(session.accessToken, session.refreshToken)), done);
    }

    // A job the service no longer knows counts as cancelled.
    void cancelJobVerdicts()
    {
        const Session session = signIn();
        test::runTask(APIClient::cancelJob("job-1", session.accessToken));
        m_server.fault("POST /v1/jobs/*/cancel", 202);
        test::runTask(APIClient::cancelJob("job-2", session.accessToken));
        m_server.fault("POST /v1/jobs/*/cancel", 409, "conflict body");
        QCOMPARE(failure(APIClient::cancelJob("job-3", session.accessToken)),
                 QStringLiteral("Server error 409: Job cancel failed."));
    }
};

HOPLIN_TEST_MAIN(TestAPIClient)
#include "tst_apiclient.moc"
