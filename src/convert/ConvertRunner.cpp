#include "ConvertRunner.h"

#include "MediaScanner.h"
#include "Preferences.h"
#include "diagnostics/ActiveJobs.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "diagnostics/TemporaryJournal.h"
#include "service/Async.h"
#include "service/SessionStore.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QSet>
#include <QTimer>
#include <csignal>
#include <cstring>
#include <sys/stat.h>

namespace hoplin {

namespace {

const QString jobKey = QStringLiteral("Conversion");

void log(const QString &message)
{
    DiagnosticsLogger::shared().log(QStringLiteral("convert"), message);
}

QString plural(qsizetype n)
{
    return n == 1 ? QString() : QStringLiteral("s");
}

const Preset *findPreset(const QList<Preset> &presets, const QString &id)
{
    for (const Preset &preset : presets) {
        if (preset.id == id)
            return &preset;
    }
    return nullptr;
}

// One conversion's private folder: ffmpeg runs in it and may write nowhere else, so whatever a
// preset writes besides the expected output goes with the folder when the conversion step ends,
// however it ends (also when the runner is destroyed while ffmpeg runs). The folder is in the
// journal of temporaries before it exists, so a killed app's next start removes it.
class WorkFolder {
public:
    explicit WorkFolder(const QString &directory)
        : m_path(OutputFiles::workFolderPath(directory))
    {
        m_journalEntry.emplace(m_path);
        m_error = OutputFiles::createWorkFolder(m_path);
    }
    ~WorkFolder() { removeNow(); }
    WorkFolder(const WorkFolder &) = delete;
    WorkFolder &operator=(const WorkFolder &) = delete;

    const QString &path() const { return m_path; }
    // 0, or why the folder could not be made.
    int error() const { return m_error; }

