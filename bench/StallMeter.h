#pragma once

// Measures main-thread responsiveness: a 1 ms timer records the gaps the event loop left between
// its ticks, in milliseconds.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <vector>

class StallMeter : public QObject {
public:
    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            if (m_last >= 0) {
                m_gaps.push_back((now - m_last) / 1e6);
                m_ends.push_back(now / 1e9);
            }
            m_last = now;
        });
    }
    void start()
    {
        m_gaps.clear();
        m_ends.clear();
        m_last = -1;
        m_clock.start();
        m_timer.start();
    }
    void stop() { m_timer.stop(); }
    std::vector<double> gaps() const { return m_gaps; }
    double longest() const { return m_gaps.empty() ? 0 : *std::max_element(m_gaps.begin(), m_gaps.end()); }
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
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = -1;
    std::vector<double> m_gaps;
    std::vector<double> m_ends;
};
