#pragma once

#include <QCoro/QCoroTask>
#include <QMutex>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace hoplin {

// The outcome of one ffmpeg run.
struct ShellOutcome {
    bool success = false;
    // Exit status, or -1 when the program could not be started.
    qint32 code = 0;
    // The captured error output, or the launch error's description.
    QString text;

    static ShellOutcome succeeded() { return {true, 0, {}}; }
    static ShellOutcome failure(qint32 code, QString text) { return {false, code, std::move(text)}; }
};

// The process currently running for an owner, so that a stop can reach it.
class ProcessBox {
public:
    void set(QProcess *process);
    QPointer<QProcess> get() const;
    void clear();
    // SIGTERM to the process held, if it is running.
    void terminate() const;

private:
    mutable QMutex m_mutex;
    QPointer<QProcess> m_process;
};

// The last characters of a process's error output. Trimmed on every append, so a long conversion
// that reports progress all the time keeps its memory bounded.
class StderrTail {
public:
    static constexpr qsizetype limit = 8192;

    void append(QStringView piece);
    QString text() const;

private:
    mutable QMutex m_mutex;
    QString m_text;
};

// Follows ffmpeg's "Duration: …" and "time=…" reports in its error output. Pieces may split lines
// anywhere; only complete lines are read.
class FFmpegProgress {
public:
    // Returns true when the fraction changed.
    bool feed(QStringView text);
    // 0…1 once both the input's duration and a position are known.
    std::optional<double> fraction() const;
    std::optional<double> durationSeconds() const { return m_duration; }
    std::optional<double> positionSeconds() const { return m_position; }

    // "HH:MM:SS.xx" (hours may have more digits) into seconds.
    static std::optional<double> parseClock(QStringView text);

private:
    void readLine(QStringView line);

    QString m_partial;
    std::optional<double> m_duration;
    std::optional<double> m_position;
};

// Running ffmpeg and reading what it says on its error output.
namespace FFmpegRun {

using ProcessCallback = std::function<void(QProcess *)>;
using ProgressCallback = std::function<void(double fraction)>;

// How a run is fenced in. A preset comes from the service and can name any path or address, so
// every run is confined unless a measurement turns it off: writes only beneath `workDirectory`
// (none when empty), started there; reads only of the system, ffmpeg's own folder, `readable`
// and the work folder; no sockets.
struct Fence {
    QString workDirectory;
    QStringList readable;
    bool enabled = true;
};

// Confines `process` (its program already set) as `fence` says, and logs "sandbox unavailable: …"
// once per run of the app for each way the fence falls short.
void applyFence(QProcess *process, const Fence &fence);

// Runs ffmpeg without a shell, standard input and output at the null device, the error output
// captured into a StderrTail, fenced in by `fence`. `onProcess` sees the process before it is
// started (so a stop can reach it from then on); `onProgress` gets the conversion's progress when
// ffmpeg reports it. Never throws.
QCoro::Task<ShellOutcome> runFFmpeg(QString ffmpeg, QStringList arguments, ProcessCallback onProcess,
                                    ProgressCallback onProgress = {}, Fence fence = {});

// The input's audio channel count, from ffmpeg's description of it. `onProcess` as above. The
// probe writes nothing and reads only the input.
QCoro::Task<std::optional<int>> probeChannelCount(QString ffmpeg, QString input,
                                                  ProcessCallback onProcess = {}, bool fenced = true);

std::optional<int> parseChannelCount(const QString &probeOutput);
std::optional<int> channelCount(QStringView descriptor);

// One line for the user out of an error output, at most 220 characters.
QString summarise(const QString &text);
inline constexpr qsizetype summaryLimit = 220;

} // namespace FFmpegRun
} // namespace hoplin
