// Main-thread responsiveness of the main window while it signs in and out again and again against
// a local hoplin-server: a 1 ms timer measures the longest gap the event loop left between ticks.
#include "BenchSupport.h"
#include "app/ui/RootView.h"
#include "ui/Theme.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QCoro/QCoroSignal>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace hoplin;

namespace {

constexpr int kCycles = 200;
constexpr double kAimMs = 50.0;

QCoro::Task<bool> waitForState(SessionStore &store, ConnectionState::Kind kind)
{
    while (store.state().kind() != kind) {
        if (store.state().kind() == ConnectionState::Kind::Failed)
            co_return false;
        co_await qCoro(&store, &SessionStore::stateChanged);
    }
    co_return true;
}

// Signs in through the popover's field and "Connect", and out through "Sign out", as a user would.
QCoro::Task<int> cycle(RootView &view, SessionStore &store, int cycles)
{
    auto *field = view.findChild<QLineEdit *>(QStringLiteral("clientKeyField"));
    auto *connectButton = view.findChild<QAbstractButton *>(QStringLiteral("connectButton"));
    auto *signOut = view.findChild<QAbstractButton *>(QStringLiteral("signOutButton"));
    for (int i = 0; i < cycles; ++i) {
        field->setText(QStringLiteral("hoplin-demo-key"));
        connectButton->click();
        if (!co_await waitForState(store, ConnectionState::Kind::Connected))
            co_return i;
        signOut->click();
        if (!co_await waitForState(store, ConnectionState::Kind::Disconnected))
            co_return i;
    }
    co_return cycles;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(double(values.size()) * fraction))];
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    hoplin::bench::useHome(home.path());
    hoplin::bench::useOffscreenWindows();
    QApplication app(argc, argv);
    theme::applyLightTheme(app);

    QProcess server;
    const QString url = bench::startServer(server, QStringLiteral(HOPLIN_SERVER_BIN));
    if (url.isEmpty())
        return 1;

    // The diagnostics log stays off (its default): when on it also echoes every line here.
    Settings::shared().setValue(keys::baseURL, url);

    SessionStore store;
    RootView view(store);
    view.resize(1200, 780);
    view.show();

    bench::StallMeter meter;
    QElapsedTimer wall;
    int done = -1;
    QTimer::singleShot(200, &app, [&] {
        meter.start();
        wall.start();
        [](RootView &view, SessionStore &store, int &done) -> QCoro::Task<> {
            done = co_await cycle(view, store, kCycles);
            QCoreApplication::quit();
        }(view, store, done);
    });
    app.exec();
    meter.stop();
    const double seconds = wall.elapsed() / 1000.0;
    server.terminate();
    server.waitForFinished(5000);

    const std::vector<double> gaps = meter.gaps();
    const double longest = gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end());
    const long over16 = std::count_if(gaps.begin(), gaps.end(), [](double gap) { return gap > 16.0; });
    printf("sign-in/sign-out cycles: %d of %d in %.2f s (%.1f ms per cycle)\n", done, kCycles, seconds,
           done > 0 ? seconds * 1000 / done : 0.0);
    printf("event-loop gaps (1 ms timer, %zu ticks): median %.2f ms, p99 %.2f ms, p99.9 %.2f ms, longest %.2f ms, "
           "%ld over 16 ms\n",
           gaps.size(), percentile(gaps, 0.5), percentile(gaps, 0.99), percentile(gaps, 0.999), longest, over16);
    printf("aim: no stall over %.0f ms -> %s\n", kAimMs, longest <= kAimMs && done == kCycles ? "met" : "MISSED");
    return done == kCycles ? 0 : 1;
}
