// The local service against clients that misbehave: no token, huge bodies, slow connections.
#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>
#include <memory>
#include <vector>

using namespace hoplin;
using namespace std::chrono_literals;

class TestServerHardening : public QObject {
    Q_OBJECT

    test::LocalServer m_server;

private slots:
    void initTestCase() { QVERIFY(m_server.start()); }

    void adminRoutesWantTheToken_data()
    {
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<int>("status");
        QTest::newRow("no token") << QByteArray() << 404;
        QTest::newRow("wrong token") << QByteArray("0123456789abcdef0123456789abcdef") << 404;
        QTest::newRow("a prefix of the token") << QByteArray("first") << 404;
        QTest::newRow("the printed token") << QByteArray("printed") << 200;
    }
    void adminRoutesWantTheToken()
    {
        QFETCH(QByteArray, token);
        QFETCH(int, status);
        if (token == "printed")
            token = m_server.adminToken();
        else if (token == "first")
            token = m_server.adminToken().left(16);
        QList<QPair<QByteArray, QByteArray>> headers;
        if (!token.isEmpty())
            headers.append({"X-Admin-Token", token});
        QCOMPARE(test::httpCall("GET", m_server.url("/__admin/counts"), {}, {}, headers).status, status);
    }

    void keyReplacesTheDemoKey()
    {
        test::LocalServer own;
        QVERIFY(own.start({"--key", "own-key-1234=own"}));
        auto activate = [&](const QString &key) {
            const QJsonObject body{{"api_key", key}, {"installation_label", "box"}};
            return test::httpCall("POST", own.url("/v1/auth/activate"), QJsonDocument(body).toJson()).status;
        };
        QCOMPARE(activate(test::LocalServer::demoKey), 401);
        QCOMPARE(activate("own-key-1234"), 200);
    }

    void requestLogKeepsOnlyABodyPrefix()
    {
        m_server.reset();
        const QByteArray big(1 << 20, 'x');
        for (int i = 0; i < 3; ++i)
            test::httpCall("POST", m_server.url("/v1/auth/activate"), big);
        const QJsonArray requests = m_server.requests();
        QCOMPARE(requests.size(), 3);
        for (const QJsonValue &request : requests)
            QCOMPARE(request.toObject().value("body").toString().size(), 4096);
    }

    // More connections than the service has workers, each dribbling a byte a second into its
    // headers or into a declared body: the read time-out never fires for them, the deadline does.
    void slowClientsLoseTheirSlot_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::newRow("headers") << QByteArray("GET /health HTTP/1.1\r\nHost: x\r\nX-Slow: ");
        QTest::newRow("body") << QByteArray("POST /v1/auth/activate HTTP/1.1\r\nHost: x\r\n"
                                            "Content-Type: application/json\r\nContent-Length: 1000\r\n\r\n");
    }
    void slowClientsLoseTheirSlot()
    {
        QFETCH(QByteArray, head);
        const auto connected = [](const auto &s) { return s->state() == QAbstractSocket::ConnectedState; };
        std::vector<std::unique_ptr<QTcpSocket>> slow;
        for (int i = 0; i < 100; ++i) {
            auto socket = std::make_unique<QTcpSocket>();
            socket->connectToHost("127.0.0.1", quint16(m_server.url().port()));
            slow.push_back(std::move(socket));
        }
        QVERIFY(test::waitUntil([&] { return std::all_of(slow.begin(), slow.end(), connected); }));
        for (const auto &socket : slow)
            socket->write(head);
        QTimer dribble;
        connect(&dribble, &QTimer::timeout, this, [&] {
            for (const auto &socket : slow) {
                if (connected(socket))
                    socket->write("a");
            }
        });
        dribble.start(1000);

        // /health still answers, and the service closes every dribbler.
        QCOMPARE(test::httpCall("GET", m_server.url("/health")).status, 200);
        QVERIFY(test::waitUntil([&] { return std::none_of(slow.begin(), slow.end(), connected); }, 60s));
    }
};

HOPLIN_TEST_MAIN(TestServerHardening)
#include "tst_serverhardening.moc"
