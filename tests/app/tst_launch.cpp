// Starts the real application (offscreen) with launch switches and reads what it prints.
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

namespace {

// A closed port: nothing here may reach a real service.
const QStringList kQuiet = {"-hoplinDiag", "YES", "-baseURL", "http://127.0.0.1:9"};

// Starts the app with `bus` as its session bus (none when empty).
void startApp(QProcess &app, const QStringList &arguments, const QString &bus)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SESSION_BUS_ADDRESS", bus.isEmpty() ? "unix:path=/nonexistent/bus" : bus);
    app.setProcessEnvironment(environment);
    app.setStandardErrorFile(QProcess::nullDevice());
    app.start(QStringLiteral(HOPLIN_DESKTOP_BIN), arguments);
}

// Reads the app's output until it holds `count` lines containing `wanted`.
bool waitForLines(QProcess &app, QString &output, const QString &wanted, int count = 1)
{
    QElapsedTimer clock;
    clock.start();
    while (output.count(wanted) < count && clock.elapsed() < 30000) {
        app.waitForReadyRead(200);
        output += QString::fromUtf8(app.readAllStandardOutput());
    }
    return output.count(wanted) >= count;
}

const QString kRouted = QStringLiteral("[drop] handle files=1 ");

} // namespace

class TestLaunch : public QObject {
    Q_OBJECT

private slots:
    // Without a session bus: one instance on its own, the launch's file routed as a drop.
    void launchSwitches()
    {
        // The test's own isolated home, handed down to the app with the environment.
        const QString exportPath = hoplin::test::testHome() + "/export.txt";
        const QString take = hoplin::test::writeFile(hoplin::test::testHome() + "/take.wav", "RIFF");
        const QStringList arguments = kQuiet + QStringList{"-exportLogAt", exportPath, "-dragWatch", "YES",
                                                           "-showPreferences", "YES", "-showAbout", "YES", take};

        QProcess app;
        QElapsedTimer clock;
        clock.start();
        startApp(app, arguments, {});
        QVERIFY(app.waitForStarted());
        QString output;
        waitForLines(app, output, "EXPORTLOG");
        const qint64 exportedAfter = clock.elapsed();
        // Give anything that would wrongly follow a moment to show up.
        QTest::qWait(300);
        output += QString::fromUtf8(app.readAllStandardOutput());
        app.terminate();
        QVERIFY(app.waitForFinished(10000));

        const QStringList lines = output.split('\n', Qt::SkipEmptyParts);
        QVERIFY2(lines.contains("EXPORTLOG ok " + exportPath), qPrintable(output));
        QVERIFY(output.contains(kRouted));
        QVERIFY(output.contains("[app] no session bus"));
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

    // On a private session bus a second launch hands its file to the first and ends; the first
    // routes it as a drop on its window.
    void secondLaunchHandsOver()
    {
        QProcess daemon;
        // A bus of its own that starts no services: the desktop's keyring, activated on demand, would
        // sit locked behind a prompt nobody answers.
        const QString config = hoplin::test::writeFile(
            hoplin::test::testHome() + "/bus.conf",
            "<busconfig><type>session</type><listen>unix:tmpdir=" + QFile::encodeName(QDir::tempPath()) +
                "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>");
        daemon.start("dbus-daemon", {"--config-file=" + config, "--nofork", "--print-address=1"});
        QVERIFY(daemon.waitForStarted() && daemon.waitForReadyRead(5000));
        const QString bus = QString::fromUtf8(daemon.readLine()).trimmed();

        // Its export cannot be written, and it was not asked to show About.
        QProcess first;
        startApp(first, kQuiet + QStringList{"-exportLogAt", "/proc/hoplin-export.txt"}, bus);
        QString output;
        QVERIFY2(waitForLines(first, output, "[app] didFinishLaunching"), qPrintable(output));
        QVERIFY(!output.contains(kRouted));

        const QString take = hoplin::test::writeFile(hoplin::test::testHome() + "/second.wav", "RIFF");
        QProcess second;
        startApp(second, kQuiet + QStringList{take}, bus);
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(!second.readAllStandardOutput().contains("didFinishLaunching"));
        QVERIFY2(waitForLines(first, output, kRouted), qPrintable(output));
        QVERIFY2(waitForLines(first, output, "EXPORTLOG failed /proc/hoplin-export.txt"), qPrintable(output));
        QVERIFY(!output.contains("EXPORTLOG ok") && !output.contains("[app] show About"));

        first.terminate();
        QVERIFY2(first.waitForFinished(10000), qPrintable(output + QString::fromUtf8(first.readAllStandardOutput())));
        daemon.kill();
        daemon.waitForFinished();
    }
};

HOPLIN_TEST_MAIN(TestLaunch)
#include "tst_launch.moc"
