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
#include <functional>
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

// SIGTERM now, SIGKILL after the grace period unless it has ended by then; `killing` hears of a
// SIGKILL just before it goes. The process is the timer's context, so the timer goes with it.
void endProcess(const QPointer<QProcess> &process, std::function<void(qint64 pid)> killing = {})
{
    if (!process || process->state() == QProcess::NotRunning)
        return;
    process->terminate();
    QTimer::singleShot(ConvertRunner::killGraceMs, process, [process, killing = std::move(killing)] {
        if (!process || process->state() == QProcess::NotRunning)
            return;
        if (killing)
            killing(process->processId());
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
    for (const QPointer<QProcess> &process : liveProcesses())
        endProcess(process);
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
    m_items.reserve(first + files.size());
    // A chosen folder is the same for every file: asked once.
    const bool beside = Preferences::exportLocation() == ExportLocation::SameAsSource;
    const std::optional<QString> chosen = beside ? std::nullopt : Preferences::customExportFolder();
    for (const QString &file : files) {
        const std::optional<QString> destination = beside ? Preferences::exportDirectory(file) : chosen;
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
        m_items.append(std::move(item));
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
    Ahead ahead;
    // The lanes start in turn, so the first claims the first pending item, the second the next.
    std::vector<QCoro::Task<>> lanes;
    for (int i = 0; i < m_concurrency; ++i)
        lanes.push_back(lane(presets, ffmpeg, store, ahead));
    // Every lane is waited for, the runner gone or not: they use this frame's `ahead`.
    std::exception_ptr failure;
    for (QCoro::Task<> &running : lanes) {
        try {
            co_await std::move(running);
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    // A stopped run ends only once the probe run ahead is gone as well.
    auto drop = dropLookAhead(ahead);
    co_await std::move(drop);
    if (failure)
        std::rethrow_exception(failure);
}

QCoro::Task<> ConvertRunner::lane(const QList<Preset> &presets, const QString &ffmpeg,
                                  QPointer<SessionStore> store, Ahead &ahead)
{
    QPointer<ConvertRunner> self(this);
    const std::shared_ptr<ProcessBox> box = newBox();
    while (m_runState == RunState::Running) {
        const std::optional<QueueItem> item = claimNext();
        if (!item)
            break;
        auto conversion = convertItem(*item, presets, ffmpeg, store, ahead, box);
        std::exception_ptr failure;
        try {
            co_await std::move(conversion);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!self)
            co_return;
        box->clear();
        m_inFlight.remove(item->id);
        if (failure)
            std::rethrow_exception(failure);
    }
}

qsizetype ConvertRunner::nextUnclaimed()
{
    m_scanFrom = std::clamp<qsizetype>(m_scanFrom, 0, m_items.size());
    while (m_scanFrom < m_items.size() && !m_items[m_scanFrom].isPending())
        ++m_scanFrom;
    // Past the finished ones, only the items other lanes hold are passed over.
    for (qsizetype i = m_scanFrom; i < m_items.size(); ++i) {
        if (m_items[i].isPending() && !m_inFlight.contains(m_items[i].id))
            return i;
    }
    return -1;
}

std::optional<QueueItem> ConvertRunner::claimNext()
{
    const qsizetype next = nextUnclaimed();
    if (next < 0)
        return std::nullopt;
    m_inFlight.insert(m_items[next].id, QElapsedTimer());
    return m_items[next];
}

QCoro::Task<> ConvertRunner::convertItem(QueueItem item, const QList<Preset> &presets, const QString &ffmpeg,
                                         QPointer<SessionStore> store, Ahead &ahead,
                                         std::shared_ptr<ProcessBox> box)
{
    QPointer<ConvertRunner> self(this);
    const QString file = item.fileName();
    const auto rejectScript = [this](const QUuid &id, const QString &file, const QString &presetID,
                                     const QString &reason) {
        finishItem(id, false, QStringLiteral("✗ Script rejected"), reason);
        setStatusLine(QStringLiteral("Skipped %1: %2").arg(file, reason));
        log(QStringLiteral("script rejected preset=%1: %2").arg(presetID, reason));
    };
    if (ahead && !ahead->belongsTo(item)) {
        auto drop = dropLookAhead(ahead);
        co_await std::move(drop);
        if (!self)
            co_return;
    }

    const Preset *preset = findPreset(presets, item.presetID);
    if (!preset) {
        finishItem(item.id, false, QStringLiteral("✗ Script unavailable"),
                   QStringLiteral("The script '%1' is not in the current preset list. Refresh scripts and retry.")
                       .arg(item.presetID));
        setStatusLine(QStringLiteral("%1: script '%2' is unavailable.").arg(file, item.presetID));
        log(QStringLiteral("script unavailable preset=%1 input=%2").arg(item.presetID, item.input));
        co_return;
    }

    updateItem(item.id, [&](QueueItem &it) {
        it.status = QStringLiteral("Converting %1…").arg(file);
        it.progress.reset();
        it.remainingSeconds.reset();
    });
    if (m_inFlight.size() > 1)
        setStatusLine(QStringLiteral("Converting %1 and %2 more…").arg(file, QString::number(m_inFlight.size() - 1)));
    else
        setStatusLine(QStringLiteral("Converting %1…").arg(file));

    // The session this conversion runs under is the one its usage is reported for.
    const QString token = store ? store->accessToken() : QString();

    const QString base = OutputFiles::stem(file) + preset->suffix;
    // The suffix and extension come from the service: never a name outside the destination.
    if (const std::optional<QString> reason = OutputFiles::outsideNameReason(base, preset->outputExt)) {
        rejectScript(item.id, file, preset->id, *reason);
        co_return;
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
        co_return;
    }

    // Earlier conversions' leftovers are the journal's to remove at start: nothing in the
    // destination is listed here, and another conversion keeps its folder.
    WorkFolder workFolder(item.destination);
    if (workFolder.error() != 0) {
        const QString reason = QString::fromLocal8Bit(strerror(workFolder.error()));
        finishItem(item.id, false, QStringLiteral("✗ Could not save output"), reason);
        setStatusLine(QStringLiteral("Failed %1: %2").arg(file, reason));
        log(QStringLiteral("no work folder in %1: %2").arg(item.destination, reason));
        co_return;
    }
    const QString temporaryBase = OutputFiles::outputBase(workFolder.path(), OutputFiles::stem(file), preset->outputExt);
    const QString temporaryOutput = temporaryBase + preset->outputExt;

    QStringList arguments;
    try {
        arguments = buildArguments(preset->command, item.input, temporaryBase);
    } catch (const TemplateError &error) {
        rejectScript(item.id, file, preset->id, error.description());
        co_return;
    }

    if (preset->maxChannels) {
        // Probed ahead while another item converted, or now.
        Ahead taken;
        if (ahead && ahead->belongsTo(item))
            taken.swap(ahead);
        auto probe = taken ? std::move(taken->channels)
                           : probeChannelCount(ffmpeg, item.input, holdProcess(box), m_sandboxed);
        const std::optional<int> channels = co_await std::move(probe);
        if (!self)
            co_return;
        box->clear();
        if (channels && *preset->maxChannels < *channels) {
            insertDownmix(arguments, *preset->maxChannels);
            log(QStringLiteral("downmix %1ch -> %2ch for %3")
                    .arg(QString::number(*channels), QString::number(*preset->maxChannels), preset->id));
        }
    }
    if (m_runState != RunState::Running) {
        markStopped(item.id);
        co_return;
    }

    log(QStringLiteral("start preset=%1 input=%2 output=%3").arg(preset->id, item.input, plannedOutput));
    m_inFlight[item.id].start();
    const QUuid id = item.id;
    // Writes only in its own folder; reads only the input besides what ffmpeg itself needs.
    const FFmpegRun::Fence fence{workFolder.path(), {item.input}, m_sandboxed};
    if (m_lookAhead && !ahead)
        ahead = probeAhead(presets, ffmpeg);
    auto conversion = runFFmpeg(
        ffmpeg, arguments, holdProcess(box),
        [self, id](double fraction) {
            if (self)
                self->setProgress(id, fraction);
        },
        fence);
    const ShellOutcome outcome = co_await std::move(conversion);
    if (!self)
        co_return;
    box->clear();
    if (m_runState != RunState::Running) {
        markStopped(item.id);
        co_return;
    }

    if (!outcome.success) {
        const QString summary = summarise(outcome.text);
        finishItem(item.id, false, QStringLiteral("✗ Failed (exit %1)").arg(outcome.code), summary);
        setStatusLine(QStringLiteral("Failed %1: %2").arg(file, summary));
        log(QStringLiteral("failed exit=%1 stderr=%2").arg(QString::number(outcome.code), summary));
        co_return;
    }
    if (!isRegularFile(temporaryOutput)) {
        finishItem(item.id, false, QStringLiteral("✗ No output produced"),
                   QStringLiteral("The script finished but did not create the expected output file."));
        setStatusLine(QStringLiteral("Failed %1: the script produced no output.").arg(file));
        log(QStringLiteral("no output expected=%1").arg(temporaryOutput));
        co_return;
    }
    // Never over an existing file: a name taken since it was planned (by a conversion running
    // beside this one, say) moves on to the next.
    const OutputFiles::Placed placed =
        OutputFiles::placeOutput(temporaryOutput, item.destination, base, preset->outputExt);
    if (placed.path.isEmpty()) {
        finishItem(item.id, false, QStringLiteral("✗ Could not save output"), placed.error);
        setStatusLine(QStringLiteral("Failed %1: %2").arg(file, placed.error));
        log(QStringLiteral("save failed output=%1: %2").arg(plannedOutput, placed.error));
        co_return;
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
        co_return;
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

ConvertRunner::Ahead ConvertRunner::probeAhead(const QList<Preset> &presets, const QString &ffmpeg)
{
    // The item the next lane to be free will claim.
    const qsizetype index = nextUnclaimed();
    if (index < 0)
        return std::nullopt;
    const QueueItem &next = m_items[index];
    const Preset *preset = findPreset(presets, next.presetID);
    if (!preset || !preset->maxChannels)
        return std::nullopt;
    std::shared_ptr<ProcessBox> box = newBox();
    auto channels = probeChannelCount(ffmpeg, next.input, holdProcess(box), m_sandboxed);
    return LookAhead{next.id, next.input, std::move(box), std::move(channels)};
}

QCoro::Task<> ConvertRunner::dropLookAhead(Ahead &ahead)
{
    if (!ahead)
        co_return;
    Ahead dropped;
    dropped.swap(ahead);
    endProcess(dropped->box->get());
    // Nothing of the runner is touched after this wait: it may be gone by then.
    co_await std::move(dropped->channels);
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
    // Only left running when an exception ended the run.
    for (const QPointer<QProcess> &process : liveProcesses())
        endProcess(process);
    m_boxes.clear();
    m_inFlight.clear();
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
    for (const QPointer<QProcess> &process : liveProcesses())
        endProcess(process, [](qint64 pid) { log(QStringLiteral("force-killing ffmpeg pid=%1").arg(pid)); });
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
    const QElapsedTimer clock = m_inFlight.value(id);
    const double elapsed = clock.isValid() ? clock.elapsed() / 1000.0 : 0.0;
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

std::shared_ptr<ProcessBox> ConvertRunner::newBox()
{
    std::erase_if(m_boxes, [](const std::weak_ptr<ProcessBox> &box) { return box.expired(); });
    auto box = std::make_shared<ProcessBox>();
    m_boxes.push_back(box);
    return box;
}

QList<QPointer<QProcess>> ConvertRunner::liveProcesses() const
{
    QList<QPointer<QProcess>> result;
    for (const std::weak_ptr<ProcessBox> &weak : m_boxes) {
        const std::shared_ptr<ProcessBox> box = weak.lock();
        const QPointer<QProcess> process = box ? box->get() : nullptr;
        if (process && process->state() != QProcess::NotRunning)
            result.append(process);
    }
    return result;
}

FFmpegRun::ProcessCallback ConvertRunner::holdProcess(const std::shared_ptr<ProcessBox> &box)
{
    // Stored before the start, so a stop from then on reaches the process.
    return [box](QProcess *process) { box->set(process); };
}

} // namespace hoplin
