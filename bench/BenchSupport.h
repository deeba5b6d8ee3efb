#pragma once

// Pieces the GUI benchmarks share: a meter of main-thread stalls and a local hoplin-server.
#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <cstdio>
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
            m_longest = std::max(m_longest, (now - m_last) / 1e6);
            m_last = now;
        });
    }
    void start()
    {
        m_longest = 0;
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

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    double m_longest = 0;
};

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
