#pragma once

#include <QString>
#include <QStringList>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace hoplin {

// The process-wide diagnostics log. Lines are kept only while the user has switched logging on
// ("hoplinDiag"); callers never wait: they check the setting and read the clock, and one worker
// thread formats and redacts each line and does everything that touches the buffer or the file,
// in order.
class DiagnosticsLogger {
public:
    static constexpr int bufferLimit = 20000;
    static constexpr qint64 rotationBytes = 5 * 1024 * 1024;
    static constexpr int maxMessageCharacters = 4096;

    // The one instance; its files live in the data folder under "Logs".
    static DiagnosticsLogger &shared();

    // An instance writing into `directory`, echoing lines to `echo` (may be null). For tests and
    // benchmarks; the application uses shared().
    explicit DiagnosticsLogger(const QString &directory, FILE *echo = stdout);
    ~DiagnosticsLogger();
    DiagnosticsLogger(const DiagnosticsLogger &) = delete;
    DiagnosticsLogger &operator=(const DiagnosticsLogger &) = delete;

    void startIfEnabled();
    void log(const QString &category, const QString &message);
    void finalLog(const QString &category, const QString &message);
    void stop();
    bool exportTXT(const QString &destination);

    // Waits until every line scheduled so far has been handled. Must not run on the worker.
    void flush();
    // A copy of the in-memory lines, taken after everything scheduled so far.
    QStringList bufferSnapshot();

    QString logDirectory() const { return m_directory; }
    QString logFilePath() const { return m_directory + QStringLiteral("/hoplin-debug.log"); }

    static QString redact(const QString &message);

    // Values that never reach the log, wherever they stand in a line (a service error body can
    // echo them): the client key in use and the session's tokens. A slot ("client key", "access
    // token") keeps its current and its previous value, so a line that arrives late about the
    // last session is still covered; an empty value clears nothing. Any thread.
    static void setSecret(const QString &slot, const QString &value);
    static void clearSecrets();
    static QString environmentLine();
    static QString timestamp();

private:
    struct Task {
        enum Kind { Buffered, Final, Start, Stop, Call } kind;
        // A line's parts, as the caller gave them: the line is formatted on the worker.
        QString category;
        QString message;
        qint64 msecs = 0;    // the moment of the call, milliseconds since the epoch
        QStringList secrets; // the secret values known at that moment
        std::function<void()> call;
    };

    static qint64 now();
    static QString timestamp(qint64 msecs);
    static QString redact(const QString &message, const QStringList &secrets);
    static QString formatLine(qint64 msecs, const QString &category, const QString &message,
                              const QStringList &secrets);

    bool enabled() const;
    void post(Task task);
    void run();
    void handle(Task &task);
    void writeOut(const QByteArray &bytes);
    void flushPending();
    void openFile();
    void closeFile();
    void rotateIfNeeded();
    QString previousSessionTail() const;
    void runSync(std::function<void()> call);

    const QString m_directory;
    FILE *const m_echo;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Task> m_tasks;
    bool m_idle = false;
    bool m_quit = false;

    // Worker-only state.
    std::deque<QString> m_buffer;
    int m_fd = -1;
    qint64 m_fileSize = 0;
    QByteArray m_pendingFile; // bytes for the file not yet written, batched per wake-up
    QByteArray m_pendingEcho;

    std::thread m_worker;
};

} // namespace hoplin
