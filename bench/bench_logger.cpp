// Cost of DiagnosticsLogger::log() on the calling thread with logging on, what the parts of a line
// cost alone (the setting check, the time stamp, the redaction), and how many lines per second
// reach the log file. Rounds: each times 100,000 calls one by one; figures are the median of the rounds with
// their spread. The file must end up holding every line logged, redacted.
// Usage: bench_logger [rounds, default 5]
#include "BenchSupport.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace hoplin;

namespace {

constexpr int kCalls = 100000;
constexpr double kAimMedianUs = 1.0;
constexpr double kAimLinesPerSecond = 100000;
const QString kMessage = QStringLiteral("GET /v1/jobs/4f3a?token=abc&page=2 -> 200 in 12ms");
const QString kStored = QStringLiteral("GET /v1/jobs/4f3a?token=[redacted]&page=2 -> 200 in 12ms");

// The median time of one call of `call`, in microseconds, over kCalls calls timed one by one.
template <typename Call> double medianMicroseconds(Call call)
{
    std::vector<double> times;
    times.reserve(kCalls);
    for (int i = 0; i < kCalls; ++i) {
        const auto start = Clock::now();
        call();
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + kCalls / 2, times.end());
    return times[kCalls / 2];
}

struct FileCheck {
    qint64 lines = 0;
    qint64 redacted = 0; // the bench's line, redacted
    qint64 leaked = 0;   // the secret still there
};

void checkFile(const QString &path, FileCheck &check)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray stored = "[bench] " + kStored.toUtf8() + '\n';
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        ++check.lines;
        check.redacted += line.endsWith(stored) ? 1 : 0;
        check.leaked += line.contains("token=abc") ? 1 : 0;
    }
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    QCoreApplication app(argc, argv);
    Settings::shared().setValue(keys::hoplinDiag, true);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;

    FILE *devnull = fopen("/dev/null", "w");
    DiagnosticsLogger logger(home.path() + "/Logs", devnull);
    logger.startIfEnabled();
    logger.flush();
    for (int i = 0; i < 1000; ++i)
        logger.log("bench", kMessage); // warm-up
    logger.flush();

    bench::Rounds whole, setting, stamp, redaction, throughput;
    qint64 logged = 1000;
    const QString key = QString::fromLatin1(keys::hoplinDiag);
    for (int round = 0; round < rounds; ++round) {
        // The parts of a line, each alone: the setting check is the caller's; the time stamp's
        // formatting and the redaction are the logger's thread's.
        setting.add(medianMicroseconds([&] { (void)Settings::shared().boolean(key); }));
        stamp.add(medianMicroseconds([] { (void)DiagnosticsLogger::timestamp(); }));
        redaction.add(medianMicroseconds([] { (void)DiagnosticsLogger::redact(kMessage); }));
        whole.add(medianMicroseconds([&] { logger.log("bench", kMessage); }));
        logged += kCalls;
        logger.flush();

        // Throughput: from the first call until the last line is in the file.
        const int lines = 5 * kCalls;
        const auto start = Clock::now();
        for (int i = 0; i < lines; ++i)
            logger.log("bench", kMessage);
        logger.flush();
        throughput.add(lines / std::chrono::duration<double>(Clock::now() - start).count());
        logged += lines;
        std::printf("round %d: log() median %.3f us, %.0f lines/s\n", round + 1, whole.values.back(),
                    throughput.values.back());
    }
    logger.stop();
    logger.flush();

    // The files keep only the newest lines (three generations of 5 MiB): each of those must be the
    // bench's line, redacted, whole; only the session's first line is another.
    FileCheck check;
    for (const QString &suffix : {QString(), QStringLiteral(".1"), QStringLiteral(".2")})
        checkFile(logger.logFilePath() + suffix, check);
    if (check.redacted < 2 * DiagnosticsLogger::rotationBytes / 128 || check.leaked > 0 ||
        check.lines - check.redacted > 1) {
        std::fprintf(stderr, "the log files hold %lld lines: %lld redacted bench lines, %lld with the secret\n",
                     static_cast<long long>(check.lines), static_cast<long long>(check.redacted),
                     static_cast<long long>(check.leaked));
        return 1;
    }

    std::printf("median of %d rounds (low..high), microseconds per call on the caller's thread:\n", rounds);
    std::printf("  log():                      %s\n", whole.text().c_str());
    std::printf("  for reference, alone: the setting check %s (the caller's); formatting a time stamp %s and the "
                "redaction %s (the logger thread's)\n",
                setting.text().c_str(), stamp.text().c_str(), redaction.text().c_str());
    std::printf("  through to the file: %s lines/s\n", throughput.text("%.0f").c_str());
    std::printf("  the log files hold the newest %lld of %lld lines, every one redacted and whole\n",
                static_cast<long long>(check.redacted), static_cast<long long>(logged));
    const bool met = whole.median() < kAimMedianUs && throughput.median() >= kAimLinesPerSecond;
    std::printf("aims: median < %.0f us, >= %.0f lines/s -> %s\n", kAimMedianUs, kAimLinesPerSecond,
                met ? "met" : "NOT met");
    fclose(devnull);
    return 0;
}
