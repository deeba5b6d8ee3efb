#include "TestSupport.h"
#include "analysis/AnalysisAPI.h"
#include "platform/Settings.h"
#include "service/APIClient.h"

#include <QFile>
#include <QNetworkProxy>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace hoplin;
using namespace std::chrono_literals;

namespace {

// How a call ended: the class of error it threw and the error's text.
struct Outcome {
    QString kind; // "ok", "transport", "api" or "other"
    QString text;
};

template <typename T> Outcome outcomeOf(QCoro::Task<T> task)
{
    try {
        test::runTask(std::move(task), 20s);
        return {QStringLiteral("ok"), {}};
    } catch (const TransportError &error) {
        return {QStringLiteral("transport"), error.description()};
    } catch (const APIError &error) {
        return {QStringLiteral("api"), error.description()};
    } catch (const std::exception &error) {
        return {QStringLiteral("other"), QString::fromUtf8(error.what())};
    }
}

// The route each call takes, for the server's faults.
const QHash<QString, QString> kRoutes{
    {QStringLiteral("presets"), QStringLiteral("GET /v1/presets")},
    {QStringLiteral("cancel"), QStringLiteral("POST /v1/jobs/*/cancel")},
    {QStringLiteral("report"), QStringLiteral("GET /v1/jobs/*/download/report")},
    {QStringLiteral("upload"), QStringLiteral("POST /v1/uploads")},
};

} // namespace

// Servers that misbehave on purpose: transfers cut short or stalled, redirects to another origin,
// logouts with a dead access token. One row per way a call reaches the network: the service
// client's own requests, the analysis calls and the streamed upload.
class TestConnectionFaults : public QObject {
    Q_OBJECT

    test::LocalServer m_server;
    test::LocalServer m_other; // a second origin: nothing of ours may ever reach it
    QTemporaryDir m_files;
    QString m_token;

