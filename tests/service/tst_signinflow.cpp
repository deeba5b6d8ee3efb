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

} // namespace

// The session store against a service that answers late, rejects tokens or never answers: one
// sign-in at a time, sign-out that does not wait, usage that survives a dead token.
class TestSignInFlow : public QObject {
    Q_OBJECT

    test::LocalServer m_server;

    // Makes one report fail for good while signed in: its token dies and the refresh fails, which
    // signs the store out.
    void queueWithDeadToken(SessionStore &store, const QString &filename)
    {
        m_server.expireTokens();
        m_server.fault(QStringLiteral("POST /v1/auth/refresh"), 500);
        QVERIFY(!test::runTask(test::reportUsage(store, filename)));
        QCOMPARE(store.state(), ConnectionState::disconnected());
        QCOMPARE(store.pendingUsageCount(), 1);
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
        QTest::addColumn<QString>("how");
        QTest::newRow("server error, session kept") << "error";
        QTest::newRow("server error, then sign-out") << "sign-out";
        QTest::newRow("token dead, refresh failed") << "refresh";
    }
    void queuedUsageReachesTheServiceAfterSigningInAgain()
    {
        QFETCH(QString, how);
        const QString name = QStringLiteral("große clip.mov");
        SessionStore store;
        test::signIn(store);
        if (how == "refresh") {
            queueWithDeadToken(store, name);
        } else {
            // The same report failing twice is queued once.
            m_server.fault(kUsageRoute, 500, {}, 2);
            QVERIFY(!test::runTask(test::reportUsage(store, name)));
            QVERIFY(!test::runTask(test::reportUsage(store, name)));
            if (how == "sign-out")
                test::runTask(store.signOut()); // the entry's token dies with the session
        }
        QCOMPARE(store.pendingUsageCount(), 1);

        test::signIn(store);
        QCOMPARE(store.pendingUsageCount(), 0);
        const QJsonArray delivered = m_server.usage();
        QCOMPARE(delivered.size(), 1);
        QCOMPARE(delivered[0]["client_id"].toString(), store.state().clientId());
        QCOMPARE(delivered[0]["input_bytes"].toInteger(), 5000000000);
        QCOMPARE(delivered[0]["filename"].toString(), name);
    }

    void anotherClientsReportStaysQueued()
    {
        SessionStore store;
        test::signIn(store);
        queueWithDeadToken(store, "theirs.mov");

        test::signIn(store, QString::fromLatin1(kOtherKey));
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
        test::signIn(store);
        const Session held = *store.session();
        m_server.delay(QStringLiteral("POST /v1/auth/logout"), 1500);
        bool done = false;
        auto signingOut = test::track(store.signOut(), &done);
        QCOMPARE(store.state(), ConnectionState::disconnected());
        QVERIFY(!store.session());
        QVERIFY(!done);
        QVERIFY(test::waitUntil([&] { return done; }));
        // The service heard of it with the tokens held before.
        const QJsonArray requests = m_server.requests();
        QCOMPARE(requests.last()["path"].toString(), QStringLiteral("/v1/auth/logout"));
        QCOMPARE(requests.last()["headers"]["authorization"].toString(), "Bearer " + held.accessToken);
        QVERIFY(requests.last()["body"].toString().contains(held.refreshToken));
    }

    void laterSignInOvertakesAnEarlierOne()
    {
        SessionStore store;
        m_server.delay(QStringLiteral("POST /v1/auth/activate"), 500); // only the first is slow
        bool first = false;
        auto slow = test::track(store.connect(test::LocalServer::demoKey), &first);
        test::signIn(store, QString::fromLatin1(kOtherKey));
        const QString token = store.accessToken();
        QVERIFY(test::waitUntil([&] { return first; }));
        QCOMPARE(store.state(), ConnectionState::connected(QStringLiteral("other-client")));
        QCOMPARE(store.accessToken(), token);
        // The overtaken sign-in's session is not left alive on the service.
        QVERIFY(test::waitUntil([&] { return m_server.count(QStringLiteral("POST /v1/auth/logout")) == 1; }));

        // The same key again while its sign-in is under way: one activation serves both.
        SessionStore same;
        const int activations = m_server.count(QStringLiteral("POST /v1/auth/activate"));
        bool one = false, two = false;
        auto firstClick = test::track(same.connect(test::LocalServer::demoKey), &one);
        auto secondClick = test::track(same.connect(test::LocalServer::demoKey), &two);
        QVERIFY(test::waitUntil([&] { return one && two; }));
        QVERIFY(same.state().isConnected());
        QCOMPARE(m_server.count(QStringLiteral("POST /v1/auth/activate")), activations + 1);
    }

    void signInDropsAStaleRefresh()
    {
        SessionStore store;
        test::signIn(store);
        m_server.delay(QStringLiteral("POST /v1/auth/refresh"), 500);
        bool refreshed = false;
        auto refreshing = test::track(store.refreshSession(), &refreshed);
        test::signIn(store);
        const QString current = store.accessToken();
        QVERIFY(test::waitUntil([&] { return refreshed; }));
        QCOMPARE(store.accessToken(), current);
        QVERIFY(store.state().isConnected());
    }

    void signOutDuringSignInAppliesNothing_data()
    {
        QTest::addColumn<QString>("slowRoute");
        QTest::addColumn<int>("status"); // 0: answered normally, late
        QTest::newRow("activation") << "POST /v1/auth/activate" << 0;
        QTest::newRow("verification, presets arrive") << "GET /v1/presets" << 0;
        QTest::newRow("verification, token rejected") << "GET /v1/presets" << 401;
    }
    void signOutDuringSignInAppliesNothing()
    {
        QFETCH(QString, slowRoute);
        QFETCH(int, status);
        SessionStore store;
        QJsonObject slowAnswer{{"route", slowRoute}, {"delay_ms", 400}};
        if (status != 0)
            slowAnswer.insert("status", status);
        m_server.faultRaw(slowAnswer);
        bool done = false;
        auto connecting = test::track(store.connect(test::LocalServer::demoKey), &done);
        QCOMPARE(store.state(), ConnectionState::connecting());
        QVERIFY(test::waitUntil([&] { return m_server.count(slowRoute) == 1; }));
        store.disconnect();
        QVERIFY(test::waitUntil([&] { return done; }));
        QCOMPARE(store.state(), ConnectionState::disconnected());
        QVERIFY(!store.session());
        QVERIFY(store.presets().isEmpty());
        // A dropped activation goes no further.
        QCOMPARE(m_server.count("GET /v1/presets"), slowRoute == "GET /v1/presets" ? 1 : 0);
    }
};

HOPLIN_TEST_MAIN(TestSignInFlow)
#include "tst_signinflow.moc"
