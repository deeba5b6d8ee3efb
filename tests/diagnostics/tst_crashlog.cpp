#include "TestSupport.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

class TestCrashLog : public QObject {
    Q_OBJECT

private slots:
    void crashLine_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("logging");
        QTest::addColumn<QString>("message"); // empty: no crash line at all
        QTest::addColumn<int>("signal");

        QTest::newRow("uncaught std::exception")
            << "throw" << true << "uncaught exception std::runtime_error: probe failure " << SIGABRT;
        QTest::newRow("uncaught application error")
            << "apperror" << true << "uncaught exception hoplin::Error: disk full " << SIGABRT;
        QTest::newRow("segmentation fault") << "segv" << true << "fatal signal SIGSEGV " << SIGSEGV;
        QTest::newRow("logging off: exception") << "throw" << false << "" << SIGABRT;
    }

    // The process dies as it would without us, and the log holds exactly one crash line with
    // its frames (while logging is on).
    void crashLine()
    {
        QFETCH(QString, mode);
        QFETCH(bool, logging);
        QFETCH(QString, message);
        QFETCH(int, signal);

        QTemporaryDir home;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", home.path());
        environment.insert("XDG_CONFIG_HOME", home.path() + "/.config");
        environment.insert("XDG_DATA_HOME", home.path() + "/.local/share");
        QProcess probe;
        probe.setProcessEnvironment(environment);
        probe.setChildProcessModifier([] {
            const struct rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
        });
        probe.start(QStringLiteral(CRASH_PROBE_BIN), {mode, "-hoplinDiag", logging ? "YES" : "NO"});
        QVERIFY(probe.waitForFinished(20000));
        QCOMPARE(probe.exitStatus(), QProcess::CrashExit);
        QCOMPARE(probe.exitCode(), signal);

        QFile file(home.path() + "/.local/share/Hoplin/Logs/hoplin-debug.log");
        const QString log = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        const QString output = QString::fromUtf8(probe.readAllStandardOutput());
        if (message.isEmpty()) {
            QVERIFY(!log.contains("[crash]"));
            QVERIFY(!output.contains("[crash]"));
            return;
        }

        const QStringList lines = log.split('\n');
        QList<qsizetype> crashLines;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (lines[i].contains("[crash]"))
                crashLines << i;
        }
        QCOMPARE(crashLines.size(), 1);
        const QString line = lines[crashLines.first()];
        static const QRegularExpression shape(R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) \[crash\] (.*)$)");
        const QRegularExpressionMatch match = shape.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        QCOMPARE(match.captured(2), message);
        // The signal handler builds its own local time stamp; it must agree with the clock.
        const QDateTime stamp = QDateTime::fromString(match.captured(1), "yyyy-MM-dd HH:mm:ss.zzz");
        QVERIFY2(qAbs(stamp.secsTo(QDateTime::currentDateTime())) < 120, qPrintable(match.captured(1)));

        // Then the call stack: one to ten frames, each on its own line.
        qsizetype frames = 0;
        for (qsizetype i = crashLines.first() + 1; i < lines.size() && !lines[i].isEmpty(); ++i)
            ++frames;
        QVERIFY2(frames >= 1 && frames <= 10, qPrintable(QString::number(frames)));
        QVERIFY(output.contains(line));
    }
};

HOPLIN_TEST_MAIN(TestCrashLog)
#include "tst_crashlog.moc"
