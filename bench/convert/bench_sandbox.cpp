// What fencing ffmpeg in costs: the same 100 one-second WAV conversions through ConvertRunner with
// the sandbox on and off, in one run. Rounds alternate (and swap which goes first) so that machine
// noise hits both alike; the ratio is the median of the per-round ratios.
#include "../BenchSupport.h"
#include "convert/ConvertRunner.h"
#include "platform/Sandbox.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <sys/resource.h>
#include <chrono>
#include <cstdio>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int fileCount = 100;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// CPU seconds used so far by this process and its finished children: unlike wall time, hardly
// moved by other work on a busy machine.
double cpuSeconds()
{
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        getrusage(who, &usage);
        total += usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

struct Round {
    double seconds = 0;
    double cpu = 0;
    int done = 0;
};

// Converts a fresh copy of the 100 files; returns the time taken and how many succeeded.
Round convertAll(const QString &master, const QString &dir, bool sandboxed)
{
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    for (int i = 0; i < fileCount; ++i)
        QFile::copy(master, QStringLiteral("%1/tone %2.wav").arg(dir).arg(i, 3, 10, QLatin1Char('0')));

    hoplin::Preset preset;
    preset.id = "bench";
    preset.command = "ffmpeg -hide_banner -nostdin -y -i {input} -c:a pcm_s16le {output_base}.wav";
    preset.suffix = "_conv";
    preset.outputExt = ".wav";
    hoplin::ConvertRunner runner;
    runner.setSandboxed(sandboxed);
    runner.queue({dir}, preset.id);

    QEventLoop loop;
    QObject::connect(&runner, &hoplin::ConvertRunner::runStateChanged, &loop, [&] {
        if (runner.runState() == hoplin::ConvertRunner::RunState::Idle)
            loop.quit();
    });
    const auto start = Clock::now();
    const double cpuStart = cpuSeconds();
    runner.run({preset}, "/usr/bin/ffmpeg", nullptr);
    if (runner.runState() != hoplin::ConvertRunner::RunState::Idle)
        loop.exec();
    Round round;
    round.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    round.cpu = cpuSeconds() - cpuStart;
    for (const hoplin::QueueItem &item : runner.items())
        round.done += item.succeeded.value_or(false) ? 1 : 0;
    return round;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    hoplin::bench::useHome(home.path());
    QCoreApplication app(argc, argv);

    const hoplin::platform::Sandbox::Status status = hoplin::platform::Sandbox::status();
    std::printf("sandbox: %s\n", qPrintable(hoplin::platform::Sandbox::describe(status)));

    const QString master = home.path() + "/master.wav";
    QProcess make;
    make.start("/usr/bin/ffmpeg", {"-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                                   "sine=frequency=440:duration=1", "-ac", "2", master});
    make.waitForFinished(-1);

    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    std::vector<double> fenced, open, ratios, cpuRatios;
    for (int r = 0; r < rounds; ++r) {
        Round on, off;
        if (r % 2 == 0) {
            on = convertAll(master, home.path() + "/on", true);
            off = convertAll(master, home.path() + "/off", false);
        } else {
            off = convertAll(master, home.path() + "/off", false);
            on = convertAll(master, home.path() + "/on", true);
        }
        fenced.push_back(on.seconds);
        open.push_back(off.seconds);
        ratios.push_back(on.seconds / off.seconds);
        cpuRatios.push_back(on.cpu / off.cpu);
        std::printf("round %d: sandboxed %.2f s wall %.2f s CPU (%d/%d done), unsandboxed %.2f s wall %.2f s CPU "
                    "(%d/%d done), ratio wall %.3f CPU %.3f\n",
                    r + 1, on.seconds, on.cpu, on.done, fileCount, off.seconds, off.cpu, off.done, fileCount,
                    ratios.back(), cpuRatios.back());
    }
    const double ratio = median(ratios), cpuRatio = median(cpuRatios);
    std::printf("%d files: sandboxed median %.2f s (%.1f ms per file), unsandboxed median %.2f s (%.1f ms per "
                "file)\n",
                fileCount, median(fenced), median(fenced) * 1000 / fileCount, median(open),
                median(open) * 1000 / fileCount);
    std::printf("ratio sandboxed/unsandboxed, median of the rounds: wall %.3fx, CPU %.3fx (aim <= 1.02x) -> %s\n",
                ratio, cpuRatio, ratio <= 1.02 ? "met" : cpuRatio <= 1.02 ? "met in CPU time, wall time noisy" : "MISSED");
    return 0;
}
