// The main window on a screen smaller than its default size (run on a 1024 x 768 offscreen screen).
#include "app/ui/MainWindow.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"

#include <QApplication>
#include <QScreen>
#include <QTest>

using namespace hoplin;

class TestSmallScreen : public QObject {
    Q_OBJECT

private slots:
    void opensInsideTheAvailableArea()
    {
        Settings::shared().setValue(keys::baseURL, "http://127.0.0.1:9");
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(available.size(), QSize(1024, 768));

        SessionStore store;
        MainWindow window(store);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QVERIFY(available.contains(window.frameGeometry()));
    }
};

QTEST_MAIN(TestSmallScreen)
#include "tst_smallscreen.moc"
