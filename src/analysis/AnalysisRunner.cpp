#include "AnalysisRunner.h"

#include "diagnostics/ActiveJobs.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "convert/MediaScanner.h"
#include "service/Async.h"
#include "service/SessionStore.h"

#include <QCoro/QCoroTimer>
#include <QDeadlineTimer>
#include <QFile>
#include <QScopeGuard>
#include <QSet>
#include <QTextBoundaryFinder>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace hoplin {

namespace {

void log(const QString &message)
{
    DiagnosticsLogger::shared().log(QStringLiteral("analysis"), message);
}

QString plural(qsizetype n)
{
    return n == 1 ? QString() : QStringLiteral("s");
}

QString describe(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const Error *>(&error))
        return own->description();
    return QString::fromUtf8(error.what());
}

bool isPollingTimeout(const std::exception &error)
{
    const auto *own = dynamic_cast<const Error *>(&error);
    return own && own->domain() == u"Hoplin" && own->code() == AnalysisRunner::timeoutCode;
}

// The size check comes before any upload: a file above the limit never leaves the machine.
void checkFile(const QString &path, const QString &name)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        const int code = errno;
        throw Error(QStringLiteral("File"), code,
                    QStringLiteral("Could not read %1: %2").arg(name, QString::fromLocal8Bit(std::strerror(code))));
    }
    if (S_ISREG(info.st_mode) && qint64(info.st_size) > AnalysisRunner::uploadLimit)
        throw appError(AnalysisRunner::tooLargeCode,
                       QStringLiteral("%1 is larger than the 128 MiB upload limit.").arg(name));
}

} // namespace

AnalysisRunner::AnalysisRunner(QObject *parent)
    : QObject(parent)
{
}

AnalysisRunner::~AnalysisRunner()
{
    // A run still in progress resumes after this object is gone and ends itself there; cutting its
    // network wait short (once this destructor is over) keeps it from lingering.
    if (CallControlPtr control = m_control)
        QTimer::singleShot(0, [control] { control->abort(); });
    if (m_isRunning)
        ActiveJobs::shared().end(QString::fromLatin1(jobKey));
}

std::optional<AnalysisRunner::Item> AnalysisRunner::item(const QUuid &id) const
{
    const qsizetype index = indexOf(id);
    return index < 0 ? std::nullopt : std::optional<Item>(m_items[index]);
}

bool AnalysisRunner::hasPending() const
{
    return std::any_of(m_items.cbegin(), m_items.cend(), [](const Item &it) { return it.isPending(); });
}

void AnalysisRunner::queue(const QStringList &paths)
{
    const QStringList found = MediaScanner::collect(paths, MediaScanner::audioExtensions());
    if (found.isEmpty()) {
        setStatusLine(QStringLiteral("No audio files found (wav, aiff, flac, mp3, m4a, aac, ogg…)."));
        return;
    }
    qsizetype added = 0;
    const qsizetype first = m_items.size();
    // A set: a dropped folder can hold thousands of files.
    QSet<QString> known;
    known.reserve(m_items.size());
    for (const Item &it : std::as_const(m_items))
        known.insert(it.input);
    m_items.reserve(first + found.size());
    for (const QString &path : found) {
        if (known.contains(path))
            continue;
        known.insert(path);
        m_items.append(Item{QUuid::createUuid(), path, QStringLiteral("Queued")});
        ++added;
    }
    if (added == 0) {
        setStatusLine(QStringLiteral("Nothing new to add."));
        return;
    }
    emit itemsAppended(first, added);
    emit itemsChanged();
    setStatusLine(QStringLiteral("%1 file%2 queued — analysis runs on the Hoplin VPS.").arg(QString::number(added), plural(added)));
}

void AnalysisRunner::clear()
{
    if (m_runState != RunState::Idle)
        return;
    m_items.removeIf([](const Item &it) { return !it.isPending(); });
    emit itemsRemoved();
    emit itemsChanged();
    setStatusLine(QStringLiteral("Cleared."));
}

void AnalysisRunner::remove(const QUuid &id)
{
    if (m_runState != RunState::Idle)
        return;
    if (m_items.removeIf([&](const Item &it) { return it.id == id; }) > 0) {
        emit itemsRemoved();
        emit itemsChanged();
    }
}

