#include "FFmpegRun.h"

#include "ChildProcess.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Sandbox.h"

#include <QMutexLocker>
#include <QSet>
#include <QStringDecoder>
#include <memory>

namespace hoplin {

void ProcessBox::set(QProcess *process)
{
    QMutexLocker locker(&m_mutex);
    m_process = process;
}

QPointer<QProcess> ProcessBox::get() const
{
    QMutexLocker locker(&m_mutex);
    return m_process;
}

void ProcessBox::clear()
{
    set(nullptr);
}

void ProcessBox::terminate() const
{
    const QPointer<QProcess> process = get();
    if (process && process->state() != QProcess::NotRunning)
        process->terminate();
}

void StderrTail::append(QStringView piece)
{
    QMutexLocker locker(&m_mutex);
    m_text.append(piece);
    if (m_text.size() > limit) {
        qsizetype cut = m_text.size() - limit;
        // Never keep half of a surrogate pair at the front.
        if (m_text[cut].isLowSurrogate())
            ++cut;
        m_text.remove(0, cut);
    }
}

QString StderrTail::text() const
{
    QMutexLocker locker(&m_mutex);
    return m_text;
}

bool FFmpegProgress::feed(QStringView text)
{
    const std::optional<double> before = fraction();
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\r' && text[i] != u'\n')
            continue;
        if (m_partial.isEmpty()) {
            readLine(text.sliced(start, i - start));
        } else {
            m_partial.append(text.sliced(start, i - start));
            readLine(m_partial);
            m_partial.clear();
        }
        start = i + 1;
    }
    m_partial.append(text.sliced(start));
    // A "line" this long is not one of the reports we look for.
    if (m_partial.size() > 4096)
        m_partial.clear();
    return fraction() != before;
}

void FFmpegProgress::readLine(QStringView line)
{
    if (!m_duration) {
        // The first input's duration; "Duration: N/A" leaves the progress unknown.
        const qsizetype at = line.indexOf(u"Duration: ");
        if (at >= 0) {
            const auto duration = parseClock(line.sliced(at + 10));
            if (duration && *duration > 0)
                m_duration = duration;
        }
    }
    const qsizetype at = line.lastIndexOf(u"time=");
    if (at >= 0) {
        if (const auto position = parseClock(line.sliced(at + 5)))
            m_position = std::max(0.0, *position);
    }
}

std::optional<double> FFmpegProgress::fraction() const
{
    if (!m_duration || !m_position)
        return std::nullopt;
    return std::clamp(*m_position / *m_duration, 0.0, 1.0);
}

std::optional<double> FFmpegProgress::parseClock(QStringView text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    bool negative = false;
    if (i < n && text[i] == u'-') {
        negative = true;
        ++i;
    }
    auto digits = [&](qsizetype minCount, qsizetype maxCount, double *value) {
        qsizetype count = 0;
        double result = 0;
        while (i < n && text[i].isDigit() && text[i].unicode() < 128 && count < maxCount) {
            result = result * 10 + (text[i].unicode() - u'0');
            ++i;
            ++count;
        }
        *value = result;
        return count >= minCount;
    };
    double hours = 0, minutes = 0, seconds = 0;
    if (!digits(1, 9, &hours) || i >= n || text[i] != u':')
        return std::nullopt;
    ++i;
    if (!digits(2, 2, &minutes) || i >= n || text[i] != u':')
        return std::nullopt;
    ++i;
    if (!digits(2, 2, &seconds))
        return std::nullopt;
    double fraction = 0;
    if (i < n && text[i] == u'.') {
        ++i;
        double scale = 0.1;
        while (i < n && text[i].unicode() >= u'0' && text[i].unicode() <= u'9') {
            fraction += (text[i].unicode() - u'0') * scale;
            scale /= 10;
            ++i;
        }
    }
    const double total = hours * 3600 + minutes * 60 + seconds + fraction;
    return negative ? -total : total;
}

namespace FFmpegRun {

void applyFence(QProcess *process, const Fence &fence)
{
    if (!fence.enabled)
        return;
    const platform::Sandbox::Status status =
        platform::Sandbox::confine(process, {fence.workDirectory, fence.readable});
    if (status.reason.isEmpty())
        return;
    static QMutex mutex;
    static QSet<QString> told;
    const QMutexLocker locker(&mutex);
    if (!told.contains(status.reason)) {
        told.insert(status.reason);
        DiagnosticsLogger::shared().log(QStringLiteral("convert"),
                                        QStringLiteral("sandbox unavailable: %1").arg(status.reason));
    }
}

namespace {

// Decodes error output as it arrives. The decoder keeps a character that a read split in two for
// the next piece instead of losing the piece.
struct StderrReader {
    StderrTail tail;
    QStringDecoder decoder{QStringDecoder::Utf8};
    FFmpegProgress progress;
    ProgressCallback onProgress;

