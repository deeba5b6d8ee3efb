#include "TestSupport.h"
#include "app/ui/ConnectionPill.h"
#include "app/ui/RootView.h"
#include "convert/ui/ConvertPage.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace hoplin;
using test::LocalServer;

// However a sign-in is asked for (Return pressed again and again, the launch switch seen by
// every page), the service sees one activation; signing out shows at once, and what arrives for
// a session signed out meanwhile is dropped.
class TestSignInOnce : public QObject {
    Q_OBJECT

    LocalServer m_server;
    std::unique_ptr<SessionStore> m_store;

    static int connectRequests()
    {
        return int(test::logMessages(QStringLiteral("session")).count(QStringLiteral("connect requested")));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        Settings::shared().setValue(keys::hoplinDiag, true);
        DiagnosticsLogger::shared().startIfEnabled();
    }
    void init()
    {
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
        Settings::shared().setValue(keys::skipWebTabs, true);
        Settings::shared().remove(keys::connectKey);
        m_server.reset();
        m_store = std::make_unique<SessionStore>();
    }
    void cleanup() { m_store.reset(); }

    void quickReturnsMakeOneActivation_data()
    {
        QTest::addColumn<bool>("editKeyMeanwhile");
        QTest::newRow("same key") << false;
        QTest::newRow("key edited between Returns") << true;
    }
    void quickReturnsMakeOneActivation()
    {
        QFETCH(bool, editKeyMeanwhile);
        RootView view(*m_store);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QTest::mouseClick(view.findChild<ConnectionPill *>("connectionPill"), Qt::LeftButton);
        QTRY_VERIFY(view.isSignInShown());

        m_server.delay(QStringLiteral("POST /v1/auth/activate"), 500);
        auto *field = view.findChild<QLineEdit *>("clientKeyField");
        QTest::keyClicks(field, QString::fromLatin1(LocalServer::demoKey));
        for (int press = 0; press < 3; ++press) {
            if (editKeyMeanwhile && press > 0)
                QTest::keyClicks(field, QStringLiteral("x"));
            QTest::keyClick(field, Qt::Key_Return);
        }
        QTRY_VERIFY(m_store->state().isConnected());
        QTest::qWait(100);
        QCOMPARE(m_server.count(QStringLiteral("POST /v1/auth/activate")), 1);
    }

    void launchSwitchSignsInOnce()
    {
        const int before = connectRequests();
        Settings::shared().setValue(keys::connectKey, LocalServer::demoKey);
        RootView view(*m_store);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QTRY_VERIFY(m_store->state().isConnected());
        QTest::qWait(200);
        QCOMPARE(connectRequests() - before, 1);
        QCOMPARE(m_server.count(QStringLiteral("POST /v1/auth/activate")), 1);
    }

    void presetRefreshOvertakenBySignOutIsDropped()
    {
        ConvertPage page(*m_store);
        test::runTask(m_store->connect(LocalServer::demoKey));
        QVERIFY(!m_store->presets().isEmpty());
        QPushButton *refresh = nullptr;
        for (QPushButton *button : page.findChildren<QPushButton *>()) {
            if (button->text() == u"Refresh scripts")
                refresh = button;
        }
        QVERIFY(refresh);
        m_server.delay(QStringLiteral("GET /v1/presets"), 400);
        const auto presetAnswers = [] {
            return test::logMessages(QStringLiteral("api")).filter(QStringLiteral("GET /v1/presets -> 200")).size();
        };
        const qsizetype before = presetAnswers();
        refresh->click();
        m_store->disconnect();
        QVERIFY(m_store->presets().isEmpty());
        QTRY_COMPARE(presetAnswers(), before + 1);
        QTest::qWait(50);
        QVERIFY(m_store->presets().isEmpty());
    }
};

HOPLIN_GUI_TEST_MAIN(TestSignInOnce)
#include "tst_signinonce.moc"