    void removeNow()
    {
        if (!m_journalEntry)
            return;
        if (m_error == 0)
            OutputFiles::removeWorkFolder(m_path);
        m_journalEntry.reset();
    }

private:
    QString m_path;
    int m_error = 0;
    std::optional<TemporaryJournal::Entry> m_journalEntry;
};

// A regular file of its own at `path`: what ffmpeg left there may also be a link, a folder or a
// pipe, none of which is an output.
bool isRegularFile(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
}

// SIGTERM now, SIGKILL after the grace period. The process is the timer's context, so the timer
// goes with it.
void endProcess(const QPointer<QProcess> &process)
{
    if (!process || process->state() == QProcess::NotRunning)
        return;
    process->terminate();
    QTimer::singleShot(ConvertRunner::killGraceMs, process, [process] {
        if (process && process->state() != QProcess::NotRunning)
            process->kill();
    });
}

} // namespace

ConvertRunner::ConvertRunner(QObject *parent)
    : QObject(parent)
{
}

ConvertRunner::~ConvertRunner()
{
    // The run's coroutine sees the runner gone at its next resumption and leaves everything alone,
    // so whatever the run holds outside the runner is released here.
    endProcess(m_processBox.get());
    endProcess(m_lookAheadBox.get());
    if (m_runState != RunState::Idle)
        ActiveJobs::shared().end(jobKey);
}

QList<QueueItem> ConvertRunner::items(const QString &presetID) const
{
    QList<QueueItem> result;
    for (const QueueItem &item : m_items) {
        if (item.presetID == presetID)
            result.append(item);
    }
    return result;
}

std::optional<QueueItem> ConvertRunner::item(const QUuid &id) const
{
    const qsizetype index = indexOf(id);
    return index < 0 ? std::nullopt : std::optional<QueueItem>(m_items[index]);
}

void ConvertRunner::queue(const QStringList &paths, const QString &presetID)
{
    const QStringList files = MediaScanner::collect(paths, MediaScanner::mediaExtensions());
    // Whatever its status: a finished file comes back only through remove or clear. A set, since
    // a dropped folder can hold thousands of files.
    auto identity = [](const QString &input, const QString &presetID, const QString &destination) {
        return input + QChar(0) + presetID + QChar(0) + destination;
    };
    QSet<QString> known;
    known.reserve(m_items.size() + files.size());
    for (const QueueItem &item : std::as_const(m_items))
        known.insert(identity(item.input, item.presetID, item.destination));

    qsizetype added = 0, skipped = 0;
    const qsizetype first = m_items.size();
    for (const QString &file : files) {
        const std::optional<QString> destination = Preferences::exportDirectory(file);
        if (!destination) {
            ++skipped;
            continue;
        }
        const QString key = identity(file, presetID, *destination);
        if (known.contains(key))
            continue;
        known.insert(key);
        QueueItem item;
        item.id = QUuid::createUuid();
        item.input = file;
        item.destination = *destination;
        item.presetID = presetID;
        item.status = QStringLiteral("Queued");
        m_index.insert(item.id, m_items.size());
        count(item, +1);
        m_items.append(item);
        ++added;
    }
    if (added > 0) {
        emit itemsAppended(first, added);
        emit itemsChanged();
    }

    QStringList parts;
    if (added > 0)
        parts << QStringLiteral("%1 file%2 added to the queue.").arg(QString::number(added), plural(added));
    else if (!paths.isEmpty())
        parts << QStringLiteral("Nothing new to add.");
    if (skipped > 0)
        parts << QStringLiteral("%1 file%2 skipped — choose a valid export folder in Preferences.")
                     .arg(QString::number(skipped), plural(skipped));
    setStatusLine(parts.join(u' '));
}

void ConvertRunner::run(const QList<Preset> &presets, const QString &ffmpeg, SessionStore *store)
{
    if (m_runState != RunState::Idle)
        return;
    m_stopRequested = false;
    // The task starts at once and runs up to its first wait before this returns, so the state is
    // already "running" for the caller.
    detach(runLoop(presets, ffmpeg, QPointer<SessionStore>(store)), QStringLiteral("convert"),
           QStringLiteral("conversion run"));
}

QCoro::Task<> ConvertRunner::runLoop(QList<Preset> presets, QString ffmpeg, QPointer<SessionStore> store)
{
    // Every call below is started in its own statement and only then awaited: GCC 12 destroys
    // temporaries of a co_await expression twice when the coroutine suspends inside it.
    QPointer<ConvertRunner> self(this);
    beginRun();
    // Ends the run on every way out, an escaping exception included, unless the runner is gone.
    const auto runEnds = qScopeGuard([&] {
        if (self)
            endRun();
    });
    std::optional<LookAhead> ahead;

    const auto rejectScript = [this](const QUuid &id, const QString &file, const QString &presetID,
                                     const QString &reason) {
        finishItem(id, false, QStringLiteral("✗ Script rejected"), reason);
        setStatusLine(QStringLiteral("Skipped %1: %2").arg(file, reason));
        log(QStringLiteral("script rejected preset=%1: %2").arg(presetID, reason));
    };
    while (m_runState == RunState::Running) {
        m_scanFrom = std::clamp<qsizetype>(m_scanFrom, 0, m_items.size());
        const auto next = std::find_if(m_items.cbegin() + m_scanFrom, m_items.cend(),
                                       [](const QueueItem &it) { return it.isPending(); });
        m_scanFrom = next - m_items.cbegin();
        if (next == m_items.cend())
            break;
        // A copy: the list may grow while we wait, and items are found again by id.
        const QueueItem item = *next;
        const QString file = item.fileName();
        if (ahead && !ahead->belongsTo(item)) {
            auto drop = dropLookAhead(ahead);
            co_await std::move(drop);
            if (!self)
                co_return;
            m_lookAheadBox.clear();
        }

        const Preset *preset = findPreset(presets, item.presetID);
        if (!preset) {
            finishItem(item.id, false, QStringLiteral("✗ Script unavailable"),
                       QStringLiteral(
                           "The script '%1' is not in the current preset list. Refresh scripts and retry.")
                           .arg(item.presetID));
            setStatusLine(QStringLiteral("%1: script '%2' is unavailable.").arg(file, item.presetID));
            log(QStringLiteral("script unavailable preset=%1 input=%2").arg(item.presetID, item.input));
            continue;
        }

        updateItem(item.id, [&](QueueItem &it) {
            it.status = QStringLiteral("Converting %1…").arg(file);
            it.progress.reset();
            it.remainingSeconds.reset();
        });
        setStatusLine(QStringLiteral("Converting %1…").arg(file));

        // The session this conversion runs under is the one its usage is reported for.
        const QString token = store ? store->accessToken() : QString();

        const QString base = OutputFiles::stem(file) + preset->suffix;
        // The suffix and extension come from the service: never a name outside the destination.
        if (const std::optional<QString> reason = OutputFiles::outsideNameReason(base, preset->outputExt)) {
            rejectScript(item.id, file, preset->id, *reason);
            continue;
        }
        const QString plannedOutput = OutputFiles::firstFreeOutput(item.destination, base, preset->outputExt);
        // A name that is not valid UTF-8 reached us with replacement characters in it: there is
        // no way to hand ffmpeg the real name, which would fail as "No such file or directory".
        if (item.input.contains(QChar::ReplacementCharacter) && !QFileInfo::exists(item.input)) {
            const QString reason =
                QStringLiteral("%1 cannot be named safely: its name is not valid UTF-8. Rename it and try again.")
                    .arg(file);
            finishItem(item.id, false, QStringLiteral("✗ Failed"), reason);
            setStatusLine(QStringLiteral("Failed %1: %2").arg(file, reason));
            log(QStringLiteral("unnamed input=%1").arg(item.input));
            continue;
        }

        // Earlier conversions' leftovers are the journal's to remove at start: nothing in the
        // destination is listed here, and another window's conversion keeps its folder.
        WorkFolder workFolder(item.destination);
        if (workFolder.error() != 0) {
            const QString reason = QString::fromLocal8Bit(strerror(workFolder.error()));
            finishItem(item.id, false, QStringLiteral("✗ Could not save output"), reason);
            setStatusLine(QStringLiteral("Failed %1: %2").arg(file, reason));
            log(QStringLiteral("no work folder in %1: %2").arg(item.destination, reason));
            continue;
        }
        const QString temporaryBase = OutputFiles::outputBase(workFolder.path(), OutputFiles::stem(file), preset->outputExt);
        const QString temporaryOutput = temporaryBase + preset->outputExt;

        QStringList arguments;
        try {
            arguments = buildArguments(preset->command, item.input, temporaryBase);
        } catch (const TemplateError &error) {
            rejectScript(item.id, file, preset->id, error.description());
            continue;
        }

        if (preset->maxChannels) {
            // Probed ahead while the item before converted, or now.
            auto probe = ahead ? std::move(ahead->channels)
                               : probeChannelCount(ffmpeg, item.input, holdProcess(), m_sandboxed);
            ahead.reset();
            const std::optional<int> channels = co_await std::move(probe);
            if (!self)
                co_return;
            m_processBox.clear();
            m_lookAheadBox.clear();
            if (channels && *preset->maxChannels < *channels) {
                insertDownmix(arguments, *preset->maxChannels);
                log(QStringLiteral("downmix %1ch -> %2ch for %3")
                        .arg(QString::number(*channels), QString::number(*preset->maxChannels), preset->id));
            }
        }
        if (m_runState != RunState::Running) {
            markStopped(item.id);
            break;
        }

        log(QStringLiteral("start preset=%1 input=%2 output=%3").arg(preset->id, item.input, plannedOutput));
        m_conversionClock.start();
        const QUuid id = item.id;
        // Writes only in its own folder; reads only the input besides what ffmpeg itself needs.
        const FFmpegRun::Fence fence{workFolder.path(), {item.input}, m_sandboxed};
        if (m_lookAhead && !ahead)
            ahead = probeAhead(presets, ffmpeg, item.id);
        auto conversion = runFFmpeg(
            ffmpeg, arguments, holdProcess(),
            [self, id](double fraction) {
                if (self)
                    self->setProgress(id, fraction);
            },
            fence);
        const ShellOutcome outcome = co_await std::move(conversion);
        if (!self)
            co_return;
        m_processBox.clear();
        if (m_runState != RunState::Running) {
            markStopped(item.id);
            break;
        }

        if (!outcome.success) {
            const QString summary = summarise(outcome.text);
            finishItem(item.id, false, QStringLiteral("✗ Failed (exit %1)").arg(outcome.code), summary);
            setStatusLine(QStringLiteral("Failed %1: %2").arg(file, summary));
            log(QStringLiteral("failed exit=%1 stderr=%2").arg(QString::number(outcome.code), summary));
            continue;
        }
        if (!isRegularFile(temporaryOutput)) {
            finishItem(item.id, false, QStringLiteral("✗ No output produced"),
                       QStringLiteral("The script finished but did not create the expected output file."));
            setStatusLine(QStringLiteral("Failed %1: the script produced no output.").arg(file));
            log(QStringLiteral("no output expected=%1").arg(temporaryOutput));
            continue;
        }
        // Never over an existing file: a name taken since it was planned moves on to the next.
        const OutputFiles::Placed placed =
            OutputFiles::placeOutput(temporaryOutput, item.destination, base, preset->outputExt);
        if (placed.path.isEmpty()) {
            finishItem(item.id, false, QStringLiteral("✗ Could not save output"), placed.error);
            setStatusLine(QStringLiteral("Failed %1: %2").arg(file, placed.error));
            log(QStringLiteral("save failed output=%1: %2").arg(plannedOutput, placed.error));
            continue;
        }
        workFolder.removeNow(); // side files go before the wait for the service
        const QString name = placed.path.mid(placed.path.lastIndexOf(u'/') + 1);
        updateItem(item.id, [&](QueueItem &it) {
            it.status = QStringLiteral("✓ Done → %1").arg(name);
            it.succeeded = true;
            it.output = placed.path;
            it.progress = 1.0;
            it.remainingSeconds = 0.0;
        });
        log(QStringLiteral("done output=%1").arg(placed.path));

        if (token.isEmpty() || !store)
            continue;
        const qint64 inputBytes = std::max<qint64>(0, QFileInfo(item.input).size());
        bool reported = false;
        try {
            auto report = store->reportUsage(token, preset->id, 1, inputBytes, file);
            reported = co_await std::move(report);
        } catch (const std::exception &error) {
            log(QStringLiteral("usage report failed: %1").arg(QString::fromUtf8(error.what())));
        }
        if (!self)
            co_return;
        if (!reported) {
            updateItem(item.id, [](QueueItem &it) { it.status += QStringLiteral(" (usage not reported)"); });
            setStatusLine(QStringLiteral("✓ %1 — usage reporting failed and will retry.").arg(name));
        }
    }
    // A stopped run ends only once the probe run ahead is gone as well.
    auto drop = dropLookAhead(ahead);
    co_await std::move(drop);
}

std::optional<ConvertRunner::LookAhead> ConvertRunner::probeAhead(const QList<Preset> &presets,
                                                                  const QString &ffmpeg, const QUuid &current)
{
    const auto next = std::find_if(m_items.cbegin() + indexOf(current) + 1, m_items.cend(),
                                   [](const QueueItem &it) { return it.isPending(); });
    if (next == m_items.cend())
        return std::nullopt;
    const Preset *preset = findPreset(presets, next->presetID);
    if (!preset || !preset->maxChannels)
        return std::nullopt;
    return LookAhead{next->id, next->input,
                     probeChannelCount(ffmpeg, next->input, holdProcess(&ConvertRunner::m_lookAheadBox), m_sandboxed)};
}

QCoro::Task<> ConvertRunner::dropLookAhead(std::optional<LookAhead> &ahead)
{
    if (!ahead)
        co_return;
    endProcess(m_lookAheadBox.get());
    auto probe = std::move(ahead->channels);
    ahead.reset();
    // Nothing of the runner is touched after this wait: it may be gone by then.
    co_await std::move(probe);
}

void ConvertRunner::beginRun()
{
    setRunState(RunState::Running);
    setIsRunning(true);
    ActiveJobs::shared().begin(jobKey);
    setStatusLine(QStringLiteral("Running…"));
}

void ConvertRunner::endRun()
{
    setIsRunning(false);
    setRunState(RunState::Idle);
    m_processBox.clear();
    endProcess(m_lookAheadBox.get()); // only left running when an exception ended the run
    m_lookAheadBox.clear();
    ActiveJobs::shared().end(jobKey);
    const auto [done, failed, pending] = counts();
    if (!m_stopRequested)
        setStatusLine(QStringLiteral("Queue finished — %1 done, %2 failed.").arg(QString::number(done), QString::number(failed)));
    else if (pending > 0)
        setStatusLine(QStringLiteral("Stopped — %1 file%2 still queued.").arg(QString::number(pending), plural(pending)));
    else
        setStatusLine(QStringLiteral("Stopped."));
    m_stopRequested = false;
}

void ConvertRunner::cancel()
{
    if (m_runState != RunState::Running)
        return;
    m_stopRequested = true;
    setRunState(RunState::Stopping);
    setStatusLine(QStringLiteral("Stopping…"));
    for (const ProcessBox *box : {&m_processBox, &m_lookAheadBox}) {
        box->terminate();
        const QPointer<QProcess> process = box->get();
        QTimer::singleShot(killGraceMs, this, [this, process] {
            if (m_runState != RunState::Stopping || !process || process->state() == QProcess::NotRunning)
                return;
            const qint64 pid = process->processId();
            log(QStringLiteral("force-killing ffmpeg pid=%1").arg(pid));
            if (pid > 0)
                ::kill(pid_t(pid), SIGKILL);
        });
    }
}

void ConvertRunner::clearFinished()
{
    if (m_runState != RunState::Idle)
        return;
    removeItems([](const QueueItem &item) { return !item.isPending(); });
}

bool ConvertRunner::clearPreset(const QString &presetID)
{
    if (m_runState != RunState::Idle)
        return false;
    removeItems([&](const QueueItem &item) { return item.presetID == presetID; });
    return true;
}

void ConvertRunner::remove(const QUuid &id)
{
    if (m_runState != RunState::Idle || indexOf(id) < 0)
        return;
    removeItems([&](const QueueItem &item) { return item.id == id; });
}

template <typename Predicate> qsizetype ConvertRunner::removeItems(Predicate predicate)
{
    if (std::none_of(m_items.cbegin(), m_items.cend(), predicate))
        return 0;
    emit itemsAboutToBeRemoved();
    const qsizetype removed = m_items.removeIf(predicate);
    m_index.clear();
    m_counts = {};
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        m_index.insert(m_items[i].id, i);
        count(m_items[i], +1);
    }
    m_scanFrom = 0;
    emit itemsRemoved();
    emit itemsChanged();
    return removed;
}

