#include "TestSupport.h"
#include "platform/Settings.h"
#include "service/APIClient.h"
#include "service/SessionStore.h"

#include <QJsonDocument>
#include <QTest>

using namespace hoplin;
using namespace std::chrono_literals;

namespace {
const QString kRoute = QStringLiteral("POST /v1/usage/convert");
const Session kOther{"other-access", "other-refresh", "i", "c", ""};

QString sessionJson(const Session &session)
{
    return QString::fromUtf8(QJsonDocument(session.toJson()).toJson(QJsonDocument::Compact));
}
} // namespace

class TestSessionStore : public QObject {
    Q_OBJECT

    test::LocalServer m_server;

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
    }
    void init() { m_server.reset(); }

    void blankKeyFailsAtOnceOtherKeysGoAsTyped_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("sent");
        QTest::newRow("empty") << "" << false;
        QTest::newRow("tabs and spaces") << "\t  \t" << false;
        // Only spaces and tabs are blank; the service judges everything else byte for byte.
        QTest::newRow("line break") << "\n" << true;
        QTest::newRow("leading space") << " hoplin-demo-key" << true;
    }
    void blankKeyFailsAtOnceOtherKeysGoAsTyped()
    {
        QFETCH(QString, key);
        QFETCH(bool, sent);
        SessionStore store;
        QList<ConnectionState> states;
        QObject::connect(&store, &SessionStore::stateChanged, [&] { states << store.state(); });
        test::runTask(store.connect(key));
        QVERIFY(!store.session());
        QCOMPARE(m_server.count("POST /v1/auth/activate"), sent ? 1 : 0);
        if (!sent) {
            QCOMPARE(states, QList<ConnectionState>{ConnectionState::failed("Enter your client key first.")});
            return;
        }
        QVERIFY(store.state().message().startsWith("Server error 401: "));
        const QJsonObject body =
            QJsonDocument::fromJson(m_server.requests().last()["body"].toString().toUtf8()).object();
        QCOMPARE(body.value("api_key").toString(), key);
    }

    void signInChecksTheSessionWithThePresets_data()
    {
        QTest::addColumn<int>("presetStatus");
        QTest::addColumn<QString>("failure"); // empty: connected
        QTest::addColumn<bool>("unavailable");
        QTest::newRow("accepted") << 0 << "" << false;
        QTest::newRow("403 rejects") << 403 << "The server rejected this session — check your client key." << false;
        QTest::newRow("500 connects without scripts") << 500 << "" << true;
    }
    void signInChecksTheSessionWithThePresets()
    {
        QFETCH(int, presetStatus);
        QFETCH(QString, failure);
        QFETCH(bool, unavailable);
        if (presetStatus)
            m_server.fault("GET /v1/presets", presetStatus);
        SessionStore store;
        test::runTask(store.connect(test::LocalServer::demoKey));
        QCOMPARE(store.state(), failure.isEmpty() ? ConnectionState::connected(QStringLiteral("demo-client"))
                                                  : ConnectionState::failed(failure));
        QCOMPARE(store.scriptsUnavailable(), unavailable);
        QCOMPARE(!store.presets().isEmpty(), presetStatus == 0);
        QCOMPARE(store.session().has_value(), failure.isEmpty());
    }

    void concurrentRejectedReportsShareOneRefresh()
    {
        SessionStore store;
        test::signIn(store);
        const QString firstToken = store.accessToken();
        m_server.expireTokens();
        m_server.delay("POST /v1/auth/refresh", 300);
        QList<bool> results;
        auto all = [](SessionStore *s, QList<bool> *out) -> QCoro::Task<> {
            auto a = test::reportUsage(*s, "a.mov");
            auto b = test::reportUsage(*s, "b.mov");
            auto c = test::reportUsage(*s, "c.mov");
            *out << co_await std::move(a) << co_await std::move(b) << co_await std::move(c);
        };
        test::runTask(all(&store, &results));
        QCOMPARE(results, QList<bool>({true, true, true}));
        QCOMPARE(m_server.count("POST /v1/auth/refresh"), 1);
        QVERIFY(store.accessToken() != firstToken);
        QCOMPARE(m_server.usage().size(), 3);
        QCOMPARE(store.pendingUsageCount(), 0);
    }

    void reportQueuedDuringRetryPassSurvives()
    {
        SessionStore store;
        test::signIn(store);
        m_server.fault(kRoute, 500);
        QVERIFY(!test::runTask(test::reportUsage(store, "first.mov")));
        QCOMPARE(store.pendingUsageCount(), 1);

        m_server.delay(kRoute, 500); // holds the retry of "first.mov"
        bool finished = false;
        auto connecting = test::track(store.connect(test::LocalServer::demoKey), &finished);
        QVERIFY(test::waitUntil([&] { return store.state().isConnected(); }));
        m_server.fault(kRoute, 500);
        QVERIFY(!test::runTask(test::reportUsage(store, "second.mov")));
        QVERIFY(test::waitUntil([&] { return finished; }));
        QCOMPARE(store.pendingUsageCount(), 1);
        QCOMPARE(store.pendingUsage().first().filename, QStringLiteral("second.mov"));
        QCOMPARE(m_server.usage().size(), 1);
        QCOMPARE(m_server.usage().first().toObject().value("filename").toString(), QStringLiteral("first.mov"));
    }

    // A page may hold only a refresh token; the session id is never taken from it.
    void parseWebSessionNeedsOneToken()
    {
        QVERIFY(!SessionStore::parseWebSession(R"({"client_id":"c","session_id":"s"})"));
        const auto session = SessionStore::parseWebSession(R"({"refresh_token":"r","session_id":"s"})");
        QVERIFY(session);
        QCOMPARE(session->sessionId, QString());
    }

    // What the web page posts: "ours" and "other" stand for an envelope removing that session,
    // "fresh" for one carrying a session just activated; anything else is posted as it is.
    void webMessages_data()
    {
        QTest::addColumn<QVariant>("body");
        QTest::addColumn<bool>("signedInBefore");
        QTest::addColumn<bool>("signedInAfter");
        QTest::newRow("removed: our session") << QVariant("ours") << true << false;
        QTest::newRow("removed: another session") << QVariant("other") << true << true;
        QTest::newRow("null while signed in") << QVariant("null") << true << false;
        QTest::newRow("not a string") << QVariant(42) << true << true;
        QTest::newRow("object without envelope keys") << QVariant(R"({"x":1})") << true << false;
        QTest::newRow("new session from the page") << QVariant("fresh") << false << true;
        QTest::newRow("rejected session from the page") << QVariant(sessionJson(kOther)) << false << false;
    }
    void webMessages()
    {
        QFETCH(QVariant, body);
        QFETCH(bool, signedInBefore);
        QFETCH(bool, signedInAfter);
        SessionStore store;
        if (signedInBefore)
            test::signIn(store);
        auto envelope = [](const QString &added, const QString &removed) {
            return QString::fromUtf8(QJsonDocument(QJsonObject{{"v", added}, {"p", removed}}).toJson());
        };
        if (body == "ours")
            body = envelope("", *store.webSessionPayload());
        else if (body == "other")
            body = envelope("", sessionJson(kOther));
        else if (body == "fresh")
            body = envelope(sessionJson(test::runTask(APIClient::activate(test::LocalServer::demoKey))), "");
        test::runTask(store.handleWebUpdate(body));
        QCOMPARE(store.state().isConnected(), signedInAfter);
        QCOMPARE(store.session().has_value(), signedInAfter);
    }
};

HOPLIN_TEST_MAIN(TestSessionStore)
#include "tst_sessionstore.moc"
