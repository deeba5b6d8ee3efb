// A queue of thousands through the Convert page against the same queue through ConvertRunner
// alone, with an ffmpeg that fails at once (so the queue's own bookkeeping is what is measured),
// and the longest main-thread stall while the files are added and while the page follows the run.
// Two cases: the outputs go next to the sources; and the outputs go to a chosen folder that already
// holds 10,000 files, with queues of 500 and 5,000, so that a cost per item that grows with the
// queue or with the folder shows. Page and runner alternate ABBA; each figure is the median of the
// rounds with their spread.
// Usage: bench_convertpage [items, default 5000]; BENCH_ROUNDS (default 4); with
// HOPLIN_QUEUE_SHOT=file.png it saves a picture of the page holding the queue instead.
#include "../BenchSupport.h"
#include "convert/ConvertRunner.h"
#include "convert/ui/ConvertPage.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"
#include "ui/Theme.h"

#include <QApplication>
#include <QCoro/QCoroSignal>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>

using namespace hoplin;

namespace {

constexpr double kAimRatio = 1.2;
constexpr double kAimStallMs = 50.0;
constexpr double kAimGrowth = 1.3;
constexpr int kFewItems = 500;
constexpr int kDestinationFiles = 10000;

Preset failingPreset()
{
    Preset preset;
    preset.id = QStringLiteral("bench");
    preset.name = QStringLiteral("Bench");
    preset.kind = QStringLiteral("audio");
    preset.suffix = QStringLiteral("_b");
    preset.outputExt = QStringLiteral(".wav");
    preset.command = QStringLiteral("ffmpeg -i {input} {output_base}.wav");
    return preset;
}

// An ffmpeg that refuses every call at once, as a broken or mismatched one would.
QString writeFailingFFmpeg(const QString &folder)
{
    const QString path = folder + QStringLiteral("/ffmpeg-fails");
    QFile stub(path);
    if (!stub.open(QIODevice::WriteOnly) || stub.write("#!/bin/sh\necho \"ffmpeg: refused\" >&2\nexit 1\n") < 0)
        return {};
    stub.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

void makeFiles(const QString &folder, const QString &pattern, int count)
{
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i) {
        QFile file(folder + QLatin1Char('/') + pattern.arg(i, 5, 10, QLatin1Char('0')));
        file.open(QIODevice::WriteOnly);
    }
}

long residentMegabytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * 4096 / (1024 * 1024) : -1;
}

void waitForIdle(const ConvertRunner &runner)
{
    while (runner.isRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}


using Figures = bench::PageFigures;

// Whether every one of `items` failed, as the stub makes them.
bool allFailed(const ConvertRunner &runner, int items)
{
    return runner.items().size() == items && runner.counts().failed == items;
}

Figures runnerAlone(const QString &folder, const Preset &preset, const QString &ffmpeg, int items, bool &ok)
{
    ConvertRunner runner;
    bench::StallMeter meter;
    QElapsedTimer wall;
    wall.start();
    const double cpuStart = bench::cpuSeconds();
    meter.start();
    runner.queue({folder}, preset.id);
    QCoreApplication::processEvents();
    Figures figures;
    figures.addStallMs = meter.stop();
    figures.addBusyMs = meter.busiest();
    meter.start();
    runner.run({preset}, ffmpeg, nullptr);
    waitForIdle(runner);
    figures.runStallMs = meter.stop();
    figures.runBusyMs = meter.busiest();
    figures.seconds = wall.elapsed() / 1000.0;
    figures.cpu = bench::cpuSeconds() - cpuStart;
    ok = allFailed(runner, items) && ok;
    return figures;
}

Figures throughThePage(const QString &folder, SessionStore &store, const Preset &preset, int items, bool &ok)
{
    ConvertPage page(store);
    page.setActive(true);
    page.resize(1200, 780);
    page.show();
    page.appear();
    QCoreApplication::processEvents();
    bench::StallMeter meter;
    QElapsedTimer wall;
    wall.start();
    const double cpuStart = bench::cpuSeconds();
    meter.start();
    // Auto start is on: the drop queues the files and starts the run, as a user's drop does.
    page.enqueue({folder}, preset);
    QCoreApplication::processEvents();
    Figures figures;
    figures.addStallMs = meter.stop();
    figures.addBusyMs = meter.busiest();
    meter.start();
    waitForIdle(page.runner());
    QCoreApplication::processEvents();
    figures.runStallMs = meter.stop();
    figures.runBusyMs = meter.busiest();
    figures.seconds = wall.elapsed() / 1000.0;
    figures.cpu = bench::cpuSeconds() - cpuStart;
    ok = allFailed(page.runner(), items) && ok;
    return figures;
}

// A picture of the page holding the whole queue: some files failed, the rest still queued.
int takeScreenshot(const QString &folder, SessionStore &store, const Preset &preset, const QString &path)
{
    ConvertPage page(store);
    page.setActive(true);
    page.resize(1200, 780);
    page.show();
    page.appear();
    page.enqueue({folder}, preset);
    while (page.runner().counts().failed < 24)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    page.runner().cancel();
    waitForIdle(page.runner());
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 500)
        QCoreApplication::processEvents();
    return page.grab().save(path) ? 0 : 1;
}

