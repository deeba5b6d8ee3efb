// Converting 100 one-second WAV files with a trivial preset through ConvertRunner against the same
// ffmpeg commands run one after another by a shell loop, and the longest main-thread stall while
// the runner works. Rounds alternate ABBA (shell first, runner first, runner first, shell first...)
// so that machine noise hits both alike; each figure is the median of the rounds with their spread.
//
// `bench_convert lookahead [pairs]`: 100 one-second 5.1 WAV files through a preset limited to two
// channels, with the next item's channel probe run during the current conversion and without it,
// in ABBA order; the outputs of both are compared byte for byte.
//
// `bench_convert atonce [pairs]`: 200 one-second WAV files converted one at a time and two at once,
// in ABBA order, the outputs of both compared byte for byte.
#include "../BenchSupport.h"
#include "convert/ConvertRunner.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int fileCount = 100;
const QString command =
    QStringLiteral("ffmpeg -hide_banner -nostdin -y -i {input} -c:a pcm_s16le {output_base}.wav");

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void prepare(const QString &master, const QString &dir, int count = fileCount)
{
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    for (int i = 0; i < count; ++i)
        QFile::copy(master, QStringLiteral("%1/tone %2.wav").arg(dir).arg(i, 3, 10, QLatin1Char('0')));
}

// Seconds, or -1 when the loop did not convert every file.
double runShellLoop(const QString &ffmpeg, const QString &input, const QString &output)
{
    QDir(output).removeRecursively();
    QDir().mkpath(output);
    const QString script = QStringLiteral(
        "for f in \"$1\"/*.wav; do n=${f##*/}; \"$3\" -hide_banner -nostdin -y -i \"$f\" -c:a pcm_s16le "
        "\"$2/${n%.wav}_conv.wav\" 2>/dev/null || exit 1; done");
    QProcess shell;
    const auto start = Clock::now();
    shell.start("bash", {"-c", script, "bash", input, output, ffmpeg});
    shell.waitForFinished(-1);
    const double elapsed = secondsSince(start);
    if (shell.exitCode() != 0 || QDir(output).entryList(QDir::Files).size() != fileCount)
        return -1;
    return elapsed;
}

struct RunnerRound {
    double seconds = 0;
    double longestStallMs = 0; // wall time between two beats
    double longestBusyMs = 0;  // main-thread CPU time between two beats: our own blocking work
    int done = 0;
};

// How one side of a comparison runs the runner.
struct RunnerSetup {
    std::optional<qint64> maxChannels;
    bool lookAhead = true;
    int atOnce = 1;
};

RunnerRound runRunner(const QString &ffmpeg, const QString &input, const RunnerSetup &setup = {})
{
    hoplin::Preset preset;
    preset.id = "bench";
    preset.command = command;
    preset.suffix = "_conv";
    preset.outputExt = ".wav";
    preset.maxChannels = setup.maxChannels;

    hoplin::ConvertRunner runner;
    runner.setLookAhead(setup.lookAhead);
    runner.setConcurrency(setup.atOnce);
    runner.queue({input}, preset.id);

    // The longest time the event loop was kept from running, and the main thread's own CPU time
    // in its longest stretch (on a loaded machine a gap can also be time it was not scheduled).
    RunnerRound round;
    hoplin::bench::StallMeter meter;
    QEventLoop loop;
    QObject::connect(&runner, &hoplin::ConvertRunner::runStateChanged, &loop, [&] {
        if (runner.runState() == hoplin::ConvertRunner::RunState::Idle)
            loop.quit();
    });
    meter.start();
    const auto start = Clock::now();
    runner.run({preset}, ffmpeg, nullptr);
    if (runner.runState() != hoplin::ConvertRunner::RunState::Idle)
        loop.exec();
    round.seconds = secondsSince(start);
    round.longestStallMs = meter.stop();
    round.longestBusyMs = meter.busiest();
    for (const hoplin::QueueItem &item : runner.items())
        round.done += item.succeeded.value_or(false) ? 1 : 0;
    return round;
}

// The outputs of two runs, file by file: the same names and the same bytes.
bool sameOutputs(const QString &a, const QString &b, int count)
{
    const QStringList names = QDir(a).entryList({"*_conv.wav"}, QDir::Files, QDir::Name);
    if (names.size() != count || names != QDir(b).entryList({"*_conv.wav"}, QDir::Files, QDir::Name))
        return false;
    return std::all_of(names.begin(), names.end(), [&](const QString &name) {
        QFile left(a + u'/' + name), right(b + u'/' + name);
        return left.open(QIODevice::ReadOnly) && right.open(QIODevice::ReadOnly) && left.readAll() == right.readAll();
    });
}

QString synthesise(const QString &ffmpeg, const QString &path, const QStringList &shape)
{
    QProcess make;
    make.start(ffmpeg, QStringList{"-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi", "-i"} + shape +
                           QStringList{path});
    make.waitForFinished(-1);
    return path;
}