void AnalysisRunner::retry(const QUuid &id)
{
    if (m_runState != RunState::Idle)
        return;
    const qsizetype index = indexOf(id);
    if (index < 0)
        return;
    Item &it = m_items[index];
    // A job that may still be running (a polling time-out, a failed status call) is resumed rather
    // than uploaded again; one that ended without an analysis would only end the same way again.
    if (it.jobEnded) {
        it.jobID.reset();
        it.jobEnded = false;
    }
    it.status = it.jobID ? QStringLiteral("Resuming job %1…").arg(*it.jobID) : QStringLiteral("Queued");
    it.succeeded.reset();
    it.analysis.reset();
    it.errorMessage.reset();
    it.uploadProgress.reset();
    const QString name = it.fileName();
    emit itemUpdated(id);
    emit itemsChanged();
    setStatusLine(QStringLiteral("Re-queued %1.").arg(name));
}

void AnalysisRunner::run(SessionStore *store)
{
    if (m_runState != RunState::Idle)
        return;
    m_stopRequested = false;
    // The task runs up to its first wait before this returns, so the state is already "running".
    detach(runLoop(QPointer<SessionStore>(store)), QStringLiteral("analysis"), QStringLiteral("analysis run"));
}

QCoro::Task<> AnalysisRunner::runLoop(QPointer<SessionStore> store)
{
    QPointer<AnalysisRunner> self(this);
    beginRun();
    // Ends the run on every way out, an escaping exception included, unless the runner is gone.
    const auto runEnds = qScopeGuard([&] {
        if (self)
            endRun();
    });

    while (m_runState == RunState::Running) {
        const auto next = std::find_if(m_items.cbegin(), m_items.cend(), [](const Item &it) { return it.isPending(); });
        if (next == m_items.cend())
            break;
        // Copies: the list may change while we wait, and the item is found again by id.
        const QUuid id = next->id;
        const QString input = next->input;
        const QString name = next->fileName();
        std::optional<QString> jobID = next->jobID;

        const QString token = store ? store->accessToken() : QString();
        if (token.isEmpty()) {
            const QString hint = QStringLiteral("Connect with your client key to analyse files.");
            failItem(id, QStringLiteral("✗ Not connected"), hint);
            setStatusLine(hint);
            continue;
        }
        log(QStringLiteral("start %1").arg(name));

        const CallControlPtr control = m_control = std::make_shared<CallControl>();
        try {
            checkFile(input, name);
            if (!jobID) {
                updateItem(id, [&](Item &it) {
                    it.status = QStringLiteral("Uploading %1…").arg(name);
                    it.uploadProgress = 0.0;
                });
                setStatusLine(QStringLiteral("Uploading %1…").arg(name));
                // Named, not a temporary of the co_await expression: GCC 12 may destroy such
                // temporaries twice, and this one holds a QPointer.
                const APIClient::UploadProgress progress = [self, id](qint64 sent, qint64 total) {
                    if (self && total > 0)
                        self->updateItem(id, [&](Item &it) { it.uploadProgress = double(sent) / double(total); });
                };
                const QString uploadID = co_await APIClient::uploadAudio(input, token, control, progress);
                if (!self)
                    co_return;
                control->check();
                log(QStringLiteral("uploaded upload_id=%1").arg(uploadID));

                updateItem(id, [&](Item &it) {
                    it.status = QStringLiteral("Analyzing %1…").arg(name);
                    it.uploadProgress.reset();
                });
                setStatusLine(QStringLiteral("Analyzing %1 on the VPS…").arg(name));
                const QString workflowName = QString::fromLatin1(workflow);
                // A stop does not cut this call short: the service may already have started the
                // job, and only its answer names the job to cancel.
                auto start = APIClient::processUpload(uploadID, workflowName, token, nullptr);
                jobID = co_await std::move(start);
                if (!self)
                    co_return;
                log(QStringLiteral("job started job_id=%1").arg(*jobID));
                if (m_runState != RunState::Running) {
                    requestServerCancel(*jobID, token);
                    markStopped(id, std::nullopt);
                    continue;
                }
                updateItem(id, [&](Item &it) { it.jobID = jobID; });
                m_activeJobID = jobID;
                m_activeToken = token;
            } else {
                updateItem(id, [&](Item &it) { it.status = QStringLiteral("Resuming job %1…").arg(*jobID); });
                setStatusLine(QStringLiteral("Resuming analysis for %1…").arg(name));
                m_activeJobID = jobID;
                m_activeToken = token;
            }

            const JobInfo job = co_await pollJob(*jobID, token, control);
            if (!self)
                co_return;
            if (m_runState != RunState::Running) {
                markStopped(id, jobID);
                continue;
            }
            m_activeJobID.reset();
            m_activeToken.reset();
            log(QStringLiteral("job finished job_id=%1 status=%2 error=%3")
                    .arg(*jobID, job.status.value_or(QStringLiteral("?")),
                         job.errorSummary.value_or(QStringLiteral("none"))));

            if (job.analysis && job.status.value_or(QString()).toUpper() == u"COMPLETED") {
                ++m_analyzedCount;
                updateItem(id, [&](Item &it) {
                    it.analysis = job.analysis;
                    it.status = QStringLiteral("✓ %1").arg(name);
                    it.succeeded = true;
                });
                setStatusLine(QStringLiteral("✓ %1 — %2 analysed this session.").arg(name, QString::number(m_analyzedCount)));
                continue;
            }
            const QString message =
                job.errorSummary ? *job.errorSummary
                                 : QStringLiteral("status %1").arg(job.status.value_or(QStringLiteral("unknown")));
            failItem(id, QStringLiteral("✗ %1").arg(name), message, true);
            setStatusLine(QStringLiteral("Analysis failed for %1: %2").arg(name, shortMessage(message)));
        } catch (const std::exception &error) {
            if (!self)
                co_return;
            if (m_runState != RunState::Running) {
                markStopped(id, jobID);
                continue;
            }
            const QString message = describe(error);
            const QString status = isPollingTimeout(error)
                                       ? QStringLiteral("Job %1 still running").arg(jobID.value_or(QStringLiteral("?")))
                                       : QStringLiteral("✗ %1").arg(name);
            failItem(id, status, message);
            setStatusLine(QStringLiteral("Analysis failed for %1: %2").arg(name, shortMessage(message)));
        }
    }
}