// Page and runner over one source folder, ABBA; the rounds of each figure.
struct Comparison {
    bench::Rounds pageSeconds, pageCpu, aloneSeconds, aloneCpu, wallRatio, cpuRatio, addStall, runStall,
        addBusy, runBusy, aloneAddStall, aloneRunStall;
};

bool compare(Comparison &into, int round, const QString &folder, int items, SessionStore &store, const Preset &preset,
             const QString &ffmpeg, const char *label)
{
    bool ok = true;
    Figures p, a;
    if (bench::firstSideFirst(round)) {
        p = throughThePage(folder, store, preset, items, ok);
        a = runnerAlone(folder, preset, ffmpeg, items, ok);
    } else {
        a = runnerAlone(folder, preset, ffmpeg, items, ok);
        p = throughThePage(folder, store, preset, items, ok);
    }
    std::printf("%s round %d (%s first): runner alone %.2f s (cpu %.2f s), page %.2f s (cpu %.2f s), stalls page "
                "%.1f/%.1f ms (busy %.1f/%.1f ms), resident %ld MB%s\n",
                label, round + 1, bench::firstSideFirst(round) ? "page" : "runner", a.seconds, a.cpu, p.seconds, p.cpu,
                p.addStallMs, p.runStallMs, p.addBusyMs, p.runBusyMs, residentMegabytes(),
                ok ? "" : " NOT EVERY ITEM FAILED");
    std::fflush(stdout);
    into.pageSeconds.add(p.seconds);
    into.pageCpu.add(p.cpu);
    into.aloneSeconds.add(a.seconds);
    into.aloneCpu.add(a.cpu);
    into.wallRatio.add(p.seconds / a.seconds);
    into.cpuRatio.add(p.cpu / a.cpu);
    into.addStall.add(p.addStallMs);
    into.runStall.add(p.runStallMs);
    into.addBusy.add(p.addBusyMs);
    into.runBusy.add(p.runBusyMs);
    into.aloneAddStall.add(a.addStallMs);
    into.aloneRunStall.add(a.runStallMs);
    return ok;
}

const char *verdict(bool met)
{
    return met ? "OK" : "OVER";
}

