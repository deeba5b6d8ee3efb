#pragma once

// Pieces the GUI benchmarks share: a meter of main-thread stalls and a local hoplin-server.
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace hoplin::bench {

// The calling thread's CPU time, in milliseconds.
inline double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Gaps between ticks of a 1 ms timer, in milliseconds: the longest is the longest time the event
// loop was kept from running. On a busy machine a gap can also be time the thread was not
// scheduled, so the thread's own CPU time between two ticks is kept as well: the longest stretch
// of the app's own blocking work.
class StallMeter : public QObject {
public:
    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            const double gap = (now - m_last) / 1e6;
            const double cpu = threadCpuMs();
            m_busiest = std::max(m_busiest, cpu - m_lastCpu);
            m_lastCpu = cpu;
            m_longest = std::max(m_longest, gap);
            m_gaps.push_back(gap);
            m_ends.push_back(now / 1e9);
            m_last = now;
        });
    }
    void start()
    {
        m_longest = 0;
        m_busiest = 0;
        m_lastCpu = threadCpuMs();
        m_gaps.clear();
        m_ends.clear();
        m_last = 0; // a block right after the start counts too
        m_clock.start();
        m_timer.start();
    }
    // The longest gap since start().
    double stop()
    {
        m_timer.stop();
        return m_longest;
    }

    // Every gap since start(), in order.
    const std::vector<double> &gaps() const { return m_gaps; }
    double longest() const { return m_longest; }
    // The most CPU time the thread spent between two ticks since start().
    double busiest() const { return m_busiest; }
    // Seconds after start() at which the longest gap ended.
    double longestAt() const
    {
        if (m_gaps.empty())
            return 0;
        return m_ends[std::size_t(std::max_element(m_gaps.begin(), m_gaps.end()) - m_gaps.begin())];
    }
    long countOver(double ms) const
    {
        return long(std::count_if(m_gaps.begin(), m_gaps.end(), [ms](double gap) { return gap > ms; }));
    }

private:
    std::vector<double> m_gaps;
    std::vector<double> m_ends;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    double m_longest = 0;
    double m_lastCpu = 0;
    double m_busiest = 0;
};

// What one round of a page benchmark measured.
struct PageFigures {
    double seconds = 0;
    double cpu = 0;
    double addStallMs = 0;
    double runStallMs = 0;
    double addBusyMs = 0; // the main thread's own work within the longest stretch, see StallMeter
    double runBusyMs = 0;
};

// ABBA order over consecutive rounds: the first side goes first in rounds 0, 3, 4, 7, ... and
// second in rounds 1, 2, 5, 6, ..., so a drift of the machine's load hits both sides alike.
inline bool firstSideFirst(int round)
{
    const int phase = round % 4;
    return phase == 0 || phase == 3;
}

// The rounds of one figure: their median, and the lowest and highest as the spread. Never the best
// round alone: a reader is told what a typical round measured and how far the rounds strayed.
struct Rounds {
    std::vector<double> values;

    void add(double value) { values.push_back(value); }
    bool empty() const { return values.empty(); }
    double median() const
    {
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t n = sorted.size();
        if (n == 0)
            return 0;
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
    double low() const { return values.empty() ? 0 : *std::min_element(values.begin(), values.end()); }
    double high() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
    // Half the range around the median, in percent of it.
    double spreadPercent() const
    {
        const double m = median();
        return m == 0 ? 0 : 100.0 * (high() - low()) / 2 / m;
    }
    // "1.234 (1.200..1.300, +-4.1%, 6 rounds)" with `format` for each number.
    std::string text(const char *format = "%.3f") const
    {
        auto number = [format](double value) {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, format, value);
            return std::string(buffer);
        };
        // Around zero (a difference) a percentage says nothing: the half-range is given instead.
        const double halfRange = (high() - low()) / 2;
        char tail[96];
        if (std::abs(median()) > halfRange)
            std::snprintf(tail, sizeof tail, ", +-%.1f%%, %zu rounds)", spreadPercent(), values.size());
        else
            std::snprintf(tail, sizeof tail, ", +-%s, %zu rounds)", number(halfRange).c_str(), values.size());
        return number(median()) + " (" + number(low()) + ".." + number(high()) + tail;
    }
};

// Points HOME, the XDG config and data folders and TMPDIR of this process into `folder`, so a
// benchmark never reads or writes the user's own settings, logs or temporary files.
inline void useHome(const QString &folder)
{
    for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "TMPDIR"})
        qputenv(name, QFile::encodeName(folder));
}

// GUI benchmarks draw offscreen unless told otherwise; the window's web tabs start their engine,
// which refuses to run as root with its sandbox on.
inline void useOffscreenWindows()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS"))
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu");
}

// CPU time of this process (all its threads, not its children), in seconds.
inline double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Starts the local service on a free port; returns its address, or an empty text.
inline QString startServer(QProcess &server, const QString &binary)
{
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start(binary, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--quiet")});
    if (!server.waitForStarted() || !server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "hoplin-server did not start\n");
        return {};
    }
    return QString::fromUtf8(server.readLine()).trimmed();
}

} // namespace hoplin::bench