void ConvertRunner::count(const QueueItem &item, int delta)
{
    qsizetype &bucket = !item.succeeded ? m_counts.pending : *item.succeeded ? m_counts.done : m_counts.failed;
    bucket += delta;
}

void ConvertRunner::retry(const QUuid &id)
{
    if (m_runState != RunState::Idle || indexOf(id) < 0)
        return;
    m_scanFrom = std::min(m_scanFrom, indexOf(id));
    updateItem(id, [](QueueItem &item) {
        item.status = QStringLiteral("Queued");
        item.succeeded.reset();
        item.output.reset();
        item.errorDetail.reset();
        item.progress.reset();
        item.remainingSeconds.reset();
    });
}

void ConvertRunner::insertDownmix(QStringList &arguments, qint64 maxChannels)
{
    const qsizetype at = arguments.isEmpty() ? 0 : arguments.size() - 1;
    arguments.insert(at, QString::number(maxChannels));
    arguments.insert(at, QStringLiteral("-ac"));
}

template <typename Change> void ConvertRunner::updateItem(const QUuid &id, Change change)
{
    const qsizetype index = indexOf(id);
    if (index < 0)
        return;
    count(m_items[index], -1);
    change(m_items[index]);
    count(m_items[index], +1);
    emit itemUpdated(index);
    emit itemsChanged();
}

