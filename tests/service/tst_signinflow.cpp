#include "TestSupport.h"
#include "platform/Settings.h"
#include "service/APIClient.h"
#include "service/SessionStore.h"

#include <QTest>

using namespace hoplin;
using namespace std::chrono_literals;

namespace {

constexpr auto kOtherKey = "other-key";
const QString kUsageRoute = QStringLiteral("POST /v1/usage/convert");

// Starts a coroutine without waiting; `done` turns true when it ends.
QCoro::Task<> track(QCoro::Task<> task, bool *done)
{
    co_await std::move(task);
    *done = true;
}

} // namespace

// The session store against a service that answers late, rejects tokens or never answers: one
// sign-in at a time, sign-out that does not wait, usage that survives a dead token.
class TestSignInFlow : public QObject {
    Q_OBJECT

    test::LocalServer m_server;

    void signIn(SessionStore &store, const QString &key = QString::fromLatin1(test::LocalServer::demoKey))
    {
        test::runTask(store.connect(key));
        QVERIFY(store.state().isConnected());
    }

    // Makes one report fail for good while signed in: its token dies and the refresh fails, which
    // signs the store out.
    void queueWithDeadToken(SessionStore &store, const QString &filename)
    {
        m_server.expireTokens();
        m_server.fault(QStringLiteral("POST /v1/auth/refresh"), 500);
        QVERIFY(!test::runTask(store.reportUsage(store.accessToken(), "h264-mp4", 1, 1000, filename)));
        QCOMPARE(store.state(), ConnectionState::disconnected());
        QCOMPARE(store.pendingUsageCount(), 1);
    }

