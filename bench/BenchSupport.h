#pragma once

// Pieces the GUI benchmarks share: a meter of main-thread stalls and a local hoplin-server.
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace hoplin::bench {

// Gaps between ticks of a 1 ms timer, in milliseconds: the longest is the longest time the event
// loop was kept from running.
class StallMeter : public QObject {
public:
    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            const double gap = (now - m_last) / 1e6;
            m_longest = std::max(m_longest, gap);
            m_gaps.push_back(gap);
            m_ends.push_back(now / 1e9);
            m_last = now;
        });
    }
    void start()
    {
        m_longest = 0;
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
};

// What one round of a page benchmark measured; `keepBest` folds rounds together: the shortest times
// (the least disturbed round) and the longest stalls (the worst the user would see).
struct PageFigures {
    double seconds = 0;
    double cpu = 0;
    double addStallMs = 0;
    double runStallMs = 0;
};

inline void keepBest(PageFigures &best, const PageFigures &round, bool first)
{
    if (first) {
        best = round;
        return;
    }
    best.seconds = std::min(best.seconds, round.seconds);
    best.cpu = std::min(best.cpu, round.cpu);
    best.addStallMs = std::max(best.addStallMs, round.addStallMs);
    best.runStallMs = std::max(best.runStallMs, round.runStallMs);
}

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
