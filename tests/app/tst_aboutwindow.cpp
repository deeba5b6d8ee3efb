#include "AppTestUtil.h"
#include "TestSupport.h"
#include "app/ui/AboutWindow.h"
#include "app/ui/PreferencesView.h"

#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

using namespace hoplin;

Q_DECLARE_METATYPE(hoplin::windows::WindowController *)

namespace {
const QString kMissing = QStringLiteral("CHANGELOG.md is not bundled with this build.");
} // namespace

class TestAboutWindow : public QObject {
    Q_OBJECT
private slots:
    void changeLogIsReadFromTheResourceFolder_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("present") << "CHANGELOG.md" << QByteArray("# Notes\n- ünïcode ✓\n")
                                 << QStringLiteral("# Notes\n- ünïcode ✓\n");
        QTest::newRow("absent") << "" << QByteArray() << kMissing;
        QTest::newRow("not UTF-8") << "CHANGELOG.md" << QByteArray("caf\xe9") << kMissing;
    }
    void changeLogIsReadFromTheResourceFolder()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        if (!file.isEmpty())
            test::writeFile(dir.filePath(file), bytes);
        QCOMPARE(ReleaseNotesWindowController::loadChangeLog(dir.path()), expected);
    }

    // The test program has no resources folder beside it, like a build without release notes.
    void aboutWindowOpensTheNotes()
    {
        auto &about = AboutWindowController::shared();
        about.show();
        QWidget *window = about.window();
        QVERIFY(window->isVisible());
        test::child<QPushButton>(*window, "releaseNotesButton")->click();
        QWidget *notes = ReleaseNotesWindowController::shared().window();
        QVERIFY(notes->isVisible());
        QCOMPARE(test::child<QPlainTextEdit>(*notes, "releaseNotesText")->toPlainText(), kMissing);
    }

    // Each helper window: shown again it is centred again; Escape and Ctrl+W hide it; a fixed one
    // names its buttons, since a plain window gets maximise back on X11.
    void helperWindowsBehave_data()
    {
        QTest::addColumn<windows::WindowController *>("controller");
        QTest::addColumn<bool>("resizable");
        QTest::newRow("About") << static_cast<windows::WindowController *>(&AboutWindowController::shared()) << false;
        QTest::newRow("Release notes")
            << static_cast<windows::WindowController *>(&ReleaseNotesWindowController::shared()) << true;
        QTest::newRow("Preferences")
            << static_cast<windows::WindowController *>(&PreferencesWindowController::shared()) << false;
    }
    void helperWindowsBehave()
    {
        QFETCH(windows::WindowController *, controller);
        QFETCH(bool, resizable);
        QWidget *window = controller->window();
        const QPoint middle = window->screen()->availableGeometry().center();
        for (const QKeySequence &key : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
            controller->show();
            QVERIFY(QTest::qWaitForWindowActive(window));
            QCOMPARE(window->windowFlags() & (Qt::CustomizeWindowHint | Qt::WindowMaximizeButtonHint),
                     resizable ? Qt::WindowMaximizeButtonHint : Qt::CustomizeWindowHint);
            window->move(window->pos() + QPoint(120, 80));
            controller->show();
            QVERIFY((window->frameGeometry().center() - middle).manhattanLength() <= 1);
            QTest::keySequence(window, key);
            QTRY_VERIFY2(!window->isVisible(), qPrintable(key.toString()));
        }
    }
};

HOPLIN_GUI_TEST_MAIN(TestAboutWindow)
#include "tst_aboutwindow.moc"
