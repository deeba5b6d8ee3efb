#pragma once

#include "FFmpegRun.h"
#include "OutputFiles.h"
#include "ScriptTemplate.h"
#include "service/Records.h"

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUuid>
#include <memory>
#include <optional>
#include <vector>

namespace hoplin {

class SessionStore;

// One file waiting for, undergoing or done with a conversion.
struct QueueItem {
    QUuid id;
    QString input;       // the source file's path
    QString destination; // the folder the output goes to, fixed when the item was added
    QString presetID;
    QString status;
    std::optional<bool> succeeded; // absent while pending
    std::optional<QString> output;
    std::optional<QString> errorDetail;
    // What ffmpeg reports while it converts this item: 0…1 of the input's duration, and the time
    // left at the pace so far. Absent while unknown.
    std::optional<double> progress;
    std::optional<double> remainingSeconds;

    bool isPending() const { return !succeeded.has_value(); }
    QString fileName() const { return input.mid(input.lastIndexOf(u'/') + 1); }
    bool operator==(const QueueItem &) const = default;
};

// The conversion queue of the Convert page: files are added with a preset, and a run converts the
// pending ones with the local ffmpeg, one at a time or several at once, started in queue order.
// Lives on the main thread; every property changes there and announces it.
class ConvertRunner : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<hoplin::QueueItem> items READ items NOTIFY itemsChanged)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(QString statusLine READ statusLine NOTIFY statusLineChanged)
    Q_PROPERTY(RunState runState READ runState NOTIFY runStateChanged)
    Q_PROPERTY(bool hasPending READ hasPending NOTIFY itemsChanged)
public:
    enum class RunState { Idle, Running, Stopping };
    Q_ENUM(RunState)

    // How long a stopped ffmpeg gets between SIGTERM and SIGKILL.
    static constexpr int killGraceMs = 3000;

    explicit ConvertRunner(QObject *parent = nullptr);
    ~ConvertRunner() override;

    const QList<QueueItem> &items() const { return m_items; }
    QList<QueueItem> items(const QString &presetID) const;
    std::optional<QueueItem> item(const QUuid &id) const;
    bool isRunning() const { return m_isRunning; }
    QString statusLine() const { return m_statusLine; }
    RunState runState() const { return m_runState; }
    bool hasPending() const { return m_counts.pending > 0; }

    struct Counts {
        qsizetype done = 0;
        qsizetype failed = 0;
        qsizetype pending = 0;
    };
    // Kept up to date with every change, so asking costs nothing however long the queue.
    Counts counts() const { return m_counts; }
    qsizetype indexOf(const QUuid &id) const { return m_index.value(id, -1); }

    // Adds files (folders are searched) for a preset. Never starts a run.
    void queue(const QStringList &paths, const QString &presetID);
    // Starts converting the pending items with this preset list, ffmpeg and session store; does
    // nothing unless idle. `store` may be null: nothing is reported then.
    void run(const QList<Preset> &presets, const QString &ffmpeg, SessionStore *store);
    // Stops the run: SIGTERM to every ffmpeg of it now, SIGKILL to each still there after killGraceMs.
    void cancel();

    // How many conversions a run keeps going at once (at least 1); takes effect at the next run.
    void setConcurrency(int conversions) { m_concurrency = std::max(1, conversions); }
    int concurrency() const { return m_concurrency; }

    // Every ffmpeg of a run is fenced in (see FFmpegRun::Fence). Off only to measure what the
    // fence costs; takes effect at the next run.
    void setSandboxed(bool on) { m_sandboxed = on; }
    // A channel-limited item's probe runs while the item before it converts. Off only to measure
    // what that saves; takes effect at the next run.
    void setLookAhead(bool on) { m_lookAhead = on; }

    // Queue editing; each does nothing unless idle.
    void clearFinished();
    void remove(const QUuid &id);
    // Removes every item of one preset, pending ones included; false (and nothing removed) unless idle.
    bool clearPreset(const QString &presetID);
    // The page reports its own outcomes ("Cleared.", script refreshes) on the same line.
    void setStatusLine(const QString &text);
    void retry(const QUuid &id);

    // The building blocks of a run.
    static QStringList tokenize(const QString &text) { return ScriptTemplate::tokenize(text); }
    static QStringList buildArguments(const QString &templateText, const QString &inputPath,
                                      const QString &outputBasePath)
    {
        return ScriptTemplate::buildArguments(templateText, inputPath, outputBasePath);
    }
    static QCoro::Task<ShellOutcome> runFFmpeg(QString ffmpeg, QStringList arguments,
                                               FFmpegRun::ProcessCallback onProcess,
                                               FFmpegRun::ProgressCallback onProgress = {},
                                               FFmpegRun::Fence fence = {})
    {
        return FFmpegRun::runFFmpeg(std::move(ffmpeg), std::move(arguments), std::move(onProcess),
                                    std::move(onProgress), std::move(fence));
    }
    static QCoro::Task<std::optional<int>> probeChannelCount(QString ffmpeg, QString input,
                                                             FFmpegRun::ProcessCallback onProcess = {},
                                                             bool fenced = true)
    {
        return FFmpegRun::probeChannelCount(std::move(ffmpeg), std::move(input), std::move(onProcess), fenced);
    }
    static std::optional<int> parseChannelCount(const QString &probeOutput)
    {
        return FFmpegRun::parseChannelCount(probeOutput);
    }
    static std::optional<int> channelCount(QStringView descriptor)
    {
        return FFmpegRun::channelCount(descriptor);
    }
    static QString summarise(const QString &text) { return FFmpegRun::summarise(text); }
    // "-ac" and the limit go before the last argument, which is the output in every preset.
    static void insertDownmix(QStringList &arguments, qint64 maxChannels);

