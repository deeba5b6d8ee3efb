#pragma once

// Readings of this process's memory for the benchmarks that prove a bound on it.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QString>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace hoplin::bench {

// A field of /proc/{pid}/status in KiB ("VmRSS", "VmHWM"); -1 when it cannot be read.
inline qint64 statusKiB(const char *field, const QString &pid = QStringLiteral("self"))
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

inline qint64 statusKiB(const char *field, qint64 pid)
{
    return statusKiB(field, QString::number(pid));
}

// Sets the peak (VmHWM) back to the current resident size, so the next reading is this phase's peak.
inline bool resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

// The processes below this one (the web engine's helpers among them), found through the parent
// field of /proc/{pid}/stat.
inline QList<int> descendants()
{
    QHash<int, QList<int>> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool number = false;
        const int pid = entry.toInt(&number);
        if (!number)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1)
            children[fields[1].toInt()].append(pid);
    }
    QList<int> found;
    QList<int> next{int(::getpid())};
    while (!next.isEmpty()) {
        const int pid = next.takeLast();
        for (int child : children.value(pid)) {
            found.append(child);
            next.append(child);
        }
    }
    return found;
}

// What a process is: its name, with the web engine's "--type=" when it has one.
inline QString processKind(int pid)
{
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!cmdline.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    const QList<QByteArray> arguments = cmdline.readAll().split('\0');
    QString kind = QString::fromLocal8Bit(arguments.value(0)).section(QLatin1Char('/'), -1);
    for (const QByteArray &argument : arguments) {
        if (argument.startsWith("--type="))
            kind += QLatin1Char(' ') + QString::fromLatin1(argument.mid(7));
    }
    return kind;
}

// Samples the resident memory of this process and all its descendants every few milliseconds on a
// thread of its own (so a blocked main thread does not hide a peak): the peak of the sum, and the
// per-process resident sizes at that moment. Per-process peaks (VmHWM, reset at start) are read
// too; their sum bounds the tree's peak from above, as the processes need not peak together.
class TreeMemory {
public:
    struct Process {
        int pid = 0;
        QString kind;
        qint64 beforeKiB = 0; // resident at start()
        qint64 atPeakKiB = 0; // resident when the tree's sum peaked
        qint64 peakKiB = 0;   // the process's own peak (VmHWM) since start()
    };

    ~TreeMemory() { stop(); }

    void start()
    {
        stop();
        m_processes.clear();
        m_peakKiB = 0;
        for (int pid : QList<int>{int(::getpid())} + descendants())
            track(pid);
        m_beforeKiB = 0;
        for (const Process &process : std::as_const(m_processes))
            m_beforeKiB += process.beforeKiB;
        m_running = true;
        m_thread = std::thread([this] { sample(); });
    }

    // Ends the sampling; then the figures below hold.
    void stop()
    {
        if (!m_thread.joinable())
            return;
        m_running = false;
        m_thread.join();
        for (Process &process : m_processes)
            process.peakKiB = std::max(process.peakKiB, statusKiB("VmHWM", QString::number(process.pid)));
    }

    qint64 beforeKiB() const { return m_beforeKiB; }
    qint64 peakKiB() const { return m_peakKiB; }
    qint64 peakGrowthKiB() const { return m_peakKiB - m_beforeKiB; }
    // The sum of the per-process peaks' growth: an upper bound of the tree's peak growth.
    qint64 boundGrowthKiB() const
    {
        qint64 sum = 0;
        for (const Process &process : m_processes)
            sum += process.peakKiB - process.beforeKiB;
        return sum;
    }
    const QList<Process> &processes() const { return m_processes; }
    bool peaksReset() const { return m_peaksReset; }

private:
    void track(int pid)
    {
        Process process;
        process.pid = pid;
        process.kind = processKind(pid);
        const QString name = QString::number(pid);
        QFile clear(QStringLiteral("/proc/%1/clear_refs").arg(pid));
        m_peaksReset = clear.open(QIODevice::WriteOnly) && clear.write("5") == 1 && m_peaksReset;
        process.beforeKiB = std::max<qint64>(0, statusKiB("VmRSS", name));
        process.atPeakKiB = process.beforeKiB;
        process.peakKiB = std::max<qint64>(0, statusKiB("VmHWM", name));
        m_processes.append(process);
    }

    void sample()
    {
        using namespace std::chrono;
        auto lastScan = steady_clock::now();
        while (m_running) {
            // A helper started during the measurement counts from zero.
            if (steady_clock::now() - lastScan > milliseconds(200)) {
                lastScan = steady_clock::now();
                for (int pid : descendants()) {
                    if (std::none_of(m_processes.begin(), m_processes.end(),
                                     [pid](const Process &p) { return p.pid == pid; })) {
                        track(pid);
                        m_processes.last().beforeKiB = 0;
                    }
                }
            }
            qint64 sum = 0;
            QList<qint64> now;
            for (const Process &process : std::as_const(m_processes)) {
                now.append(std::max<qint64>(0, statusKiB("VmRSS", QString::number(process.pid))));
                sum += now.last();
            }
            if (sum > m_peakKiB) {
                m_peakKiB = sum;
                for (qsizetype i = 0; i < m_processes.size(); ++i)
                    m_processes[i].atPeakKiB = now[i];
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
    }

    QList<Process> m_processes;
    qint64 m_beforeKiB = 0;
    qint64 m_peakKiB = 0;
    bool m_peaksReset = true;
    std::atomic<bool> m_running{false};
    std::thread m_thread;
};

} // namespace hoplin::bench