    QStringList deliveredFiles()
    {
        QStringList files;
        for (const QJsonValue &report : m_server.usage())
            files << report["filename"].toString();
        return files;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start({QStringLiteral("--key"), QStringLiteral("hoplin-demo-key=demo-client"),
                                QStringLiteral("--key"), QStringLiteral("%1=other-client").arg(kOtherKey)}));
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
        Settings::shared().setValue(keys::hoplinDiag, true);
    }
    void init() { m_server.reset(); }

    void queuedUsageReachesTheServiceAfterSigningInAgain_data()
    {
        QTest::addColumn<bool>("signOutFirst");
        QTest::newRow("after a failed refresh") << false;
        QTest::newRow("after sign-out and sign-in") << true;
    }
    void queuedUsageReachesTheServiceAfterSigningInAgain()
    {
        QFETCH(bool, signOutFirst);
        SessionStore store;
        signIn(store);
        if (signOutFirst) {
            m_server.fault(kUsageRoute, 500);
            QVERIFY(!test::runTask(store.reportUsage(store.accessToken(), "h264-mp4", 1, 1000, "a.mov")));
            test::runTask(store.signOut()); // the entry's token dies with the session
        } else {
            queueWithDeadToken(store, "a.mov");
        }
        QCOMPARE(store.pendingUsageCount(), 1);

        signIn(store);
        QCOMPARE(store.pendingUsageCount(), 0);
        QCOMPARE(deliveredFiles(), QStringList{"a.mov"});
        QCOMPARE(m_server.usage().first()["client_id"].toString(), store.state().clientId());
    }

    void anotherClientsReportStaysQueued()
    {
        SessionStore store;
        signIn(store);
        queueWithDeadToken(store, "theirs.mov");

        signIn(store, QString::fromLatin1(kOtherKey));
        QCOMPARE(store.state().clientId(), QStringLiteral("other-client"));
        QCOMPARE(store.pendingUsageCount(), 1);
        QVERIFY(m_server.usage().isEmpty());
        // A report of the other client rejected now is not refreshed nor sent with its token.
        const QString otherToken = store.accessToken();
        QCOMPARE(store.pendingUsage().first().clientId, QStringLiteral("demo-client"));
        for (const QJsonValue &request : m_server.requests()) {
            if (request["path"].toString() == "/v1/usage/convert")
                QVERIFY(request["headers"]["authorization"].toString() != "Bearer " + otherToken);
        }
    }

    void signOutForgetsAtOnceAndTellsTheServiceLater()
    {
        SessionStore store;
        signIn(store);
        const Session held = *store.session();
        m_server.delay(QStringLiteral("POST /v1/auth/logout"), 1500);
        bool done = false;
        auto signingOut = track(store.signOut(), &done);
        QCOMPARE(store.state(), ConnectionState::disconnected());
        QVERIFY(!store.session());
        QVERIFY(!done);
        QVERIFY(test::waitUntil([&] { return done; }));
        // The service heard of it with the tokens held before.
        const QJsonArray requests = m_server.requests();
        QCOMPARE(requests.last()["path"].toString(), QStringLiteral("/v1/auth/logout"));
        QCOMPARE(requests.last()["headers"]["authorization"].toString(), "Bearer " + held.accessToken);
        QVERIFY(requests.last()["body"].toString().contains(held.refreshToken));
        QCOMPARE(test::httpCall("POST", m_server.url("/v1/auth/refresh"),
                                "{\"refresh_token\":\"" + held.refreshToken.toUtf8() + "\"}")
                     .status,
                 401);
    }

    void requestsForTheSameKeyJoinOneSignIn()
    {
        SessionStore store;
        m_server.delay(QStringLiteral("POST /v1/auth/activate"), 300);
        bool a = false, b = false, c = false;
        auto first = track(store.connect(test::LocalServer::demoKey), &a);
        auto second = track(store.connect(test::LocalServer::demoKey), &b);
        auto third = track(store.connect(test::LocalServer::demoKey), &c);
        QVERIFY(test::waitUntil([&] { return a && b && c; }));
        QVERIFY(store.state().isConnected());
        QCOMPARE(m_server.count(QStringLiteral("POST /v1/auth/activate")), 1);
    }

    void laterSignInOvertakesAnEarlierOne()
    {
        SessionStore store;
        m_server.delay(QStringLiteral("POST /v1/auth/activate"), 500); // only the first is slow
        bool first = false;
        auto slow = track(store.connect(test::LocalServer::demoKey), &first);
        signIn(store, QString::fromLatin1(kOtherKey));
        const QString token = store.accessToken();
        QVERIFY(test::waitUntil([&] { return first; }));
        QCOMPARE(store.state(), ConnectionState::connected(QStringLiteral("other-client")));
        QCOMPARE(store.accessToken(), token);
        // The overtaken sign-in's session is not left alive on the service.
        QVERIFY(test::waitUntil([&] { return m_server.count(QStringLiteral("POST /v1/auth/logout")) == 1; }));
    }

    void signInDropsAStaleRefresh()
    {
        SessionStore store;
        signIn(store);
        m_server.delay(QStringLiteral("POST /v1/auth/refresh"), 500);
        bool refreshed = false;
        auto refreshing = [](SessionStore *s, bool *done) -> QCoro::Task<> {
            co_await s->refreshSession();
            *done = true;
        }(&store, &refreshed);
        signIn(store);
        const QString current = store.accessToken();
        QVERIFY(test::waitUntil([&] { return refreshed; }));
        QCOMPARE(store.accessToken(), current);
        QVERIFY(store.state().isConnected());
    }

    void signOutDuringVerificationAppliesNothing_data()
    {
        QTest::addColumn<int>("presetStatus");
        QTest::newRow("presets arrive") << 0;
        QTest::newRow("token rejected") << 401;
    }
    void signOutDuringVerificationAppliesNothing()
    {
        QFETCH(int, presetStatus);
        SessionStore store;
        QJsonObject slowAnswer{{"route", "GET /v1/presets"}, {"delay_ms", 400}};
        if (presetStatus != 0)
            slowAnswer.insert("status", presetStatus);
        m_server.faultRaw(slowAnswer);
        bool done = false;
        auto connecting = track(store.connect(test::LocalServer::demoKey), &done);
        QVERIFY(test::waitUntil([&] { return store.session().has_value(); }));
        store.disconnect();
        QVERIFY(test::waitUntil([&] { return done; }));
        QCOMPARE(store.state(), ConnectionState::disconnected());
        QVERIFY(store.presets().isEmpty());
    }
};

HOPLIN_TEST_MAIN(TestSignInFlow)
#include "tst_signinflow.moc"
