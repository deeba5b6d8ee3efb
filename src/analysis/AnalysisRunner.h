#pragma once

#include "AnalysisAPI.h"
#include "AnalysisDocument.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUuid>
#include <chrono>
#include <optional>

class QTimer;

namespace hoplin {

class SessionStore;

// The queue of the Analysis page: uploads each pending file to the service, starts an analysis
// job, polls it to a final state and keeps the analysis in the file's item. One file at a time;
// a job that outlived its polling time is resumed by a retry without uploading again. Lives on
// the main thread; every property changes there and announces it.
class AnalysisRunner : public QObject {
    Q_OBJECT
public:
    enum class RunState { Idle, Running, Stopping };
    Q_ENUM(RunState)

    struct Item {
        QUuid id;
        QString input; // the audio file's path
        QString status;
        std::optional<bool> succeeded; // absent while pending
        std::optional<AnalysisPayload> analysis;
        std::optional<QString> jobID;
        // The job reached a final state without a usable analysis: polling it again cannot help,
        // so a retry uploads the file anew.
        bool jobEnded = false;
        std::optional<QString> errorMessage;
        // 0…1 of the body sent while the file uploads; absent otherwise.
        std::optional<double> uploadProgress;

        bool isPending() const { return !succeeded.has_value(); }
        QString fileName() const { return input.mid(input.lastIndexOf(u'/') + 1); }
        bool operator==(const Item &) const = default;
    };

    static constexpr qint64 uploadLimit = Multipart::uploadLimit;
    static constexpr int statusMessageLimit = 140; // user-perceived characters
    static constexpr auto workflow = "audio_info";
    static constexpr auto jobKey = "Analysis";
    // Error codes of the runner's own errors (domain "Hoplin").
    static constexpr int timeoutCode = 2;
    static constexpr int tooLargeCode = Multipart::tooLargeCode;

    explicit AnalysisRunner(QObject *parent = nullptr);
    ~AnalysisRunner() override;

    const QList<Item> &items() const { return m_items; }
    std::optional<Item> item(const QUuid &id) const;
    bool isRunning() const { return m_isRunning; }
    QString statusLine() const { return m_statusLine; }
    RunState runState() const { return m_runState; }
    int analyzedCount() const { return m_analyzedCount; }
    bool hasPending() const;

    // Adds the audio files found in these files and folders; works in every state.
    void queue(const QStringList &paths);
    // Queue editing; each does nothing unless idle.
    void clear();
    void remove(const QUuid &id);
    void retry(const QUuid &id);
    // Starts a run unless one is active. The store's current session is read per file.
    void run(SessionStore *store);
    // Stops the run and asks the service to cancel the job being polled.
    void cancel();

    // The page reports its own outcomes (a saved report) here too.
    void setStatusLine(const QString &text);

    // The first non-empty line, cut to statusMessageLimit user-perceived characters plus "…".
    static QString shortMessage(const QString &message);

    // Tests only: a faster polling pace and a shorter limit.
    void setPollingForTesting(std::chrono::milliseconds interval, std::chrono::milliseconds limit);

signals:
    void itemsChanged();
    void isRunningChanged();
    void statusLineChanged();
    void runStateChanged();
    // The upload progress of one item moved; itemsChanged is not emitted for that.
    void uploadProgressChanged(const QUuid &id);
    // Finer announcements for pages that redraw one card per change; itemsChanged follows each.
    void itemUpdated(const QUuid &id);
    void itemsAppended(qsizetype first, qsizetype count);
    void itemsRemoved();

private:
    QCoro::Task<> runLoop(QPointer<SessionStore> store);
    QCoro::Task<JobInfo> pollJob(QString jobID, QString bearer, CallControlPtr control);

    void beginRun();
    void endRun();
    qsizetype indexOf(const QUuid &id) const;
    template <typename Change> void updateItem(const QUuid &id, Change change);
    void failItem(const QUuid &id, const QString &status, const QString &message, bool jobEnded = false);
    void markStopped(const QUuid &id, const std::optional<QString> &jobID);
    // Asks the service to cancel a job, without waiting; logs once the call has ended.
    void requestServerCancel(const QString &jobID, const QString &token);
    void setRunState(RunState state);
    void setIsRunning(bool value);

    QList<Item> m_items;
    bool m_isRunning = false;
    QString m_statusLine;
    RunState m_runState = RunState::Idle;
    bool m_stopRequested = false;
    int m_analyzedCount = 0;
    std::optional<QString> m_activeJobID;
    std::optional<QString> m_activeToken;
    // The job a stop asked the service to cancel; it cannot be resumed afterwards.
    std::optional<QString> m_cancelledJobID;
    // The current run's calls and its pause between polls, so cancel() can end whichever waits.
    CallControlPtr m_control;
    QPointer<QTimer> m_pause;
    std::chrono::milliseconds m_pollInterval{1500};
    std::chrono::milliseconds m_pollLimit{900000};
};

} // namespace hoplin