    // Runs one service call by name with the bearer token of the current sign-in.
    Outcome call(const QString &name)
    {
        if (name == u"presets")
            return outcomeOf(APIClient::fetchPresets(m_token));
        if (name == u"cancel")
            return outcomeOf(APIClient::cancelJob(QStringLiteral("job-1"), m_token));
        if (name == u"report")
            return outcomeOf(APIClient::downloadReport(QStringLiteral("job-1"), m_token));
        if (name == u"upload") {
            const QString path = m_files.filePath(QStringLiteral("take.wav"));
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray(4096, 'x')) != 4096)
                qFatal("cannot write %s", qPrintable(path));
            file.close();
            return outcomeOf(APIClient::uploadAudio(path, m_token));
        }
        qFatal("unknown call %s", qPrintable(name));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_files.isValid());
        QVERIFY(m_server.start());
        QVERIFY(m_other.start());
        QVERIFY(m_server.url().port() != m_other.url().port());
        Settings::shared().setValue(keys::hoplinDiag, true);
    }
    void init()
    {
        m_server.reset();
        m_other.reset();
        APIClient::setRequestTimeoutForTesting(10s);
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
        m_token = test::runTask(APIClient::activate(test::LocalServer::demoKey)).accessToken;
    }
    void cleanupTestCase() { APIClient::setRequestTimeoutForTesting(60s); }

    void brokenTransfersAreTransportErrors_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("cutAfter");
        QTest::addColumn<int>("stallMs");
        QTest::addColumn<QString>("expected"); // the error text, when it is ours

        QTest::newRow("presets cut short") << "presets" << 200 << 11 << 0 << "";
        QTest::newRow("presets stalled after headers") << "presets" << 200 << 0 << 3000 << "The request timed out.";
        QTest::newRow("report stalled mid-body") << "report" << 200 << 11 << 3000 << "The request timed out.";
        QTest::newRow("cancel accepted but cut short") << "cancel" << 202 << 3 << 0 << "";
        QTest::newRow("error answer cut short") << "presets" << 500 << 4 << 0 << "";
        QTest::newRow("upload answer cut short") << "upload" << 200 << 11 << 0
                                                 << "The connection closed before the whole answer arrived.";
    }
    void brokenTransfersAreTransportErrors()
    {
        QFETCH(QString, name);
        QFETCH(int, status);
        QFETCH(int, cutAfter);
        QFETCH(int, stallMs);
        QFETCH(QString, expected);
        if (stallMs > 0)
            APIClient::setRequestTimeoutForTesting(400ms);
        // A JSON object of exactly 100 bytes: the headers promise all of it.
        const QByteArray body = "{\"detail\":\"" + QByteArray(100 - 13, 'r') + "\"}";
        // Qt may resend an idempotent request once after an early close: every attempt breaks.
        m_server.faultRaw({{"route", kRoutes[name]},
                           {"status", status},
                           {"body", QString::fromLatin1(body)},
                           {"cut_after", cutAfter},
                           {"stall_ms", stallMs},
                           {"count", 3}});
        const Outcome outcome = call(name);
        QCOMPARE(outcome.kind, QStringLiteral("transport"));
        if (!expected.isEmpty())
            QCOMPARE(outcome.text, expected);
        QVERIFY(!outcome.text.startsWith(QStringLiteral("Unexpected response")));
        QVERIFY(!outcome.text.startsWith(QStringLiteral("Server error")));
    }

    void noBearerTokenToAnotherOrigin_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("otherHost"); // else another port of the same host
        QTest::newRow("presets 301") << "presets" << 301 << false;
        QTest::newRow("presets 303, other host") << "presets" << 303 << true;
        QTest::newRow("cancel 308") << "cancel" << 308 << false;
        QTest::newRow("report 302") << "report" << 302 << false;
        QTest::newRow("upload 307") << "upload" << 307 << false;
    }
    void noBearerTokenToAnotherOrigin()
    {
        QFETCH(QString, name);
        QFETCH(int, status);
        QFETCH(bool, otherHost);
        QUrl target = m_other.url(QStringLiteral("/v1/presets"));
        if (otherHost) {
            target.setHost(QStringLiteral("localhost"));
            target.setPort(m_server.url().port());
        }
        m_server.faultRaw({{"route", kRoutes[name]}, {"status", status}, {"location", target.toString()}});
        const Outcome outcome = call(name);
        QCOMPARE(outcome.kind, QStringLiteral("transport"));
        QVERIFY2(outcome.text.contains(QStringLiteral("redirect")) && outcome.text.contains(target.authority()),
                 qPrintable(outcome.text));
        QCOMPARE(m_other.requests().size(), 0);
    }

    void sameOriginRedirectIsFollowed_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("status");
        QTest::newRow("presets 302") << "presets" << 302;
        // The body is sent again from its start: a resend from where the first one stopped is no
        // multipart body, and the service refuses it.
        QTest::newRow("upload 307") << "upload" << 307;
        QTest::newRow("upload 308") << "upload" << 308;
    }
    void sameOriginRedirectIsFollowed()
    {
        QFETCH(QString, name);
        QFETCH(int, status);
        const QString path = kRoutes[name].section(u' ', 1);
        m_server.faultRaw({{"route", kRoutes[name]}, {"status", status}, {"location", path}});
        const Outcome outcome = call(name);
        QCOMPARE(outcome.kind + outcome.text, QStringLiteral("ok"));
        // The redirected request went back to the service, still signed.
        const QJsonArray requests = m_server.requests();
        QCOMPARE(requests.last()["path"].toString(), path);
        QCOMPARE(requests.last()["headers"]["authorization"].toString(), "Bearer " + m_token);
        QCOMPARE(m_other.requests().size(), 0);
    }

    void anEndlessUploadAnswerIsCutOff()
    {
        m_server.faultRaw({{"route", kRoutes["upload"]}, {"status", 200}, {"fill_bytes", 256 << 20}});
        const Outcome outcome = call(QStringLiteral("upload"));
        QCOMPARE(outcome.kind + ": " + outcome.text,
                 QStringLiteral("transport: The service's answer was larger than expected."));
    }

    // The upload has a network stack of its own; it must still go where the application's go.
    // (Qt never proxies a loopback address, so the service has a name only the proxy knows.)
    void theUploadTakesTheApplicationsProxy()
    {
        Settings::shared().setValue(keys::baseURL, QStringLiteral("http://service.invalid"));
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), quint16(m_other.url().port())));
        const auto direct = qScopeGuard([] { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); });
        const Outcome outcome = call(QStringLiteral("upload"));
        QVERIFY2(outcome.text.startsWith(QStringLiteral("Server error 404")), qPrintable(outcome.text));
        const QJsonArray asked = m_other.requests();
        QCOMPARE(asked.size(), 1);
        QCOMPARE(asked[0]["path"].toString(), QStringLiteral("http://service.invalid/v1/uploads"));
    }

    // A live token's logout is the server suite's; an expired one must still end the session.
    void logoutWithAnExpiredAccessTokenRevokes()
    {
        const Session session = test::runTask(APIClient::activate(test::LocalServer::demoKey));
        m_server.expireTokens();
        QVERIFY(test::runTask(APIClient::logout(session.accessToken, session.refreshToken)));
        const QByteArray refresh = "{\"refresh_token\":\"" + session.refreshToken.toUtf8() + "\"}";
        QCOMPARE(test::httpCall("POST", m_server.url("/v1/auth/refresh"), refresh).status, 401);
    }
};

HOPLIN_TEST_MAIN(TestConnectionFaults)
#include "tst_connectionfaults.moc"