void report(const Comparison &c, int items)
{
    std::printf("  runner alone: %s s wall, %s s cpu (%.2f ms per item)\n", c.aloneSeconds.text("%.2f").c_str(),
                c.aloneCpu.text("%.2f").c_str(), 1000 * c.aloneSeconds.median() / items);
    std::printf("  through the page: %s s wall, %s s cpu (%.2f ms per item)\n", c.pageSeconds.text("%.2f").c_str(),
                c.pageCpu.text("%.2f").c_str(), 1000 * c.pageSeconds.median() / items);
    std::printf("  page / runner, wall: %s (aim <= %.1fx) %s\n", c.wallRatio.text().c_str(), kAimRatio,
                verdict(c.wallRatio.median() <= kAimRatio));
    std::printf("  page / runner, cpu: %s (aim <= %.1fx) %s\n", c.cpuRatio.text().c_str(), kAimRatio,
                verdict(c.cpuRatio.median() <= kAimRatio));
    std::printf("  longest stall while adding %d files: %s ms, worst %.1f (aim < %.0f ms) %s\n", items,
                c.addStall.text("%.1f").c_str(), c.addStall.high(), kAimStallMs,
                verdict(c.addStall.high() < kAimStallMs));
    std::printf("    the page's own work in the longest stretch: %s ms, worst %.1f\n", c.addBusy.text("%.1f").c_str(),
                c.addBusy.high());
    std::printf("  longest stall during the run: %s ms, worst %.1f (aim < %.0f ms) %s\n", c.runStall.text("%.1f").c_str(),
                c.runStall.high(), kAimStallMs, verdict(c.runStall.high() < kAimStallMs));
    std::printf("    the page's own work in the longest stretch: %s ms, worst %.1f\n", c.runBusy.text("%.1f").c_str(),
                c.runBusy.high());
    std::printf("  runner alone, for comparison: longest stall %s ms adding, %s ms running\n",
                c.aloneAddStall.text("%.1f").c_str(), c.aloneRunStall.text("%.1f").c_str());
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    hoplin::bench::useHome(home.path());
    hoplin::bench::useOffscreenWindows();
    QApplication app(argc, argv);
    theme::applyLightTheme(app);
    const int items = argc > 1 ? std::max(1, atoi(argv[1])) : 5000;

    QProcess server;
    const QString url = bench::startServer(server, QStringLiteral(HOPLIN_SERVER_BIN));
    if (url.isEmpty())
        return 1;
    Settings::shared().setValue(keys::baseURL, url);
    Settings::shared().setValue(keys::autoStartConvert, true);
    const QString ffmpeg = writeFailingFFmpeg(home.path());
    if (ffmpeg.isEmpty()) {
        std::fprintf(stderr, "cannot write the failing ffmpeg\n");
        return 1;
    }
    Settings::shared().setValue(keys::ffmpegPathOverride, ffmpeg);

    QTemporaryDir media;
    makeFiles(media.path(), QStringLiteral("take %1.wav"), items);
    const QString few = home.path() + QStringLiteral("/few");
    const QString many = home.path() + QStringLiteral("/many");
    const QString crowded = home.path() + QStringLiteral("/crowded");
    makeFiles(few, QStringLiteral("take %1.wav"), kFewItems);
    makeFiles(many, QStringLiteral("take %1.wav"), items);
    makeFiles(crowded, QStringLiteral("earlier %1.wav"), kDestinationFiles);

    SessionStore store;
    [](SessionStore &store) -> QCoro::Task<> {
        auto connect = store.connect(QStringLiteral("hoplin-demo-key"));
        co_await std::move(connect);
        QCoreApplication::quit();
    }(store);
    app.exec();
    if (!store.state().isConnected()) {
        std::fprintf(stderr, "could not sign in\n");
        return 1;
    }
    const Preset preset = failingPreset();
    store.setPresets({preset});
    if (const QString shot = qEnvironmentVariable("HOPLIN_QUEUE_SHOT"); !shot.isEmpty())
        return takeScreenshot(media.path(), store, preset, shot);

    const int rounds = qEnvironmentVariableIntValue("BENCH_ROUNDS") > 0 ? qEnvironmentVariableIntValue("BENCH_ROUNDS") : 4;
    bool ok = true;

    // Outputs next to the sources.
    Comparison beside;
    for (int round = 0; round < rounds; ++round)
        ok = compare(beside, round, media.path(), items, store, preset, ffmpeg, "beside the sources") && ok;

    // Outputs into a folder of 10,000 files, with a short and a long queue.
    Settings::shared().setValue(keys::exportLocation, QStringLiteral("customFolder"));
    Settings::shared().setValue(keys::exportFolderPath, crowded);
    Comparison crowdedFew, crowdedMany;
    bench::Rounds pageGrowth, aloneGrowth;
    for (int round = 0; round < rounds; ++round) {
        const std::size_t at = crowdedFew.pageSeconds.values.size();
        ok = compare(crowdedFew, round, few, kFewItems, store, preset, ffmpeg, "crowded folder, 500") && ok;
        ok = compare(crowdedMany, round, many, items, store, preset, ffmpeg, "crowded folder, many") && ok;
        const double scale = double(kFewItems) / items;
        pageGrowth.add(crowdedMany.pageSeconds.values[at] * scale / crowdedFew.pageSeconds.values[at]);
        aloneGrowth.add(crowdedMany.aloneSeconds.values[at] * scale / crowdedFew.aloneSeconds.values[at]);
    }
    const qsizetype left = QDir(crowded).entryList(QDir::Files | QDir::Hidden).size();
    server.terminate();
    server.waitForFinished(5000);
    if (!ok || left != kDestinationFiles) {
        std::fprintf(stderr, "unexpected outcome: %s; the crowded folder holds %lld files, not %d\n",
                     ok ? "every item failed" : "not every item failed", static_cast<long long>(left),
                     kDestinationFiles);
        return 1;
    }

    std::printf("ffmpeg fails at once; every item failed, nothing left behind; median of %d ABBA rounds (low..high)\n",
                rounds);
    std::printf("%d items, outputs beside the sources:\n", items);
    report(beside, items);
    std::printf("%d items, outputs into a folder already holding %d files:\n", kFewItems, kDestinationFiles);
    report(crowdedFew, kFewItems);
    std::printf("%d items, outputs into a folder already holding %d files:\n", items, kDestinationFiles);
    report(crowdedMany, items);
    std::printf("cost per item at %d items / at %d items, runner alone: %s (aim <= %.1fx) %s\n", items, kFewItems,
                aloneGrowth.text().c_str(), kAimGrowth, verdict(aloneGrowth.median() <= kAimGrowth));
    std::printf("cost per item at %d items / at %d items, through the page: %s (aim <= %.1fx) %s\n", items, kFewItems,
                pageGrowth.text().c_str(), kAimGrowth, verdict(pageGrowth.median() <= kAimGrowth));
    return 0;
}