void ConvertRunner::finishItem(const QUuid &id, bool succeeded, const QString &status, const QString &detail)
{
    updateItem(id, [&](QueueItem &item) {
        item.status = status;
        item.succeeded = succeeded;
        item.errorDetail = detail;
        item.progress.reset();
        item.remainingSeconds.reset();
    });
}

void ConvertRunner::markStopped(const QUuid &id)
{
    // Still pending: the next run converts it again from the start.
    updateItem(id, [](QueueItem &item) {
        item.status = QStringLiteral("Stopped");
        item.progress.reset();
        item.remainingSeconds.reset();
    });
    if (const qsizetype index = indexOf(id); index >= 0)
        log(QStringLiteral("stopped input=%1").arg(m_items[index].input));
}

void ConvertRunner::setProgress(const QUuid &id, double fraction)
{
    const qsizetype index = indexOf(id);
    if (index < 0 || !m_items[index].isPending())
        return;
    QueueItem &item = m_items[index];
    item.progress = fraction;
    // The pace so far, from the start of this conversion, predicts the rest.
    const double elapsed = m_conversionClock.isValid() ? m_conversionClock.elapsed() / 1000.0 : 0.0;
    if (fraction > 0 && elapsed > 0)
        item.remainingSeconds = elapsed * (1.0 - fraction) / fraction;
    else
        item.remainingSeconds.reset();
    emit itemUpdated(index);
    emit itemProgressChanged(id);
}

void ConvertRunner::setIsRunning(bool value)
{
    if (m_isRunning == value)
        return;
    m_isRunning = value;
    emit isRunningChanged();
}

void ConvertRunner::setStatusLine(const QString &text)
{
    if (m_statusLine == text)
        return;
    m_statusLine = text;
    emit statusLineChanged();
}

void ConvertRunner::setRunState(RunState state)
{
    if (m_runState == state)
        return;
    m_runState = state;
    emit runStateChanged();
}

FFmpegRun::ProcessCallback ConvertRunner::holdProcess(ProcessBox ConvertRunner::*box)
{
    // Stored before the start, so a stop from then on reaches the process.
    return [self = QPointer<ConvertRunner>(this), box](QProcess *process) {
        if (self)
            (self->*box).set(process);
    };
}

} // namespace hoplin
