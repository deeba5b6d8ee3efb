// A queue of a thousand files on the Analysis page against the same queue through AnalysisRunner
// alone, with the local service answering every job as failed at once (so the queue's own
// bookkeeping and the cards are what is measured), and the longest main-thread stall while the
// files are added and while the page follows the run.
// Usage: bench_analysispage [items, default 1000]
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
    if (runner.items().isEmpty() || runner.items().first().succeeded != false)
        std::fprintf(stderr, "unexpected outcome\n");
    return figures;
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
    test::httpCall("POST", server.url(QStringLiteral("/__admin/analysis")),
                   QJsonDocument(QJsonObject{{QStringLiteral("mode"), QStringLiteral("failed")}}).toJson());

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

    const int rounds = qEnvironmentVariableIntValue("BENCH_ROUNDS") > 0 ? qEnvironmentVariableIntValue("BENCH_ROUNDS") : 2;
    Figures alone, page;
    for (int round = 0; round < rounds; ++round) {
        AnalysisView view(store);
        view.setActive(true);
        view.resize(1200, 780);
        view.show();
        QCoreApplication::processEvents();
        view.runner().setPollingForTesting(10ms, 60s);
        const Figures p = measure(
            view.runner(), [&] { view.enqueue({media.path()}); }, [] {});
        view.hide();

        AnalysisRunner runner;
        runner.setPollingForTesting(10ms, 60s);
        const Figures a = measure(
            runner, [&] { runner.queue({media.path()}); }, [&] { runner.run(&store); });
        std::printf("round %d: runner alone %.2f s (cpu %.2f s), page %.2f s (cpu %.2f s)\n", round + 1, a.seconds,
                    a.cpu, p.seconds, p.cpu);
        std::fflush(stdout);
        bench::keepBest(alone, a, round == 0);
        bench::keepBest(page, p, round == 0);
    }
    const double ratio = page.seconds / alone.seconds;
    const double cpuRatio = page.cpu / alone.cpu;
    std::printf("items: %d (every job fails at once), best of %d rounds\n", items, rounds);
    std::printf("runner alone: %.2f s wall, %.2f s cpu\n", alone.seconds, alone.cpu);
    std::printf("through the page: %.2f s wall, %.2f s cpu\n", page.seconds, page.cpu);
    std::printf("page / runner, wall: %.3fx (aim <= %.1fx) %s\n", ratio, kAimRatio, ratio <= kAimRatio ? "OK" : "OVER");
    std::printf("page / runner, cpu: %.3fx (aim <= %.1fx) %s\n", cpuRatio, kAimRatio, cpuRatio <= kAimRatio ? "OK" : "OVER");
    std::printf("longest stall while adding %d files: %.1f ms (aim < %.0f ms) %s\n", items, page.addStallMs,
                kAimStallMs, page.addStallMs < kAimStallMs ? "OK" : "OVER");
    std::printf("longest stall during the run: %.1f ms (aim < %.0f ms) %s; runner alone %.1f ms\n", page.runStallMs,
                kAimStallMs, page.runStallMs < kAimStallMs ? "OK" : "OVER", alone.runStallMs);
    return 0;
}
