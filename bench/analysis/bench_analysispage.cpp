// A queue of a thousand files on the Analysis page against the same queue through AnalysisRunner
// alone, with the local service answering every job as failed at once (so the queue's own
// bookkeeping and the cards are what is measured, not the service's analysis), and the longest
// main-thread stall while the files are added and while the page follows the run. Rounds
// alternate ABBA; each figure is the median of the rounds with their spread.
// Usage: bench_analysispage [items, default 1000]; BENCH_ROUNDS (default 4)
#include "../BenchSupport.h"
#include "TestSupport.h"
#include "analysis/AnalysisRunner.h"
#include "analysis/ui/AnalysisView.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"
#include "ui/Theme.h"

#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cstdio>

using namespace hoplin;
using namespace std::chrono_literals;

namespace {

constexpr double kAimRatio = 1.2;
constexpr double kAimStallMs = 50.0;
// The failed mode's summary: every item must fail with it, which proves the mode took effect (a
// service still analysing would fail the 4-byte files with its own decoder's words, much later).
const QString kSummary = QStringLiteral("bench: failed at once");

using Figures = bench::PageFigures;

template <typename Add, typename Run>
Figures measure(AnalysisRunner &runner, Add add, Run run)
{
    bench::StallMeter meter;
    QElapsedTimer wall;
    wall.start();
    const double cpuStart = bench::cpuSeconds();
    meter.start();
    add();
    QCoreApplication::processEvents();
    Figures figures;
    figures.addStallMs = meter.stop();
    meter.start();
    run();
    while (runner.isRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
    figures.runStallMs = meter.stop();
    figures.seconds = wall.elapsed() / 1000.0;
    figures.cpu = bench::cpuSeconds() - cpuStart;
    return figures;
}

// Whether every item failed with the failed mode's summary.
bool allFailedAtOnce(const AnalysisRunner &runner, int items)
{
    if (runner.items().size() != items)
        return false;
    return std::all_of(runner.items().begin(), runner.items().end(), [](const AnalysisRunner::Item &item) {
        return item.succeeded == false && item.errorMessage.value_or(QString()).contains(kSummary);
    });
}

} // namespace

int main(int argc, char **argv)
{
    hoplin::test::isolateHome();
    hoplin::bench::useOffscreenWindows();
    QApplication app(argc, argv);
    theme::applyLightTheme(app);
    const int items = argc > 1 ? std::max(1, atoi(argv[1])) : 1000;

    test::LocalServer server;
    if (!server.start()) {
        std::fprintf(stderr, "hoplin-server did not start\n");
        return 1;
    }
    Settings::shared().setValue(keys::baseURL, server.url().toString());
    const test::HttpResult mode = server.adminCall(
        "POST", QStringLiteral("analysis"),
        QJsonDocument(QJsonObject{{QStringLiteral("mode"), QStringLiteral("failed")},
                                  {QStringLiteral("error_summary"), kSummary}})
            .toJson());
    if (mode.status != 200) {
        std::fprintf(stderr, "the service refused the failed mode: %d %s\n", mode.status, mode.body.constData());
        return 1;
    }

    QTemporaryDir media;
    for (int i = 0; i < items; ++i) {
        QFile file(media.filePath(QStringLiteral("take %1.wav").arg(i, 5, 10, QLatin1Char('0'))));
        file.open(QIODevice::WriteOnly);
        file.write("RIFF");
    }
    SessionStore store;
    test::runTask(store.connect(QString::fromLatin1(test::LocalServer::demoKey)));
    if (!store.state().isConnected()) {
        std::fprintf(stderr, "could not sign in\n");
        return 1;
    }

    const int rounds = qEnvironmentVariableIntValue("BENCH_ROUNDS") > 0 ? qEnvironmentVariableIntValue("BENCH_ROUNDS") : 4;
    bench::Rounds aloneWall, aloneCpu, pageWall, pageCpu, wallRatio, cpuRatio, addStall, runStall, aloneRunStall;
    bool outcomes = true;
    for (int round = 0; round < rounds; ++round) {
        Figures p, a;
        auto throughPage = [&] {
            AnalysisView view(store);
            view.setActive(true);
            view.resize(1200, 780);
            view.show();
            QCoreApplication::processEvents();
            view.runner().setPollingForTesting(10ms, 60s);
            p = measure(
                view.runner(), [&] { view.enqueue({media.path()}); }, [] {});
            outcomes = allFailedAtOnce(view.runner(), items) && outcomes;
            view.hide();
        };
        auto alone = [&] {
            AnalysisRunner runner;
            runner.setPollingForTesting(10ms, 60s);
            a = measure(
                runner, [&] { runner.queue({media.path()}); }, [&] { runner.run(&store); });
            outcomes = allFailedAtOnce(runner, items) && outcomes;
        };
        if (bench::firstSideFirst(round)) {
            throughPage();
            alone();
        } else {
            alone();
            throughPage();
        }
        std::printf("round %d (%s first): runner alone %.2f s (cpu %.2f s), page %.2f s (cpu %.2f s)\n", round + 1,
                    bench::firstSideFirst(round) ? "page" : "runner", a.seconds, a.cpu, p.seconds, p.cpu);
        std::fflush(stdout);
        aloneWall.add(a.seconds);
        aloneCpu.add(a.cpu);
        pageWall.add(p.seconds);
        pageCpu.add(p.cpu);
        wallRatio.add(p.seconds / a.seconds);
        cpuRatio.add(p.cpu / a.cpu);
        addStall.add(p.addStallMs);
        runStall.add(p.runStallMs);
        aloneRunStall.add(a.runStallMs);
    }
    if (!outcomes) {
        std::fprintf(stderr, "unexpected outcome: not every item failed with \"%s\"\n", qPrintable(kSummary));
        return 1;
    }
    const double ratio = wallRatio.median();
    const double cpu = cpuRatio.median();
    std::printf("items: %d, every job failed at once with the injected summary; median of %d ABBA rounds "
                "(low..high)\n",
                items, rounds);
    std::printf("runner alone: %s s wall, %s s cpu\n", aloneWall.text("%.2f").c_str(), aloneCpu.text("%.2f").c_str());
    std::printf("through the page: %s s wall, %s s cpu\n", pageWall.text("%.2f").c_str(), pageCpu.text("%.2f").c_str());
    std::printf("page / runner, wall: %s (aim <= %.1fx) %s\n", wallRatio.text().c_str(), kAimRatio,
                ratio <= kAimRatio ? "OK" : "OVER");
    std::printf("page / runner, cpu: %s (aim <= %.1fx) %s\n", cpuRatio.text().c_str(), kAimRatio,
                cpu <= kAimRatio ? "OK" : "OVER");
    std::printf("longest stall while adding %d files: %s ms, worst %.1f (aim < %.0f ms) %s\n", items,
                addStall.text("%.1f").c_str(), addStall.high(), kAimStallMs,
                addStall.high() < kAimStallMs ? "OK" : "OVER");
    std::printf("longest stall during the run: %s ms, worst %.1f (aim < %.0f ms) %s; runner alone %s ms\n",
                runStall.text("%.1f").c_str(), runStall.high(), kAimStallMs,
                runStall.high() < kAimStallMs ? "OK" : "OVER", aloneRunStall.text("%.1f").c_str());
    return 0;
}
