// The page bridge under load: a 200 MB WAV dropped on the Correction page of a local hoplin-server
// and delivered through window.hoplinInjectFiles. Prints the time until the page confirmed the
// file, the longest main-thread stall (a 1 ms timer measures the gaps the event loop left between
// its ticks) and the memory of the whole process tree: the app and every web engine helper (the
// page's renderer holds the Base64 text and the page's copies), sampled every 5 ms from the drop
// until the page confirmed the file. Aim: the tree grows by at most twice the file at its peak.
// What the page does with the file after it confirmed it (its own preview decoding) is not counted.

#include "BenchMemory.h"
#include "BenchSupport.h"
#include "TestSupport.h"
#include "WebTestUtil.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"
#include "web/DropRouter.h"
#include "web/ui/DropBridge.h"
#include "web/ui/HoplinWebView.h"
#include "web/ui/WebTabView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

using namespace hoplin;

namespace {

constexpr qint64 kFileBytes = 200LL * 1000 * 1000;
constexpr double kAimMs = 50.0;
constexpr double kAimTreeFactor = 2.0;

double megabytes(qint64 kib)
{
    return double(kib) * 1024 / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    test::isolateHome();
    bench::useOffscreenWindows();
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    test::LocalServer server;
    if (!server.start()) {
        std::fprintf(stderr, "bench_bridge: hoplin-server did not start\n");
        return 1;
    }
    Settings::shared().setValue(QString::fromLatin1(keys::baseURL), server.url().toString());

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("long take.wav"));
    if (!test::writeWav(path, double(kFileBytes - 44) / (48000 * 4), 0.5)) {
        std::fprintf(stderr, "bench_bridge: cannot write %s\n", qPrintable(path));
        return 1;
    }
    const qint64 size = QFileInfo(path).size();

    SessionStore store;
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    window.resize(1200, 780);
    window.show();

    std::printf("bench_bridge: one %.1f MB WAV through window.hoplinInjectFiles, %d runs (aims: longest stall < %.0f "
                "ms, process tree grows by <= %.0fx the file)\n",
                double(size) / 1e6, runs, kAimMs, kAimTreeFactor);
    bool allOk = true;
    bench::Rounds seconds, stalls, treeGrowth, bound, appGrowth, helperGrowth;
    for (int run = 1; run <= runs; ++run) {
        auto *tab = new WebTabView(store, server.url(QStringLiteral("/correction")), true, &window);
        layout->addWidget(tab);
        QSignalSpy loaded(tab, &WebTabView::pageLoaded);
        if (!loaded.wait(30000)) {
            std::fprintf(stderr, "bench_bridge: page did not load\n");
            return 1;
        }
        QSignalSpy injected(tab->dropBridge(), &DropBridge::bridgeInjected);
        // Let the engine settle so its start-up does not count.
        QTest::qWait(1000);
        bench::TreeMemory memory;
        memory.start();
        bench::StallMeter meter;
        meter.start();
        QElapsedTimer clock;
        clock.start();
        tab->webView()->performDrop({QUrl::fromLocalFile(path)}, QPointF(300, 300));
        const bool confirmed = injected.wait(180000);
        const double elapsed = double(clock.nsecsElapsed()) / 1e9;
        meter.stop();
        memory.stop();
        const double stall = meter.longest();
        const int rows = test::queueRows(tab->webView()->page());
        const bool ok = confirmed && rows == 1 && memory.processes().size() > 1;
        allOk = allOk && ok;
        qint64 app = 0, helpers = 0;
        for (const bench::TreeMemory::Process &process : memory.processes())
            (process.pid == ::getpid() ? app : helpers) += process.atPeakKiB - process.beforeKiB;
        std::printf("run %d: confirmed=%s (%d row) in %.2f s (%.1f MB/s), longest main-thread stall %.1f ms at %.1f s, "
                    "%ld stalls over the aim\n",
                    run, ok ? "yes" : "NO", rows, elapsed, double(size) / 1e6 / elapsed, stall, meter.longestAt(),
                    meter.countOver(kAimMs));
        std::printf("  tree: %.0f MB before, peak growth %.1f MB (%.2fx the file): app %.1f MB, helpers %.1f MB; sum "
                    "of per-process peaks %.1f MB%s\n",
                    megabytes(memory.beforeKiB()), megabytes(memory.peakGrowthKiB()),
                    double(memory.peakGrowthKiB()) * 1024 / double(size), megabytes(app), megabytes(helpers),
                    megabytes(memory.boundGrowthKiB()), memory.peaksReset() ? "" : " (peaks NOT reset)");
        for (const bench::TreeMemory::Process &process : memory.processes())
            std::printf("    %-34s pid %6d: %7.1f MB before, %+7.1f MB at the tree's peak, own peak %+7.1f MB\n",
                        qPrintable(process.kind.left(34)), process.pid, megabytes(process.beforeKiB),
                        megabytes(process.atPeakKiB - process.beforeKiB),
                        megabytes(process.peakKiB - process.beforeKiB));
        std::fflush(stdout);
        seconds.add(elapsed);
        stalls.add(stall);
        treeGrowth.add(double(memory.peakGrowthKiB()) * 1024 / double(size));
        bound.add(double(memory.boundGrowthKiB()) * 1024 / double(size));
        appGrowth.add(megabytes(app));
        helperGrowth.add(megabytes(helpers));
        delete tab;
        QTest::qWait(1000);
    }
    std::printf("median of %d runs (low..high):\n", runs);
    std::printf("  until the page confirmed: %s s\n", seconds.text("%.2f").c_str());
    std::printf("  longest main-thread stall: %s ms (aim < %.0f ms) %s\n", stalls.text("%.1f").c_str(), kAimMs,
                stalls.high() < kAimMs ? "met" : "MISSED");
    std::printf("  process tree peak growth / file size: %s (aim <= %.1fx) %s\n", treeGrowth.text("%.2f").c_str(),
                kAimTreeFactor, treeGrowth.median() <= kAimTreeFactor ? "met" : "MISSED");
    std::printf("    of it, MB at the peak: app %s, web engine helpers %s\n", appGrowth.text("%.0f").c_str(),
                helperGrowth.text("%.0f").c_str());
    std::printf("  sum of per-process peaks / file size (upper bound): %s\n", bound.text("%.2f").c_str());
    return allOk ? 0 : 1;
}
