// Cost of DiagnosticsLogger::log() on the calling thread with logging on, and how many lines per
// second reach the log file.
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using Clock = std::chrono::steady_clock;

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    QCoreApplication app(argc, argv);
    hoplin::Settings::shared().setValue(hoplin::keys::hoplinDiag, true);

    FILE *devnull = fopen("/dev/null", "w");
    hoplin::DiagnosticsLogger logger(home.path() + "/Logs", devnull);
    logger.startIfEnabled();
    logger.flush();

    const QString message = QStringLiteral("GET /v1/jobs/4f3a?token=abc&page=2 -> 200 in 12ms");
    constexpr int calls = 200000;
    std::vector<double> perCall;
    perCall.reserve(calls);

    // Latency seen by the caller, each call timed on its own.
    for (int i = 0; i < 1000; ++i)
        logger.log("bench", message); // warm-up
    logger.flush();
    for (int i = 0; i < calls; ++i) {
        const auto start = Clock::now();
        logger.log("bench", message);
        perCall.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    logger.flush();
    std::sort(perCall.begin(), perCall.end());
    const double median = perCall[perCall.size() / 2];
    const double p99 = perCall[perCall.size() * 99 / 100];

    // Throughput: from the first call until the last line is in the file.
    constexpr int lines = 500000;
    const auto start = Clock::now();
    for (int i = 0; i < lines; ++i)
        logger.log("bench", message);
    logger.flush();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    logger.stop();
    logger.flush();

    printf("log() on the caller's thread: median %.2f us, p99 %.2f us (%d calls)\n", median, p99, calls);
    printf("through to the file: %.0f lines/s (%d lines in %.3f s, file now %lld bytes)\n", lines / seconds, lines,
           seconds, static_cast<long long>(QFileInfo(logger.logFilePath()).size()));
    printf("aims: median < 2 us, >= 100000 lines/s -> %s\n",
           (median < 2.0 && lines / seconds >= 100000) ? "met" : "NOT met");
    fclose(devnull);
    return 0;
}
