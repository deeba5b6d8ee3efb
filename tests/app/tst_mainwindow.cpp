#include "GuiTestSupport.h"
#include "TestSupport.h"
#include "diagnostics/ActiveJobs.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "app/ui/AboutWindow.h"
#include "app/ui/MainWindow.h"
#include "app/ui/PreferencesView.h"
#include "app/ui/RootView.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTest>

using namespace hoplin;

class TestMainWindow : public QObject {
    Q_OBJECT

    void clearJobs()
    {
        for (const QString &key : ActiveJobs::shared().sortedKeys())
            ActiveJobs::shared().end(key);
    }

private slots:
    void initTestCase()
    {
        Settings::shared().setValue(keys::hoplinDiag, true);
        // Nothing here talks to a service; keep the health request away from any real one.
        Settings::shared().setValue(keys::baseURL, "http://127.0.0.1:9");
        DiagnosticsLogger::shared().startIfEnabled();
    }

    void cleanup() { clearJobs(); }

    void windowAndMenu()
    {
        SessionStore store;
        MainWindow window(store);

        // The commands reach their windows.
        window.show();
        window.preferencesAction()->trigger();
        window.aboutAction()->trigger();
        const auto windows = {PreferencesWindowController::shared().window(), AboutWindowController::shared().window()};
        for (QWidget *shown : windows) {
            QVERIFY(shown->isVisible());
            shown->close();
        }
    }

    void shortcutsWorkFromOtherWindows_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("quit");
        QTest::newRow("Ctrl+Q") << int(Qt::Key_Q) << true;
        QTest::newRow("Ctrl+,") << int(Qt::Key_Comma) << false;
    }

    // The menu's shortcuts still work while another of the app's windows is in front.
    void shortcutsWorkFromOtherWindows()
    {
        QFETCH(int, key);
        QFETCH(bool, quit);
        SessionStore store;
        MainWindow window(store);
        // The signal is enough here; quitting itself has its own test below.
        QObject::disconnect(window.quitAction(), &QAction::triggered, qApp, nullptr);
        window.show();
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QSignalSpy triggered(quit ? window.quitAction() : window.preferencesAction(), &QAction::triggered);
        QTest::keyClick(&other, Qt::Key(key), Qt::ControlModifier);
        QCOMPARE(triggered.count(), 1);
    }

    void quitGuard_data()
    {
        QTest::addColumn<QStringList>("jobs");
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("informative"); // empty: quits without an alert

        const QString one = "Active work (Conversion) is still running. Stop it before quitting Hoplin.";
        const QString two = "Active work (Analysis, Conversion) is still running. Stop it before quitting Hoplin.";
        QTest::newRow("close, a conversion") << QStringList{"Conversion"} << "close" << one;
        QTest::newRow("quit, no work") << QStringList() << "quit" << QString();
        QTest::newRow("quit, both kinds") << QStringList{"Conversion", "Analysis"} << "quit" << two;
    }

    // Closing the window and the Quit command (Ctrl+Q) both go through the guard.
    void quitGuard()
    {
        QFETCH(QStringList, jobs);
        QFETCH(QString, how);
        QFETCH(QString, informative);
        for (const QString &key : jobs)
            ActiveJobs::shared().begin(key);

        SessionStore store;
        MainWindow window(store);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        test::MessageBoxAnswerer alert;

        if (how == u"close") {
            QCOMPARE(window.close(), informative.isEmpty());
        } else {
            // Quit only acts inside the running event loop: run one, and end it ourselves if the
            // guard kept the application alive.
            QTimer::singleShot(0, window.quitAction(), &QAction::trigger);
            QTimer fallback; // local, so it never fires into a later test
            fallback.setSingleShot(true);
            connect(&fallback, &QTimer::timeout, qApp, [] { QCoreApplication::exit(7); });
            fallback.start(1500);
            const int code = QApplication::exec();
            QCOMPARE(code, informative.isEmpty() ? 0 : 7);
        }

        QCOMPARE(window.isVisible(), !informative.isEmpty());
        QTRY_COMPARE(alert.seen, !informative.isEmpty());
        if (!informative.isEmpty()) {
            QCOMPARE(alert.text, QStringLiteral("Work is still running"));
            QCOMPARE(alert.informativeText, informative);
            QCOMPARE(alert.icon, QMessageBox::Warning);
            QCOMPARE(alert.buttons.size(), 1);
            // Nothing was stopped.
            QCOMPARE(ActiveJobs::shared().runningKeys().size(), jobs.size());
        }
    }
};

HOPLIN_GUI_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
