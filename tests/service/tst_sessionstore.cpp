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
        QTest::addColumn<int>("expectedKind");
        QTest::addColumn<QString>("expectedMessage");
        QTest::addColumn<bool>("unavailable");
        QTest::addColumn<bool>("hasPresets");
        QTest::newRow("accepted") << 0 << int(ConnectionState::Kind::Connected) << "" << false << true;
        QTest::newRow("403 rejects") << 403 << int(ConnectionState::Kind::Failed)
                                     << "The server rejected this session — check your client key." << false << false;
        QTest::newRow("500 connects without scripts")
            << 500 << int(ConnectionState::Kind::Connected) << "" << true << false;
    }
    void signInChecksTheSessionWithThePresets()
    {
        QFETCH(int, presetStatus);
        QFETCH(int, expectedKind);
        QFETCH(QString, expectedMessage);
        QFETCH(bool, unavailable);
        QFETCH(bool, hasPresets);
        if (presetStatus)
            m_server.fault("GET /v1/presets", presetStatus);
        SessionStore store;
        test::runTask(store.connect(test::LocalServer::demoKey));
        QCOMPARE(int(store.state().kind()), expectedKind);
        QCOMPARE(store.state().message(), expectedMessage);
        QCOMPARE(store.scriptsUnavailable(), unavailable);
        QCOMPARE(!store.presets().isEmpty(), hasPresets);
        QCOMPARE(store.session().has_value(), expectedKind == int(ConnectionState::Kind::Connected));
        if (store.state().isConnected())
            QCOMPARE(store.state().clientId(), QStringLiteral("demo-client"));
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

    void parseWebSession_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("parsed");
        QTest::newRow("not an object") << "[1]" << false;
        QTest::newRow("no tokens") << R"({"client_id":"c"})" << false;
        QTest::newRow("refresh token only") << R"({"refresh_token":"r"})" << true;
        QTest::newRow("full") << R"({"access_token":"a","refresh_token":"r","client_id":"c","session_id":"s"})" << true;
    }
    void parseWebSession()
    {
        QFETCH(QString, text);
        QFETCH(bool, parsed);
        const auto session = SessionStore::parseWebSession(text);
        QCOMPARE(session.has_value(), parsed);
        if (session)
            QCOMPARE(session->sessionId, QString()); // never taken from the page
    }

    void webMessages_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("signedInBefore");
        QTest::addColumn<bool>("signedInAfter");
        QTest::newRow("removed: our session") << "removed-ours" << true << false;
        QTest::newRow("removed: another session") << "removed-other" << true << true;
        QTest::newRow("null while signed in") << "null" << true << false;
        QTest::newRow("not a string") << "number" << true << true;
        QTest::newRow("object without envelope keys") << "bare-object" << true << false;
        QTest::newRow("new session from the page") << "new-session" << false << true;
        QTest::newRow("rejected session from the page") << "bad-session" << false << false;
    }
    void webMessages()
    {
        QFETCH(QString, kind);
        QFETCH(bool, signedInBefore);
        QFETCH(bool, signedInAfter);
        SessionStore store;
        if (signedInBefore)
            test::signIn(store);
        const Session other{"other-access", "other-refresh", "i", "c", ""};
        QVariant body;
        if (kind == "removed-ours") {
            body = QString::fromUtf8(QJsonDocument(QJsonObject{{"v", ""}, {"p", *store.webSessionPayload()}}).toJson());
        } else if (kind == "removed-other") {
            body = QString::fromUtf8(QJsonDocument(QJsonObject{{"v", ""}, {"p", sessionJson(other)}}).toJson());
        } else if (kind == "null") {
            body = QStringLiteral("null");
        } else if (kind == "number") {
            body = 42;
        } else if (kind == "bare-object") {
            body = QStringLiteral(R"({"x":1})");
        } else if (kind == "new-session") {
            const Session fresh = test::runTask(APIClient::activate(test::LocalServer::demoKey));
            body = QString::fromUtf8(
                QJsonDocument(QJsonObject{{"v", sessionJson(fresh)}, {"p", ""}}).toJson(QJsonDocument::Compact));
        } else if (kind == "bad-session") {
            body = sessionJson(other);
        }
        test::runTask(store.handleWebUpdate(body));
        QCOMPARE(store.state().isConnected(), signedInAfter);
        QCOMPARE(store.session().has_value(), signedInAfter);
    }
};

HOPLIN_TEST_MAIN(TestSessionStore)
#include "tst_sessionstore.moc"
