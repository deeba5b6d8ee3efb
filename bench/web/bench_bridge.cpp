// The page bridge under load: a 200 MB WAV dropped on the Correction page of a local hoplin-server
// and delivered through window.hoplinInjectFiles. Prints the time until the page confirmed the
// file, the app's peak resident memory growth and the longest main-thread stall (a 1 ms timer
// measures the gaps the event loop left between its ticks).

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
constexpr int kRuns = 2;
constexpr double kAimMs = 50.0;

// A value from /proc/self/status in kB ("VmRSS", "VmHWM").
qint64 statusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field)) + 1).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Starts the peak-RSS counter afresh (Linux: writing 5 to clear_refs).
void resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

} // namespace

int main(int argc, char **argv)
{
    test::isolateHome();
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu");
    QApplication app(argc, argv);
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

    std::printf("bench_bridge: one %.1f MB WAV through window.hoplinInjectFiles, %d runs (aim: longest stall < %.0f ms)\n",
                double(size) / 1e6, kRuns, kAimMs);
    bool allOk = true;
    for (int run = 1; run <= kRuns; ++run) {
        auto *tab = new WebTabView(store, server.url(QStringLiteral("/correction")), true, &window);
        layout->addWidget(tab);
        QSignalSpy loaded(tab, &WebTabView::pageLoaded);
        if (!loaded.wait(30000)) {
            std::fprintf(stderr, "bench_bridge: page did not load\n");
            return 1;
        }
        QSignalSpy injected(tab->dropBridge(), &DropBridge::bridgeInjected);
        // Let the engine settle so its start-up does not count.
        QTest::qWait(500);
        const qint64 rssBefore = statusKb("VmRSS:");
        resetPeak();
        bench::StallMeter meter;
        meter.start();
        QElapsedTimer clock;
        clock.start();
        tab->webView()->performDrop({QUrl::fromLocalFile(path)}, QPointF(300, 300));
        const bool confirmed = injected.wait(180000);
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        meter.stop();
        const double stall = meter.longest();
        const qint64 peak = statusKb("VmHWM:");
        const int rows = test::queueRows(tab->webView()->page());
        const bool ok = confirmed && rows == 1;
        allOk = allOk && ok;
        std::printf("run %d: confirmed=%s in %.2f s (%.1f MB/s), peak RSS growth %.1f MB, longest main-thread stall %.1f ms at %.1f s%s, %ld stalls over the aim\n",
                    run, ok ? "yes" : "NO", seconds, double(size) / 1e6 / seconds, double(peak - rssBefore) / 1024.0,
                    stall, meter.longestAt(), stall < kAimMs ? "" : " (over the aim)", meter.countOver(kAimMs));
        std::fflush(stdout);
        delete tab;
        QTest::qWait(300);
    }
    return allOk ? 0 : 1;
}
