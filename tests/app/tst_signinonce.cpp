#include "TestSupport.h"
#include "convert/ui/ConvertPage.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>

using namespace hoplin;
using test::LocalServer;

// What arrives for a session signed out meanwhile is dropped. (That a sign-in asked for again
// and again is one activation is part of the root view's sign-in test.)
class TestSignInOnce : public QObject {
    Q_OBJECT

private slots:
    void presetRefreshOvertakenBySignOutIsDropped()
    {
        LocalServer server;
        QVERIFY(server.start());
        Settings::shared().setValue(keys::baseURL, server.url().toString());
        Settings::shared().setValue(keys::hoplinDiag, true);
        DiagnosticsLogger::shared().startIfEnabled();
        SessionStore store;
        ConvertPage page(store);
        test::runTask(store.connect(LocalServer::demoKey));
        QVERIFY(!store.presets().isEmpty());
        QPushButton *refresh = nullptr;
        for (QPushButton *button : page.findChildren<QPushButton *>()) {
            if (button->text() == u"Refresh scripts")
                refresh = button;
        }
        QVERIFY(refresh);
        server.delay(QStringLiteral("GET /v1/presets"), 400);
        const auto presetAnswers = [] {
            return test::logMessages(QStringLiteral("api")).filter(QStringLiteral("GET /v1/presets -> 200")).size();
        };
        const qsizetype before = presetAnswers();
        refresh->click();
        store.disconnect();
        QVERIFY(store.presets().isEmpty());
        QTRY_COMPARE(presetAnswers(), before + 1);
        QTest::qWait(50);
        QVERIFY(store.presets().isEmpty());
    }
};

HOPLIN_GUI_TEST_MAIN(TestSignInOnce)
#include "tst_signinonce.moc"
