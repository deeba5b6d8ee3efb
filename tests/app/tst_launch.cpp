// Starts the real application (offscreen) with launch switches and reads what it prints.
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

class TestLaunch : public QObject {
    Q_OBJECT

private slots:
    void launchSwitches_data()
    {
        QTest::addColumn<bool>("switchesOn");
        QTest::addColumn<QString>("exportTo");
        QTest::newRow("all switches, export succeeds") << true << "/export.txt";
        QTest::newRow("no switches, export to a missing folder") << false << "/missing/folder/export.txt";
    }

    void launchSwitches()
    {
        QFETCH(bool, switchesOn);
        QFETCH(QString, exportTo);
        // The test's own isolated home, handed down to the app with the environment.
        const QString exportPath = hoplin::test::testHome() + exportTo;
        const bool exportable = !exportTo.contains("missing");
        // A closed port: nothing here may reach a real service.
        QStringList arguments = {"-hoplinDiag", "YES", "-exportLogAt", exportPath, "-baseURL", "http://127.0.0.1:9"};
        if (switchesOn)
            arguments << "-dragWatch" << "YES" << "-showPreferences" << "YES" << "-showAbout" << "YES";

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
        QVERIFY2(lines.contains((exportable ? "EXPORTLOG ok " : "EXPORTLOG failed ") + exportPath), qPrintable(output));
        // The export is scheduled four seconds after launch, not done at once (loose: clocks of
        // virtual machines drift against each other).
        QVERIFY2(exportedAfter >= 3000, qPrintable(QString::number(exportedAfter)));
        // The launch lines in order; a window the switches did not ask for is not shown.
        QStringList expected = {"[app] didFinishLaunching", "[ui] tab switched to Correction"};
        if (switchesOn)
            expected << "[app] show Preferences" << "[app] show About";
        static const QRegularExpression launchLine(R"(\[(app|ui)\] (didFinishLaunching|tab switched|show ))");
        QStringList seen;
        for (const QString &line : lines.filter(launchLine))
            seen << line.mid(line.indexOf(u'['));
        QCOMPARE(seen, expected);
        // Nothing moved: the drag watch prints its first tick only.
        QCOMPARE(lines.filter(QRegularExpression("^DRAGWATCH ")).size(), switchesOn ? 1 : 0);

        const QString exported = QString::fromUtf8(hoplin::test::contents(exportPath));
        QCOMPARE(exported.startsWith("Hoplin Log — "), exportable);
        QCOMPARE(exported.contains("[app] didFinishLaunching"), exportable);
    }
};

HOPLIN_TEST_MAIN(TestLaunch)
#include "tst_launch.moc"
