// Starts the real application (offscreen) with launch switches and reads what it prints.
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

class TestLaunch : public QObject {
    Q_OBJECT

private slots:
    void launchSwitches()
    {
        // The test's own isolated home, handed down to the app with the environment.
        const QString exportPath = hoplin::test::testHome() + "/export.txt";
        // A closed port: nothing here may reach a real service.
        const QStringList arguments = {"-hoplinDiag", "YES", "-exportLogAt", exportPath, "-baseURL", "http://127.0.0.1:9",
                                       "-dragWatch", "YES", "-showPreferences", "YES", "-showAbout", "YES"};

        QProcess app;
        app.setStandardErrorFile(QProcess::nullDevice());
        QElapsedTimer clock;
        clock.start();
        app.start(QStringLiteral(HOPLIN_DESKTOP_BIN), arguments);
        QVERIFY(app.waitForStarted());
        QString output;
        while (!output.contains("EXPORTLOG") && clock.elapsed() < 20000) {
            app.waitForReadyRead(200);
            output += QString::fromUtf8(app.readAllStandardOutput());
        }
        const qint64 exportedAfter = clock.elapsed();
        // Give anything that would wrongly follow a moment to show up.
        QTest::qWait(300);
        output += QString::fromUtf8(app.readAllStandardOutput());
        app.terminate();
        QVERIFY(app.waitForFinished(10000));

        const QStringList lines = output.split('\n', Qt::SkipEmptyParts);
        QVERIFY2(lines.contains("EXPORTLOG ok " + exportPath), qPrintable(output));
        // The export is scheduled four seconds after launch, not done at once (loose: clocks of
        // virtual machines drift against each other).
        QVERIFY2(exportedAfter >= 3000, qPrintable(QString::number(exportedAfter)));
        // The launch lines in order.
        const QStringList expected = {"[app] didFinishLaunching", "[ui] tab switched to Correction",
                                      "[app] show Preferences", "[app] show About"};
        static const QRegularExpression launchLine(R"(\[(app|ui)\] (didFinishLaunching|tab switched|show ))");
        QStringList seen;
        for (const QString &line : lines.filter(launchLine))
            seen << line.mid(line.indexOf(u'['));
        QCOMPARE(seen, expected);
        // Nothing moved: the drag watch prints its first tick only.
        QCOMPARE(lines.filter(QRegularExpression("^DRAGWATCH ")).size(), 1);

        const QString exported = QString::fromUtf8(hoplin::test::contents(exportPath));
        QVERIFY(exported.startsWith("Hoplin Log — "));
        QVERIFY(exported.contains("[app] didFinishLaunching"));
    }
};

HOPLIN_TEST_MAIN(TestLaunch)
#include "tst_launch.moc"
