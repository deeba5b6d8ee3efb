// What fencing ffmpeg in costs: the same 100 one-second WAV conversions through ConvertRunner with
// the sandbox on and off, in one run. Rounds alternate (and swap which goes first) so that machine
// noise hits both alike; the ratio is the median of the per-round ratios. A shared machine moves a
// round's wall time by far more than the fence costs, so the fence is also timed alone: 500 starts
// of /bin/true fenced and 500 not, alternating ABBA start by start, reported as the difference per
// start (median and spread over blocks of 50 pairs).
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

constexpr int kStarts = 500;
constexpr int kBlock = 50;

// Milliseconds to fence (or not), start and reap one /bin/true; -1 when it did not exit 0.
double startOnce(bool fenced, const QString &writable)
{
    const auto start = Clock::now();
    QProcess process;
    if (fenced)
        hoplin::platform::Sandbox::confine(&process, hoplin::platform::Sandbox::Policy{writable, {}});
    process.start(QStringLiteral("/bin/true"), {});
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Whether the fence holds on these starts: a fenced child cannot create a file outside its folder,
// an open one can.
bool fenceHolds(const QString &writable, const QString &outside)
{
    auto touch = [&](bool fenced) {
        QProcess process;
        if (fenced)
            hoplin::platform::Sandbox::confine(&process, hoplin::platform::Sandbox::Policy{writable, {}});
        process.start(QStringLiteral("/usr/bin/touch"), {outside});
        process.waitForFinished(10000);
        const bool made = QFile::exists(outside);
        QFile::remove(outside);
        return made;
    };
    return !touch(true) && touch(false);
}

// Returns false when a start failed.
bool timeStarts(const QString &writable)
{
    hoplin::bench::Rounds fenced, open, difference;
    hoplin::bench::Rounds blockFenced, blockOpen, blockDifference; // one block of starts
    for (int i = 0; i < kStarts; ++i) {
        double on = 0, off = 0;
        if (hoplin::bench::firstSideFirst(i)) {
            on = startOnce(true, writable);
            off = startOnce(false, writable);
        } else {
            off = startOnce(false, writable);
            on = startOnce(true, writable);
        }
        if (on < 0 || off < 0) {
            std::fprintf(stderr, "start %d of /bin/true failed (%s)\n", i + 1, on < 0 ? "fenced" : "open");
            return false;
        }
        blockFenced.add(on);
        blockOpen.add(off);
        blockDifference.add(on - off);
        // The median of a block shrugs off the odd start the machine's other work delayed.
        if ((i + 1) % kBlock == 0) {
            fenced.add(blockFenced.median());
            open.add(blockOpen.median());
            difference.add(blockDifference.median());
            blockFenced = blockOpen = blockDifference = {};
        }
    }
    std::printf("%d starts of /bin/true each way, ABBA; median per block of %d, then median of the blocks: fenced "
                "%s ms, open %s ms\n",
                kStarts, kBlock, fenced.text("%.3f").c_str(), open.text("%.3f").c_str());
    std::printf("the fence costs per start (fenced minus open, pair by pair): %s ms\n",
                difference.text("%.3f").c_str());
    return true;
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

    const QString writable = home.path() + "/fenced";
    QDir().mkpath(writable);
    if (status.filesystem && !fenceHolds(writable, home.path() + "/outside")) {
        std::fprintf(stderr, "the fence did not hold: a fenced child wrote outside its folder\n");
        return 1;
    }
    if (!timeStarts(writable))
        return 1;

    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    hoplin::bench::Rounds fenced, open, ratios, cpuRatios;
    for (int r = 0; r < rounds; ++r) {
        Round on, off;
        if (hoplin::bench::firstSideFirst(r)) {
            on = convertAll(master, home.path() + "/on", true);
            off = convertAll(master, home.path() + "/off", false);
        } else {
            off = convertAll(master, home.path() + "/off", false);
            on = convertAll(master, home.path() + "/on", true);
        }
        fenced.add(on.seconds);
        open.add(off.seconds);
        ratios.add(on.seconds / off.seconds);
        cpuRatios.add(on.cpu / off.cpu);
        if (on.done != fileCount || off.done != fileCount) {
            std::fprintf(stderr, "round %d: %d and %d of %d files converted\n", r + 1, on.done, off.done, fileCount);
            return 1;
        }
        std::printf("round %d: sandboxed %.2f s wall %.2f s CPU (%d/%d done), unsandboxed %.2f s wall %.2f s CPU "
                    "(%d/%d done), ratio wall %.3f CPU %.3f\n",
                    r + 1, on.seconds, on.cpu, on.done, fileCount, off.seconds, off.cpu, off.done, fileCount,
                    on.seconds / off.seconds, on.cpu / off.cpu);
    }
    const double ratio = ratios.median(), cpuRatio = cpuRatios.median();
    std::printf("%d files, median of %d rounds (low..high): sandboxed %s s, unsandboxed %s s\n", fileCount, rounds,
                fenced.text("%.2f").c_str(), open.text("%.2f").c_str());
    std::printf("ratio sandboxed/unsandboxed: wall %s, CPU %s (aim <= 1.02x) -> %s\n", ratios.text().c_str(),
                cpuRatios.text().c_str(),
                ratio <= 1.02      ? "met"
                : cpuRatio <= 1.02 ? "met in CPU time, wall time noisy"
                                   : "MISSED");
    return 0;
}
