#pragma once

#include <QCoro/QCoroTask>
#include <QProcess>
#include <memory>

namespace hoplin {

// A QProcess that can be awaited to its end, whether it finished or never started. QCoro's own
// waitForFinished() times out after 30 s and never resumes on a failed start; this does neither.
// Hold it in a ChildProcess::Ptr, which deletes it later from the event loop: destroying a running
// QProcess blocks the thread until the child has been killed and reaped.
class ChildProcess : public QProcess {
    Q_OBJECT
public:
    struct DeleteLater {
        void operator()(ChildProcess *process) const { process->deleteLater(); }
    };
    using Ptr = std::unique_ptr<ChildProcess, DeleteLater>;
    static Ptr create() { return Ptr(new ChildProcess()); }

    explicit ChildProcess(QObject *parent = nullptr);

    // Starts the program and resumes once it has ended. Never throws.
    QCoro::Task<> run();

    bool hasEnded() const { return m_ended; }
    bool failedToStart() const { return m_failedToStart; }

    // Schedules SIGKILL after `msecs` unless the process has ended by then; the process itself is
    // the timer's context, so the timer cannot outlive it.
    void killAfter(int msecs);

signals:
    void ended();

private:
    void markEnded();

    bool m_ended = false;
    bool m_failedToStart = false;
};

} // namespace hoplin