signals:
    void itemsChanged();
    void isRunningChanged();
    void statusLineChanged();
    void runStateChanged();
    // The progress fields of one item changed; itemsChanged is not emitted for these.
    void itemProgressChanged(const QUuid &id);
    // Finer announcements for views that redraw one row per change. itemsChanged follows each
    // of the first three as well.
    void itemUpdated(qsizetype index); // status, outcome or progress of the item at `index`
    void itemsAppended(qsizetype first, qsizetype count);
    void itemsAboutToBeRemoved();
    void itemsRemoved();

private:
    // The channel probe of the next pending item, started while another one converts. Its result
    // is for that item only: its id and its input. Its process has a box of its own, so a stop
    // reaches it whichever conversion ends up waiting for it.
    struct LookAhead {
        QUuid id;
        QString input;
        std::shared_ptr<ProcessBox> box;
        QCoro::Task<std::optional<int>> channels;
        bool belongsTo(const QueueItem &item) const { return id == item.id && input == item.input; }
    };
    using Ahead = std::optional<LookAhead>;

    QCoro::Task<> runLoop(QList<Preset> presets, QString ffmpeg, QPointer<SessionStore> store);
    // One of a run's conversions at once: takes the next unclaimed pending item until none is left
    // or the run stops. `ahead` is shared by the lanes and outlives them.
    QCoro::Task<> lane(const QList<Preset> &presets, const QString &ffmpeg, QPointer<SessionStore> store,
                       Ahead &ahead);
    QCoro::Task<> convertItem(QueueItem item, const QList<Preset> &presets, const QString &ffmpeg,
                              QPointer<SessionStore> store, Ahead &ahead, std::shared_ptr<ProcessBox> box);
    // The index of the first pending item no lane holds, or -1.
    qsizetype nextUnclaimed();
    std::optional<QueueItem> claimNext();
    Ahead probeAhead(const QList<Preset> &presets, const QString &ffmpeg);
    static QCoro::Task<> dropLookAhead(Ahead &ahead);
    void beginRun();
    void endRun();

    template <typename Change> void updateItem(const QUuid &id, Change change);
    template <typename Predicate> qsizetype removeItems(Predicate predicate);
    void count(const QueueItem &item, int delta);
    void finishItem(const QUuid &id, bool succeeded, const QString &status, const QString &detail = {});
    void markStopped(const QUuid &id);
    void setProgress(const QUuid &id, double fraction);

    void setIsRunning(bool value);
    void setRunState(RunState state);
    // A box for one lane's or one look-ahead's processes, known to cancel() while it lives.
    std::shared_ptr<ProcessBox> newBox();
    QList<QPointer<QProcess>> liveProcesses() const;
    static FFmpegRun::ProcessCallback holdProcess(const std::shared_ptr<ProcessBox> &box);

    QList<QueueItem> m_items;
    QHash<QUuid, qsizetype> m_index;
    Counts m_counts;
    // Every item before this index is finished, so the search for the next pending one starts here.
    qsizetype m_scanFrom = 0;
    bool m_isRunning = false;
    QString m_statusLine;
    RunState m_runState = RunState::Idle;
    // The items the run's lanes hold, each with the clock of its conversion (invalid until ffmpeg starts).
    QHash<QUuid, QElapsedTimer> m_inFlight;
    std::vector<std::weak_ptr<ProcessBox>> m_boxes;
    bool m_stopRequested = false;
    bool m_sandboxed = true;
    bool m_lookAhead = true;
    int m_concurrency = 1;
};

} // namespace hoplin