QCoro::Task<JobInfo> AnalysisRunner::pollJob(QString jobID, QString bearer, CallControlPtr control)
{
    QPointer<AnalysisRunner> self(this);
    const QDeadlineTimer deadline(m_pollLimit);
    const std::chrono::milliseconds interval = m_pollInterval;
    for (;;) {
        if (deadline.hasExpired())
            throw appError(
                timeoutCode,
                QStringLiteral("The analysis is taking longer than expected — Retry resumes the running job."));
        JobInfo job = co_await APIClient::jobInfo(jobID, bearer, control);
        if (!self)
            throw CallControl::cancelled();
        control->check();
        if (job.isFinal())
            co_return job;

        // The timer belongs to this frame, so it still fires (and the frame ends) if the runner
        // goes away meanwhile; cancel() fires it early.
        QTimer pause;
        pause.setSingleShot(true);
        pause.start(interval);
        m_pause = &pause;
        co_await pause;
        if (!self)
            throw CallControl::cancelled();
        m_pause.clear();
        control->check();
    }
}

void AnalysisRunner::cancel()
{
    if (m_runState != RunState::Running)
        return;
    m_stopRequested = true;
    setRunState(RunState::Stopping);
    setStatusLine(QStringLiteral("Stopping…"));

    // Taken first: aborting may resume the run right here, and its clean-up clears them.
    const std::optional<QString> jobID = m_activeJobID;
    const std::optional<QString> token = m_activeToken;
    if (jobID && token)
        m_cancelledJobID = jobID;
    if (CallControlPtr control = m_control)
        control->abort();
    if (m_pause)
        m_pause->start(0);

    if (jobID && token)
        requestServerCancel(*jobID, *token);
}

void AnalysisRunner::requestServerCancel(const QString &jobID, const QString &token)
{
    detach(
        [](QString jobID, QString token) -> QCoro::Task<> {
            try {
                auto call = APIClient::cancelJob(jobID, token);
                co_await std::move(call);
            } catch (const std::exception &) {
                // The outcome does not matter: the run has stopped either way.
            }
            log(QStringLiteral("server cancel requested for %1").arg(jobID));
        }(jobID, token),
        QStringLiteral("analysis"), QStringLiteral("server cancel"));
}

