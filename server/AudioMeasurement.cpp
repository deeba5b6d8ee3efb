#include "AudioMeasurement.h"

#include "LoudnessMeter.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace hoplin::server {

// ---- child processes -------------------------------------------------------------------------

void ProcessSlot::kill()
{
    std::lock_guard lock(m_mutex);
    m_killed = true;
    if (m_pid > 0)
        ::kill(m_pid, SIGKILL);
}

bool ProcessSlot::killed() const
{
    std::lock_guard lock(m_mutex);
    return m_killed;
}

bool ProcessSlot::adopt(pid_t pid)
{
    std::lock_guard lock(m_mutex);
    m_pid = pid;
    if (m_killed)
        ::kill(pid, SIGKILL);
    return !m_killed;
}

void ProcessSlot::release()
{
    std::lock_guard lock(m_mutex);
    m_pid = 0;
}

namespace {

constexpr std::size_t kStderrTail = 8192;
constexpr std::size_t kStdoutLimit = 16 * 1024 * 1024;

struct ToolRun {
    int exitCode = -1;
    bool killed = false;
    std::string out;
    std::string errTail;
};

// Runs `argv` (found on PATH) with no shell. Standard output is collected (bounded) or, with
// `onOutput`, handed over as it arrives; standard error's tail is kept for error messages.
ToolRun runTool(const std::vector<std::string> &argv, ProcessSlot &slot,
                const std::function<void(const char *, std::size_t)> &onOutput = {})
{
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        throw MeasurementError(std::string("pipe failed: ") + std::strerror(errno));
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        throw MeasurementError(std::string("pipe failed: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        throw MeasurementError(argv[0] + " could not be started: " + std::strerror(spawned));
    }
    slot.adopt(pid);

    ToolRun run;
    const auto takeError = [&](const char *data, std::size_t size) {
        run.errTail.append(data, size);
        if (run.errTail.size() > 2 * kStderrTail)
            run.errTail.erase(0, run.errTail.size() - kStderrTail);
    };
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    std::vector<char> storage(1 << 18);
    char *buffer = storage.data();
    const std::size_t bufferSize = storage.size();
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (pollfd &fd : fds) {
            if (fd.fd < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t got = read(fd.fd, buffer, bufferSize);
            if (got > 0) {
                if (&fd == &fds[0] && onOutput) {
                    onOutput(buffer, std::size_t(got));
                } else if (&fd == &fds[0]) {
                    if (run.out.size() < kStdoutLimit)
                        run.out.append(buffer, std::size_t(got));
                } else {
                    takeError(buffer, std::size_t(got));
                }
            } else if (got == 0 || errno != EINTR) {
                close(fd.fd);
                fd.fd = -1;
                --open;
            }
        }
    }

    // Reaped only after the slot forgot the id, so a late kill cannot hit another process.
    siginfo_t info{};
    while (waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    slot.release();
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.killed = WIFSIGNALED(status);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The last non-empty line of the error output, with the server's own path replaced by the name
// the client knows.
std::string lastLine(const std::string &text, const std::string &path, const std::string &name)
{
    std::size_t end = text.find_last_not_of("\r\n \t");
    if (end == std::string::npos)
        return "no error output";
    std::size_t start = text.find_last_of("\r\n", end);
    std::string line =
        text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
    for (std::size_t at = line.find(path); at != std::string::npos; at = line.find(path, at + name.size()))
        line.replace(at, path.size(), name);
    return line;
}

std::string toolVersion(const char *tool)
{
    ProcessSlot slot;
    try {
        const ToolRun run = runTool({tool, "-hide_banner", "-version"}, slot);
        // "ffprobe version 5.1.9-0+deb12u1 Copyright …"
        const std::string prefix = std::string(tool) + " version ";
        if (run.out.rfind(prefix, 0) == 0) {
            const std::size_t end = run.out.find_first_of(" \n", prefix.size());
            return run.out.substr(prefix.size(), end - prefix.size());
        }
    } catch (const MeasurementError &) {
    }
    return "unknown";
}

// ---- reading ffprobe's document -------------------------------------------------------------

std::optional<double> number(const QJsonValue &value)
{
    double result = NAN;
    if (value.isDouble()) {
        result = value.toDouble();
    } else if (value.isString()) {
        bool ok = false;
        result = value.toString().trimmed().toDouble(&ok);
        if (!ok)
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    return std::isfinite(result) ? std::optional<double>(result) : std::nullopt;
}

std::optional<qint64> whole(const QJsonValue &value)
{
    const auto n = number(value);
    if (!n || std::trunc(*n) != *n || std::fabs(*n) > 9e15)
        return std::nullopt;
    return qint64(*n);
}

void put(QJsonObject &object, const char *key, const std::optional<double> &value)
{
    if (value)
        object.insert(QLatin1String(key), *value);
}

void putInt(QJsonObject &object, const char *key, const std::optional<qint64> &value)
{
    if (value)
        object.insert(QLatin1String(key), *value);
}

void putText(QJsonObject &object, const char *key, const QJsonValue &value)
{
    if (value.isString() && !value.toString().isEmpty())
        object.insert(QLatin1String(key), value.toString());
}

QJsonObject tagsOf(const QJsonObject &owner)
{
    return owner.value(QStringLiteral("tags")).toObject();
}

QString displayName(const QString &formatName)
{
    static const std::pair<const char *, const char *> names[] = {
        {"wav", "WAV"},         {"aiff", "AIFF"},         {"flac", "FLAC"},
        {"mp3", "MP3"},         {"ogg", "Ogg"},           {"caf", "Core Audio Format"},
        {"w64", "Sony Wave64"}, {"asf", "Windows Media"}, {"aac", "AAC (ADTS)"},
        {"ac3", "AC-3"},        {"mp2", "MPEG Layer II"}, {"au", "Sun AU"},
    };
    const QString first = formatName.section(QLatin1Char(','), 0, 0);
    if (formatName.startsWith(QLatin1String("mov,mp4,m4a")))
        return QStringLiteral("MPEG-4 Audio");
    for (const auto &[key, name] : names) {
        if (first == QLatin1String(key))
            return QLatin1String(name);
    }
    return {};
}

// The bit depth the samples really carry, where the file says so.
std::optional<qint64> bitDepth(const QJsonObject &stream)
{
    if (const auto raw = whole(stream.value(QStringLiteral("bits_per_raw_sample"))); raw && *raw > 0)
        return raw;
    const QString codec = stream.value(QStringLiteral("codec_name")).toString();
    if (!codec.startsWith(QLatin1String("pcm_")))
        return std::nullopt;
    if (const auto bits = whole(stream.value(QStringLiteral("bits_per_sample"))); bits && *bits > 0)
        return bits;
    return std::nullopt;
}

QJsonObject streamObject(const QJsonObject &s, const std::optional<double> &fileBitRate, qint64 streamCount)
{
    QJsonObject out;
    putInt(out, "index", whole(s.value(QStringLiteral("index"))));
    putText(out, "codec_type", s.value(QStringLiteral("codec_type")));
    putText(out, "codec_name", s.value(QStringLiteral("codec_name")));
    putText(out, "codec_long_name", s.value(QStringLiteral("codec_long_name")));
    putText(out, "codec_tag_string", s.value(QStringLiteral("codec_tag_string")));
    put(out, "sample_rate_hz", number(s.value(QStringLiteral("sample_rate"))));
    putInt(out, "channels", whole(s.value(QStringLiteral("channels"))));
    putText(out, "channel_layout", s.value(QStringLiteral("channel_layout")));
    putText(out, "sample_fmt", s.value(QStringLiteral("sample_fmt")));
    putInt(out, "bits_per_sample", whole(s.value(QStringLiteral("bits_per_sample"))));
    putInt(out, "bits_per_raw_sample", whole(s.value(QStringLiteral("bits_per_raw_sample"))));
    putInt(out, "bit_depth", bitDepth(s));
    put(out, "bit_rate_bps", number(s.value(QStringLiteral("bit_rate"))));
    // With one stream the whole file's rate is this stream's measured rate.
    if (streamCount == 1)
        put(out, "effective_bit_rate_bps", fileBitRate);
    const auto duration = number(s.value(QStringLiteral("duration")));
    put(out, "duration_sec", duration);
    if (duration)
        out.insert(QStringLiteral("duration_hms"), QString::fromStdString(hms(*duration)));
    const QJsonObject tags = tagsOf(s);
    if (tags.value(QStringLiteral("language")).toString() != QLatin1String("und"))
        putText(out, "language", tags.value(QStringLiteral("language")));
    putText(out, "title", tags.value(QStringLiteral("title")));
    if (!tags.isEmpty())
        out.insert(QStringLiteral("tags"), tags);
    return out;
}

// The graph series: hundredths of a LU are plenty for drawing and keep the document small.
QJsonObject historyObject(const LoudnessHistory &history)
{
    const auto series = [](const std::vector<std::optional<double>> &values) {
        QJsonArray out;
        for (const auto &value : values)
            out.append(value ? QJsonValue(std::round(*value * 100) / 100) : QJsonValue(QJsonValue::Null));
        return out;
    };
    return {{QStringLiteral("step_sec"), history.stepSec},
            {QStringLiteral("momentary_lufs"), series(history.momentary)},
            {QStringLiteral("short_term_lufs"), series(history.shortTerm)}};
}

// ---- the report -------------------------------------------------------------------------------

std::string text(const QJsonValue &value)
{
    if (value.isString())
        return value.toString().toStdString();
    if (value.isDouble()) {
        const double d = value.toDouble();
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, std::trunc(d) == d && std::fabs(d) < 1e15 ? "%.0f" : "%.3f", d);
        return buffer;
    }
    return "—";
}

std::string fixed(const QJsonObject &object, const char *key, const char *unit, int digits = 2)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isDouble())
        return "—";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f%s", digits, value.toDouble(), unit);
    return buffer;
}

void line(std::string &out, const std::string &label, const std::string &value)
{
    out += "  " + label + ':';
    out.append(label.size() < 22 ? 22 - label.size() : 1, ' ');
    out += value + '\n';
}

// The graph's series as a compact table: one row per interval, each the loudest value within it,
// at most about 600 rows however long the file.
void historyTable(std::string &out, const QJsonObject &history)
{
    const QJsonArray momentary = history.value(QStringLiteral("momentary_lufs")).toArray();
    const QJsonArray shortTerm = history.value(QStringLiteral("short_term_lufs")).toArray();
    const double step = history.value(QStringLiteral("step_sec")).toDouble();
    if (momentary.isEmpty() || !(step > 0))
        return;
    const double seconds = step * momentary.size();
    const double interval = std::max(1.0, std::ceil(seconds / 600));
    const auto perRow = std::max<qsizetype>(1, qsizetype(std::llround(interval / step)));
    char row[96];
    out += "\nLoudness history (loudest value per " + std::to_string(int(interval)) + " s)\n";
    std::snprintf(row, sizeof row, "  %-10s %10s %11s\n", "Time", "Momentary", "Short-term");
    out += row;
    const auto loudest = [](const QJsonArray &series, qsizetype from, qsizetype to) -> std::string {
        std::optional<double> best;
        for (qsizetype i = from; i < std::min(to, series.size()); ++i) {
            if (series[i].isDouble() && (!best || series[i].toDouble() > *best))
                best = series[i].toDouble();
        }
        if (!best)
            return "—";
        char value[32];
        std::snprintf(value, sizeof value, "%.1f", *best);
        return value;
    };
    for (qsizetype start = 0; start < momentary.size(); start += perRow) {
        const double end = step * double(std::min(start + perRow, momentary.size()));
        const long long whole = std::llround(end);
        char time[48];
        std::snprintf(time, sizeof time, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
        const std::string m = loudest(momentary, start, start + perRow);
        const std::string s = loudest(shortTerm, start, start + perRow);
        // "—" is one column wide but three bytes long.
        std::snprintf(row, sizeof row, "  %-10s %*s %*s\n", time, m == "—" ? 12 : 10, m.c_str(),
                      s == "—" ? 13 : 11, s.c_str());
        out += row;
    }
}

std::string composeReport(const QJsonObject &a)
{
    std::string out;
    const QJsonObject engine = a.value(QStringLiteral("engine")).toObject();
    out += "Hoplin audio analysis report\n";
    out += "============================\n\n";
    line(out, "File", text(a.value(QStringLiteral("file")).toObject().value(QStringLiteral("name"))));
    line(out, "Generated", text(a.value(QStringLiteral("generated_at"))));
    line(out, "Workflow", text(a.value(QStringLiteral("workflow"))));
    line(out, "Engine",
         "ffprobe " + text(engine.value(QStringLiteral("ffprobe"))) + ", ffmpeg " +
             text(engine.value(QStringLiteral("ffmpeg"))) + " (" +
             text(engine.value(QStringLiteral("measurement_backend"))) + ')');

    const QJsonObject c = a.value(QStringLiteral("container")).toObject();
    out += "\nContainer\n";
    line(out, "Format",
         text(c.value(QStringLiteral("format_long_name"))) + " (" + text(c.value(QStringLiteral("format_name"))) + ')');
    line(out, "Duration", text(c.value(QStringLiteral("duration_hms"))));
    line(out, "Size", text(c.value(QStringLiteral("size_bytes"))) + " bytes");
    line(out, "Overall bit rate", fixed(c, "bit_rate_bps", " b/s", 0));
    line(out, "Streams", text(c.value(QStringLiteral("nb_streams"))));

    for (const QJsonValue &value : a.value(QStringLiteral("audio_streams")).toArray()) {
        const QJsonObject s = value.toObject();
        out += "\nAudio stream #" + text(s.value(QStringLiteral("index"))) + '\n';
        line(out, "Codec", text(s.value(QStringLiteral("codec_long_name"))));
        line(out, "Sample rate", fixed(s, "sample_rate_hz", " Hz", 0));
        line(out, "Channels",
             text(s.value(QStringLiteral("channels"))) + " (" + text(s.value(QStringLiteral("channel_layout"))) + ')');
        line(out, "Bit depth",
             s.contains(QStringLiteral("bit_depth")) ? text(s.value(QStringLiteral("bit_depth"))) + " bits" : "—");
        line(out, "Sample format", text(s.value(QStringLiteral("sample_fmt"))));
        line(out, "Bit rate",
             fixed(s, s.contains(QStringLiteral("bit_rate_bps")) ? "bit_rate_bps" : "effective_bit_rate_bps", " b/s",
                   0));
        line(out, "Duration", text(s.value(QStringLiteral("duration_hms"))));
    }
    const QJsonArray others = a.value(QStringLiteral("other_streams")).toArray();
    if (!others.isEmpty()) {
        out += "\nOther streams\n";
        for (const QJsonValue &value : others) {
            const QJsonObject s = value.toObject();
            line(out, text(s.value(QStringLiteral("codec_type"))) + ' ' + text(s.value(QStringLiteral("index"))),
                 text(s.value(QStringLiteral("codec_long_name"))));
        }
    }
    const QJsonObject tags = c.value(QStringLiteral("tags")).toObject();
    if (!tags.isEmpty()) {
        out += "\nMetadata\n";
        for (auto it = tags.begin(); it != tags.end(); ++it)
            line(out, it.key().toStdString(), text(it.value()));
    }
    const QJsonArray chapters = a.value(QStringLiteral("chapters")).toArray();
    if (!chapters.isEmpty()) {
        out += "\nChapters\n";
        for (const QJsonValue &value : chapters) {
            const QJsonObject ch = value.toObject();
            line(out, "Chapter " + text(ch.value(QStringLiteral("id"))),
                 text(ch.value(QStringLiteral("start_hms"))) + " -> " + text(ch.value(QStringLiteral("end_hms"))) +
                     (ch.contains(QStringLiteral("title")) ? "  " + text(ch.value(QStringLiteral("title"))) : ""));
        }
    }
    const QJsonObject levels = a.value(QStringLiteral("levels")).toObject();
    out += "\nLevels\n";
    line(out, "Peak level", fixed(levels, "peak_dbfs", " dBFS"));
    line(out, "RMS level", fixed(levels, "rms_dbfs", " dBFS"));
    line(out, "Noise floor", fixed(levels, "noise_floor_dbfs", " dBFS"));
    line(out, "Flat factor", fixed(levels, "flat_factor", ""));
    line(out, "Peak count", text(levels.value(QStringLiteral("peak_count"))));
    line(out, "Samples per channel", text(levels.value(QStringLiteral("sample_count"))));

    line(out, "DC offset", fixed(levels, "dc_offset", "", 6));

    const QJsonObject l = a.value(QStringLiteral("loudness")).toObject();
    out += "\nLoudness (EBU R128 / ITU-R BS.1770)\n";
    line(out, "Integrated", fixed(l, "integrated_lufs", " LUFS"));
    line(out, "Gating threshold", fixed(l, "threshold_lufs", " LUFS"));
    line(out, "Loudness range", fixed(l, "lra_lu", " LU"));
    line(out, "LRA low", fixed(l, "lra_low_lufs", " LUFS"));
    line(out, "LRA high", fixed(l, "lra_high_lufs", " LUFS"));
    line(out, "True peak", fixed(l, "true_peak_dbfs", " dBTP"));
    line(out, "Max short-term", fixed(l, "max_short_term_lufs", " LUFS"));
    line(out, "Max momentary", fixed(l, "max_momentary_lufs", " LUFS"));
    line(out, "Channel weighting", text(l.value(QStringLiteral("channel_weighting"))));
    const QJsonArray audio = a.value(QStringLiteral("audio_streams")).toArray();
    std::string measured = "audio stream #" + text(l.value(QStringLiteral("measured_stream_index")));
    if (audio.size() > 1)
        measured += " only; " + std::to_string(audio.size() - 1) + " further audio stream" +
                    (audio.size() > 2 ? "s are" : " is") + " listed but not measured";
    line(out, "Measured", measured);
    out += "  (— : the signal is too short or too quiet for this value)\n";
    historyTable(out, l.value(QStringLiteral("loudness_history")).toObject());
    return out;
}

} // namespace

std::string hms(double seconds)
{
    const auto millis = static_cast<long long>(std::llround(std::max(0.0, seconds) * 1000));
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld.%03lld", millis / 3600000, millis / 60000 % 60,
                  millis / 1000 % 60, millis % 1000);
    return buffer;
}

Measurement measureAudio(const std::string &path, const std::string &fileName, ProcessSlot &slot)
{
    static const std::string probeVersion = toolVersion("ffprobe");
    static const std::string ffmpegVersion = toolVersion("ffmpeg");

    const ToolRun probe = runTool(
        {"ffprobe", "-v", "error", "-print_format", "json", "-show_format", "-show_streams", "-show_chapters", path},
        slot);
    if (probe.killed && slot.killed())
        throw MeasurementError("cancelled");
    QJsonParseError parseError;
    const QJsonDocument probed = QJsonDocument::fromJson(QByteArray::fromStdString(probe.out), &parseError);
    const QJsonObject format = probed.object().value(QStringLiteral("format")).toObject();
    if (probe.exitCode != 0 || parseError.error != QJsonParseError::NoError || format.isEmpty())
        throw MeasurementError(fileName + " is not a readable media file: " + lastLine(probe.errTail, path, fileName));

    const QJsonArray streams = probed.object().value(QStringLiteral("streams")).toArray();
    const auto fileBitRate = number(format.value(QStringLiteral("bit_rate")));
    const qint64 streamCount = whole(format.value(QStringLiteral("nb_streams"))).value_or(streams.size());
    QJsonArray audioStreams, otherStreams;
    for (const QJsonValue &value : streams) {
        const QJsonObject stream = streamObject(value.toObject(), fileBitRate, streamCount);
        (stream.value(QStringLiteral("codec_type")) == QLatin1String("audio") ? audioStreams : otherStreams)
            .append(stream);
    }
    if (audioStreams.isEmpty())
        throw MeasurementError(fileName + " has no audio stream.");

    // One decoding pass of the first audio stream: its samples as 32-bit floats in their own
    // channel layout, measured as they arrive.
    const QJsonObject first = audioStreams.first().toObject();
    const int rate = int(first.value(QStringLiteral("sample_rate_hz")).toDouble());
    const int channels = first.value(QStringLiteral("channels")).toInt();
    if (rate <= 0 || channels <= 0)
        throw MeasurementError(fileName + " has an audio stream without a sample rate or channel count.");
    const ChannelWeighting weighting =
        channelWeighting(first.value(QStringLiteral("channel_layout")).toString().toStdString(), channels);
    LoudnessMeter meter(rate, weighting.weights);
    const std::size_t frameBytes = sizeof(float) * std::size_t(channels);
    std::vector<float> frames;
    std::string carry; // the start of a frame split across two reads
    const auto feed = [&](const char *data, std::size_t size) {
        if (!carry.empty()) {
            const std::size_t take = std::min(size, frameBytes - carry.size());
            carry.append(data, take);
            data += take;
            size -= take;
            if (carry.size() < frameBytes)
                return;
            frames.resize(std::size_t(channels));
            std::memcpy(frames.data(), carry.data(), frameBytes);
            meter.addFrames(frames.data(), 1);
            carry.clear();
        }
        const std::size_t whole = size / frameBytes;
        if (whole > 0) {
            frames.resize(whole * std::size_t(channels));
            std::memcpy(frames.data(), data, whole * frameBytes);
            meter.addFrames(frames.data(), whole);
        }
        carry.assign(data + whole * frameBytes, size - whole * frameBytes);
    };
    const ToolRun measure = runTool({"ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-v", "error", "-i", path,
                                     "-map", "0:a:0", "-c:a", "pcm_f32le", "-f", "f32le", "-"},
                                    slot, feed);
    if (measure.killed && slot.killed())
        throw MeasurementError("cancelled");
    if (measure.exitCode != 0)
        throw MeasurementError("ffmpeg could not decode " + fileName + ": " +
                               lastLine(measure.errTail, path, fileName));
    const MeterResult m = meter.finish();

    QJsonObject container;
    putText(container, "format_name", format.value(QStringLiteral("format_name")));
    putText(container, "format_long_name", format.value(QStringLiteral("format_long_name")));
    const QString display = displayName(format.value(QStringLiteral("format_name")).toString());
    if (!display.isEmpty())
        container.insert(QStringLiteral("display_name"), display);
    const auto duration = number(format.value(QStringLiteral("duration")));
    put(container, "duration_sec", duration);
    if (duration)
        container.insert(QStringLiteral("duration_hms"), QString::fromStdString(hms(*duration)));
    put(container, "bit_rate_bps", fileBitRate);
    put(container, "size_bytes", number(format.value(QStringLiteral("size"))));
    putInt(container, "nb_streams", streamCount);
    put(container, "probe_score", number(format.value(QStringLiteral("probe_score"))));
    container.insert(QStringLiteral("tags"), tagsOf(format));

    QJsonArray chapters;
    for (const QJsonValue &value : probed.object().value(QStringLiteral("chapters")).toArray()) {
        const QJsonObject ch = value.toObject();
        QJsonObject out;
        putInt(out, "id", whole(ch.value(QStringLiteral("id"))));
        const auto start = number(ch.value(QStringLiteral("start_time")));
        const auto end = number(ch.value(QStringLiteral("end_time")));
        put(out, "start_sec", start);
        put(out, "end_sec", end);
        if (start)
            out.insert(QStringLiteral("start_hms"), QString::fromStdString(hms(*start)));
        if (end)
            out.insert(QStringLiteral("end_hms"), QString::fromStdString(hms(*end)));
        putText(out, "title", tagsOf(ch).value(QStringLiteral("title")));
        chapters.append(out);
    }

    QJsonObject levels;
    put(levels, "peak_dbfs", m.peak);
    put(levels, "astats_peak_dbfs", m.peak);
    put(levels, "rms_dbfs", m.rms);
    put(levels, "noise_floor_dbfs", m.noiseFloor);
    put(levels, "flat_factor", m.flatFactor);
    put(levels, "dc_offset", m.dcOffset);
    putInt(levels, "peak_count", m.peakCount ? std::optional<qint64>(*m.peakCount) : std::nullopt);
    putInt(levels, "sample_count", qint64(m.sampleCount));

    QJsonObject loudness;
    put(loudness, "integrated_lufs", m.integrated);
    put(loudness, "threshold_lufs", m.threshold);
    put(loudness, "lra_lu", m.lra);
    put(loudness, "lra_low_lufs", m.lraLow);
    put(loudness, "lra_high_lufs", m.lraHigh);
    put(loudness, "true_peak_dbfs", m.truePeak);
    put(loudness, "max_short_term_lufs", m.maxShortTerm);
    put(loudness, "max_momentary_lufs", m.maxMomentary);
    putInt(loudness, "measured_stream_index", whole(first.value(QStringLiteral("index"))));
    loudness.insert(QStringLiteral("channel_weighting"), QString::fromStdString(weighting.note));
    loudness.insert(QStringLiteral("loudness_history"), historyObject(m.history));

    Measurement result;
    result.analysis = QJsonObject{
        {QStringLiteral("workflow"), QStringLiteral("audio_info")},
        {QStringLiteral("generated_at"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
        {QStringLiteral("file"), QJsonObject{{QStringLiteral("name"), QString::fromStdString(fileName)}}},
        {QStringLiteral("engine"),
         QJsonObject{{QStringLiteral("ffprobe"), QString::fromStdString(probeVersion)},
                     {QStringLiteral("ffmpeg"), QString::fromStdString(ffmpegVersion)},
                     {QStringLiteral("measurement_backend"), QString::fromStdString(LoudnessMeter::backendName())}}},
        {QStringLiteral("container"), container},
        {QStringLiteral("audio_streams"), audioStreams},
        {QStringLiteral("other_streams"), otherStreams},
        {QStringLiteral("chapters"), chapters},
        {QStringLiteral("levels"), levels},
        {QStringLiteral("loudness"), loudness},
    };
    result.report = composeReport(result.analysis);
    return result;
}

} // namespace hoplin::server