    void consume(const QByteArray &bytes)
    {
        if (bytes.isEmpty())
            return;
        const QString text = decoder.decode(bytes);
        if (text.isEmpty())
            return;
        tail.append(text);
        if (onProgress && progress.feed(text))
            onProgress(*progress.fraction());
    }
};

} // namespace

QCoro::Task<ShellOutcome> runFFmpeg(QString ffmpeg, QStringList arguments, ProcessCallback onProcess,
                                    ProgressCallback onProgress, Fence fence)
{
    const ChildProcess::Ptr process = ChildProcess::create();
    process->setProgram(ffmpeg);
    process->setArguments(arguments);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    applyFence(process.get(), fence);

    auto reader = std::make_shared<StderrReader>();
    reader->onProgress = std::move(onProgress);
    ChildProcess *raw = process.get();
    QObject::connect(raw, &QProcess::readyReadStandardError, raw,
                     [raw, reader] { reader->consume(raw->readAllStandardError()); });

    if (onProcess)
        onProcess(raw);
    co_await raw->run();

    if (raw->failedToStart())
        co_return ShellOutcome::failure(-1, raw->errorString());
    // What is still buffered belongs to the end of the output, where the error usually is.
    reader->consume(raw->readAllStandardError());
    if (raw->exitStatus() == QProcess::NormalExit && raw->exitCode() == 0)
        co_return ShellOutcome::succeeded();
    // A process killed by a signal reports the signal number; never let it pass as 0.
    const int code = raw->exitCode() != 0 ? raw->exitCode() : -1;
    co_return ShellOutcome::failure(code, reader->tail.text());
}

QCoro::Task<std::optional<int>> probeChannelCount(QString ffmpeg, QString input, ProcessCallback onProcess,
                                                  bool fenced)
{
    // Without an output ffmpeg describes the input and exits with an error; a success means it
    // did something else, and its output says nothing we can trust.
    QStringList arguments;
    arguments << QStringLiteral("-hide_banner") << QStringLiteral("-i") << input;
    // Started apart from the co_await, see runLoop.
    auto run = runFFmpeg(ffmpeg, arguments, std::move(onProcess), {}, Fence{QString(), {input}, fenced});
    const ShellOutcome outcome = co_await std::move(run);
    if (outcome.success)
        co_return std::nullopt;
    co_return parseChannelCount(outcome.text);
}

namespace {
QStringView trimSpacesAndTabs(QStringView text)
{
    qsizetype start = 0, end = text.size();
    while (start < end && (text[start] == u' ' || text[start] == u'\t'))
        ++start;
    while (end > start && (text[end - 1] == u' ' || text[end - 1] == u'\t'))
        --end;
    return text.sliced(start, end - start);
}
} // namespace

std::optional<int> parseChannelCount(const QString &probeOutput)
{
    for (QStringView line : QStringView(probeOutput).split(u'\n', Qt::SkipEmptyParts)) {
        if (!line.contains(u"Audio:"))
            continue;
        for (QStringView piece : line.split(u',', Qt::SkipEmptyParts)) {
            if (const auto count = channelCount(trimSpacesAndTabs(piece)))
                return count;
        }
    }
    return std::nullopt;
}

std::optional<int> channelCount(QStringView descriptor)
{
    static constexpr struct {
        QStringView name;
        int channels;
    } layouts[] = {
        {u"mono", 1}, {u"stereo", 2},    {u"2.1", 3}, {u"quad", 4}, {u"5.0", 5},
        {u"5.1", 6},  {u"5.1(side)", 6}, {u"6.1", 7}, {u"7.1", 8},
    };
    const QString lowered = descriptor.toString().toLower();
    for (const auto &layout : layouts) {
        if (lowered == layout.name)
            return layout.channels;
    }

    qsizetype digits = 0;
    while (digits < lowered.size() && lowered[digits] >= u'0' && lowered[digits] <= u'9')
        ++digits;
    if (digits == 0)
        return std::nullopt;
    const QStringView rest = trimSpacesAndTabs(QStringView(lowered).sliced(digits));
    if (rest != u"channels" && rest != u"channel")
        return std::nullopt;
    bool ok = false;
    const int count = QStringView(lowered).first(digits).toInt(&ok);
    return ok ? std::optional<int>(count) : std::nullopt;
}

namespace {
// The lines that name why ffmpeg failed: its own error reports and the system's errors ("{path}:
// Permission denied", "Could not open attachment file {path}."), which carry no "error" of their own.
bool qualifies(QStringView line)
{
    static constexpr QStringView markers[] = {
        u"Error", u"error", u"Invalid", u"Permission denied", u"No space left on device",
        u"No such file or directory", u"Read-only file system", u"Could not open",
    };
    return std::any_of(std::begin(markers), std::end(markers),
                       [&](QStringView marker) { return line.contains(marker); });
}
} // namespace

QString summarise(const QString &text)
{
    auto limited = [](QStringView view) {
        qsizetype length = std::min(view.size(), summaryLimit);
        if (length < view.size() && length > 0 && view[length - 1].isHighSurrogate())
            --length;
        return view.first(length).toString();
    };
    QStringView chosen;
    bool found = false;
    for (QStringView line : QStringView(text).split(u'\n', Qt::SkipEmptyParts)) {
        if (qualifies(line)) {
            chosen = line;
            found = true;
        }
    }
    return limited(found ? chosen : QStringView(text));
}

} // namespace FFmpegRun
} // namespace hoplin
