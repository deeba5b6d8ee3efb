#include "AppTestUtil.h"
#include "TestSupport.h"
#include "app/ui/AboutWindow.h"

#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace hoplin;

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
};

HOPLIN_GUI_TEST_MAIN(TestAboutWindow)
#include "tst_aboutwindow.moc"
