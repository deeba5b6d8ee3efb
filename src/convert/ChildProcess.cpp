#include "ChildProcess.h"

#include <QCoro/QCoroSignal>
#include <QPointer>
#include <QTimer>

namespace hoplin {

ChildProcess::ChildProcess(QObject *parent)
    : QProcess(parent)
{
    connect(this, &QProcess::finished, this, &ChildProcess::markEnded);
    connect(this, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        // A failed start emits no finished(); every other error is followed by finished().
        if (error == QProcess::FailedToStart) {
            m_failedToStart = true;
            markEnded();
        }
    });
}

void ChildProcess::markEnded()
{
    if (m_ended)
        return;
    m_ended = true;
    emit ended();
}

QCoro::Task<> ChildProcess::run()
{
    start();
    // start() may already have failed synchronously; then ended() was emitted before we listen.
    if (!m_ended)
        co_await qCoro(this, &ChildProcess::ended);
}

void ChildProcess::killAfter(int msecs)
{
    QTimer::singleShot(msecs, this, [this] {
        if (!m_ended && state() != QProcess::NotRunning)
            kill();
    });
}

} // namespace hoplin