// Two ways of running the runner over `count` copies of `master`, in ABBA order: the median time
// of each, the speed-up of the second over the first, and whether both wrote the same bytes.
int compareRunners(const QString &ffmpeg, const QString &home, const QString &master, int count, int pairs,
                   const std::pair<const char *, RunnerSetup> (&sides)[2], double aim)
{
    hoplin::bench::Rounds times[2];
    bool same = true;
    for (int round = 0; round < 2 * pairs; ++round) {
        for (const int side : {round % 2, 1 - round % 2}) {
            const QString dir = home + "/side" + QString::number(side);
            prepare(master, dir, count);
            const RunnerRound result = runRunner(ffmpeg, dir, sides[side].second);
            times[side].add(result.seconds);
            std::printf("round %d, %-16s: %.2f s (%d/%d done)\n", round + 1, sides[side].first, result.seconds,
                        result.done, count);
            same = same && result.done == count;
        }
        same = same && sameOutputs(home + "/side0", home + "/side1", count);
    }
    const double first = times[0].median(), second = times[1].median();
    std::printf("%d files, median of %d rounds (low..high): %s %s s, %s %s s\n", count, 2 * pairs, sides[0].first,
                times[0].text("%.2f").c_str(), sides[1].first, times[1].text("%.2f").c_str());
    std::printf("speed-up %.2fx (aim >= %.2fx) -> %s; outputs %s\n", first / second, aim,
                first / second >= aim ? "met" : "MISSED", same ? "identical" : "DIFFER");
    return same ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    hoplin::bench::useHome(home.path());
    QCoreApplication app(argc, argv);
    const QString ffmpeg = QStringLiteral("/usr/bin/ffmpeg");
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    const int pairs = argc > 2 ? std::max(1, atoi(argv[2])) : 2;
    if (mode == u"lookahead") {
        const QString master = synthesise(ffmpeg, home.path() + "/surround.wav",
                                          {"sine=frequency=220:duration=1", "-af",
                                           "pan=5.1(side)|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0"});
        return compareRunners(ffmpeg, home.path(), master, fileCount, pairs,
                              {{"look-ahead off", {2, false, 1}}, {"look-ahead on", {2, true, 1}}}, 1.30);
    }
    const QString master =
        synthesise(ffmpeg, home.path() + "/master.wav", {"sine=frequency=440:duration=1", "-ac", "2"});
    if (mode == u"atonce")
        return compareRunners(ffmpeg, home.path(), master, 200, pairs, {{"one at a time", {}}, {"two at once", {{}, true, 2}}},
                              1.70);

    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 4;
    hoplin::bench::Rounds shellTimes, runnerTimes, ratios, stalls, busy;
    for (int r = 0; r < rounds; ++r) {
        double shellSeconds = 0;
        RunnerRound round;
        auto shellSide = [&] {
            prepare(master, home.path() + "/shell-in");
            shellSeconds = runShellLoop(ffmpeg, home.path() + "/shell-in", home.path() + "/shell-out");
        };
        auto runnerSide = [&] {
            prepare(master, home.path() + "/runner");
            round = runRunner(ffmpeg, home.path() + "/runner");
        };
        const bool shellFirst = hoplin::bench::firstSideFirst(r);
        if (shellFirst) {
            shellSide();
            runnerSide();
        } else {
            runnerSide();
            shellSide();
        }
        if (shellSeconds < 0 || round.done != fileCount) {
            std::fprintf(stderr, "round %d: shell loop %s, runner converted %d of %d files\n", r + 1,
                         shellSeconds < 0 ? "failed" : "ok", round.done, fileCount);
            return 1;
        }
        shellTimes.add(shellSeconds);
        runnerTimes.add(round.seconds);
        ratios.add(round.seconds / shellSeconds);
        stalls.add(round.longestStallMs);
        busy.add(round.longestBusyMs);
        std::printf(
            "round %d (%s first): shell loop %.2f s, runner %.2f s (%d/%d done), ratio %.3f, longest stall %.1f ms "
            "(main thread busy %.1f ms of it)\n",
            r + 1, shellFirst ? "shell" : "runner", shellSeconds, round.seconds, round.done, fileCount,
            round.seconds / shellSeconds, round.longestStallMs, round.longestBusyMs);
    }
    const double ratio = ratios.median();
    const double stall = stalls.high();
    const double busiest = busy.high();
    std::printf("%d files, median of %d ABBA rounds (low..high): shell loop %s s, runner %s s\n", fileCount, rounds,
                shellTimes.text("%.2f").c_str(), runnerTimes.text("%.2f").c_str());
    std::printf("ratio runner/shell: %s (aim <= 1.10x) -> %s\n", ratios.text().c_str(),
                ratio <= 1.10 ? "met" : "MISSED");
    std::printf("longest main-thread stall: %s ms wall, worst %.1f ms; longest main-thread busy stretch %s ms, worst "
                "%.1f ms (aim < 50 ms) -> %s\n",
                stalls.text("%.1f").c_str(), stall, busy.text("%.1f").c_str(), busiest,
                stall < 50     ? "met"
                : busiest < 50 ? "met for our own work, wall gap from scheduling"
                               : "MISSED");
    return 0;
}
