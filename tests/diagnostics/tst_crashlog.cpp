#include "TestSupport.h"
#include "diagnostics/CrashLog.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <cstdint>
#include <stdexcept>
#include <sys/resource.h>

namespace {

// Opaque to the optimiser, so the store below really happens and faults.
volatile std::uintptr_t g_nowhere = 0;

// With HOPLIN_CRASH_PROBE set, this binary is the crashing process the test watches: it installs
// crash logging ("-hoplinDiag" on its command line decides whether it logs) and crashes that way.
[[gnu::noinline]] void crashAsProbe(const QByteArray &mode)
{
    hoplin::Settings::shared().applyCommandLine(QCoreApplication::arguments());
    hoplin::DiagnosticsLogger::shared().startIfEnabled();
    hoplin::crash::install();
    hoplin::DiagnosticsLogger::shared().flush();
    if (mode == "throw")
        throw std::runtime_error("probe failure");
    *reinterpret_cast<volatile int *>(g_nowhere) = 1;
}

} // namespace

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
        environment.insert("XDG_DATA_HOME", home.path() + "/.local/share");
        environment.insert("HOPLIN_CRASH_PROBE", mode);
        QProcess probe;
        probe.setProcessEnvironment(environment);
        probe.setChildProcessModifier([] {
            const struct rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
        });
        probe.start(QCoreApplication::applicationFilePath(), {"-hoplinDiag", logging ? "YES" : "NO"});
        QVERIFY(probe.waitForFinished(20000));
        QCOMPARE(probe.exitStatus(), QProcess::CrashExit);
        QCOMPARE(probe.exitCode(), signal);

        const QString log =
            QString::fromUtf8(hoplin::test::contents(home.path() + "/.local/share/Hoplin/Logs/hoplin-debug.log"));
        QCOMPARE(log.count("[crash]"), message.isEmpty() ? 0 : 1);
        if (message.isEmpty())
            return;

        const QStringList lines = log.split('\n');
        static const QRegularExpression shape(R"(^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) \[crash\] (.*)$)");
        const qsizetype at = lines.indexOf(shape);
        QVERIFY2(at >= 0, qPrintable(log));
        const QRegularExpressionMatch match = shape.match(lines[at]);
        QCOMPARE(match.captured(2), message);
        QVERIFY(probe.readAllStandardOutput().contains("[crash] " + message.toUtf8()));
    }
};

int main(int argc, char **argv)
{
    if (const QByteArray mode = qgetenv("HOPLIN_CRASH_PROBE"); !mode.isEmpty()) {
        QCoreApplication app(argc, argv);
        crashAsProbe(mode);
    }
    hoplin::test::isolateHome();
    QCoreApplication app(argc, argv);
    TestCrashLog tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}
#include "tst_crashlog.moc"
