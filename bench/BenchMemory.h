#pragma once

// Readings of this process's memory for the benchmarks that prove a bound on it.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace hoplin::bench {

// A field of /proc/{pid}/status in KiB ("VmRSS", "VmHWM"), of this process unless `pid` is given;
// -1 when it cannot be read.
inline qint64 statusKiB(const char *field, qint64 pid = 0)
{
    QFile status(pid ? QStringLiteral("/proc/%1/status").arg(pid) : QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Sets the peak (VmHWM) back to the current resident size, so the next reading is this phase's peak.
inline bool resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

} // namespace hoplin::bench
