// Starts the real application (offscreen) with launch switches and reads what it prints.
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

class TestLaunch : public QObject {
    Q_OBJECT

private slots:
    void launchSwitches_data()
    {
        QTest::addColumn<bool>("switchesOn");
        QTest::addColumn<bool>("exportable");
        QTest::newRow("all switches, export succeeds") << true << true;
        QTest::newRow("no switches, export to a missing folder") << false << false;
    }

    void launchSwitches()
    {
        QFETCH(bool, switchesOn);
        QFETCH(bool, exportable);

        QTemporaryDir home;
        const QString exportPath =
            home.path() + (exportable ? QStringLiteral("/export.txt") : QStringLiteral("/missing/folder/export.txt"));
        QStringList arguments = {"-hoplinDiag", "YES", "-exportLogAt", exportPath,
                                 // A closed port: nothing here may reach a real service.
                                 "-baseURL", "http://127.0.0.1:9"};
        if (switchesOn)
            arguments << "-dragWatch" << "YES" << "-showPreferences" << "YES" << "-showAbout" << "YES";

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", home.path());
        environment.insert("XDG_CONFIG_HOME", home.path() + "/.config");
        environment.insert("XDG_DATA_HOME", home.path() + "/.local/share");
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess app;
        app.setProcessEnvironment(environment);
        app.setStandardErrorFile(QProcess::nullDevice());
        QElapsedTimer clock;
        clock.start();
        app.start(QStringLiteral(HOPLIN_DESKTOP_BIN), arguments);
        QVERIFY(app.waitForStarted());

        QString output;
        const QString expected = (exportable ? "EXPORTLOG ok " : "EXPORTLOG failed ") + exportPath;
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
        QVERIFY2(lines.contains(expected), qPrintable(output));
        // The export is scheduled four seconds after launch, not done at once (loose: clocks of
        // virtual machines drift against each other).
        QVERIFY2(exportedAfter >= 3000, qPrintable(QString::number(exportedAfter)));

        auto index = [&](const QString &fragment) {
            for (qsizetype i = 0; i < lines.size(); ++i) {
                if (lines[i].contains(fragment))
                    return i;
            }
            return qsizetype(-1);
        };
        QVERIFY(index("[app] didFinishLaunching") >= 0);
        QVERIFY(index("[app] didFinishLaunching") < index("[ui] tab switched to Correction"));
        // Nothing moved: the drag watch prints its first tick only.
        QCOMPARE(lines.filter(QRegularExpression("^DRAGWATCH ")).size(), switchesOn ? 1 : 0);
        const qsizetype preferences = index("[app] show Preferences");
        const qsizetype about = index("[app] show About");
        if (switchesOn) {
            QVERIFY(preferences >= 0);
            QVERIFY(preferences < about);
        } else {
            QCOMPARE(preferences, -1);
            QCOMPARE(about, -1);
        }

        if (exportable) {
            QFile exported(exportPath);
            QVERIFY(exported.open(QIODevice::ReadOnly));
            const QString text = QString::fromUtf8(exported.readAll());
            QVERIFY(text.startsWith("Hoplin Log — "));
            QVERIFY(text.contains("[app] didFinishLaunching"));
        } else {
            QVERIFY(!QFile::exists(exportPath));
        }
    }
};

HOPLIN_TEST_MAIN(TestLaunch)
#include "tst_launch.moc"