void AnalysisRunner::beginRun()
{
    setRunState(RunState::Running);
    setIsRunning(true);
    ActiveJobs::shared().begin(QString::fromLatin1(jobKey));
    setStatusLine(QStringLiteral("Running…"));
}

void AnalysisRunner::endRun()
{
    setRunState(RunState::Idle);
    setIsRunning(false);
    ActiveJobs::shared().end(QString::fromLatin1(jobKey));
    m_activeJobID.reset();
    m_activeToken.reset();
    m_cancelledJobID.reset();
    m_control.reset();
    m_pause.clear();

    const auto failed =
        std::count_if(m_items.cbegin(), m_items.cend(), [](const Item &it) { return it.succeeded == false; });
    if (!m_stopRequested) {
        if (failed == 0)
            setStatusLine(QStringLiteral("Queue finished — %1 file%2 analysed.")
                              .arg(QString::number(m_analyzedCount), plural(m_analyzedCount)));
        else
            setStatusLine(QStringLiteral("Queue finished — %1 analysed, %2 failed. Click a red card for details.")
                              .arg(QString::number(m_analyzedCount), QString::number(failed)));
    } else {
        const auto pending =
            std::count_if(m_items.cbegin(), m_items.cend(), [](const Item &it) { return it.isPending(); });
        if (pending > 0)
            setStatusLine(QStringLiteral("Stopped — %1 file%2 still queued.").arg(QString::number(pending), plural(pending)));
        else
            setStatusLine(QStringLiteral("Stopped."));
    }
    m_stopRequested = false;
}

QString AnalysisRunner::shortMessage(const QString &message)
{
    QString line = message;
    for (const QString &candidate : message.split(u'\n')) {
        if (!candidate.isEmpty()) {
            line = candidate;
            break;
        }
    }
    // Counted in grapheme clusters, so an emoji or an accented letter is one character and is
    // never cut in half.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, line);
    int count = 0;
    qsizetype cut = -1;
    while (finder.toNextBoundary() >= 0) {
        ++count;
        if (count == statusMessageLimit)
            cut = finder.position();
        if (count > statusMessageLimit)
            return line.left(cut) + QStringLiteral("…");
    }
    return line;
}

void AnalysisRunner::setPollingForTesting(std::chrono::milliseconds interval, std::chrono::milliseconds limit)
{
    m_pollInterval = interval;
    m_pollLimit = limit;
}

qsizetype AnalysisRunner::indexOf(const QUuid &id) const
{
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        if (m_items[i].id == id)
            return i;
    }
    return -1;
}

template <typename Change> void AnalysisRunner::updateItem(const QUuid &id, Change change)
{
    const qsizetype index = indexOf(id);
    if (index < 0)
        return;
    Item before = m_items[index];
    change(m_items[index]);
    if (m_items[index] == before)
        return;
    // Progress alone has its own, lighter signal.
    before.uploadProgress = m_items[index].uploadProgress;
    if (m_items[index] == before) {
        emit uploadProgressChanged(id);
    } else {
        emit itemUpdated(id);
        emit itemsChanged();
    }
}

void AnalysisRunner::markStopped(const QUuid &id, const std::optional<QString> &jobID)
{
    // A stop is not a failure: the item stays pending. It keeps its job unless the stop asked the
    // service to cancel that job, which could then only be resumed as "CANCELLED".
    const bool cancelled = jobID && jobID == m_cancelledJobID;
    updateItem(id, [&](Item &it) {
        it.status = QStringLiteral("Stopped");
        it.uploadProgress.reset();
        if (cancelled)
            it.jobID.reset();
    });
}

void AnalysisRunner::failItem(const QUuid &id, const QString &status, const QString &message, bool jobEnded)
{
    updateItem(id, [&](Item &it) {
        it.status = status;
        it.succeeded = false;
        it.errorMessage = message;
        it.uploadProgress.reset();
        it.jobEnded = jobEnded;
    });
}

void AnalysisRunner::setStatusLine(const QString &text)
{
    if (m_statusLine == text)
        return;
    m_statusLine = text;
    emit statusLineChanged();
}

void AnalysisRunner::setRunState(RunState state)
{
    if (m_runState == state)
        return;
    m_runState = state;
    emit runStateChanged();
}

void AnalysisRunner::setIsRunning(bool value)
{
    if (m_isRunning == value)
        return;
    m_isRunning = value;
    emit isRunningChanged();
}

} // namespace hoplin
