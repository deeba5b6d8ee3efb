// The service's whole analysis of a 10-minute stereo 48 kHz file (probe, decode, loudness, true
// peak and sample statistics) against, in the same run and on the same file:
//   ffmpeg -i f.wav -af ebur128=peak=true -f null -     (ffmpeg's own meter)
//   ffmpeg -i f.wav -f null -                           (a plain decode: the floor)
// Aims: the service takes at most 1.0x the first and 3.0x the second. Rounds run the three sides
// in turn, every other round in reverse order (ABC CBA), so drifting machine load hits all alike;
// medians and spreads (min to max) of wall and CPU seconds are printed, and the ratios are the
// medians of the per-round ratios. Uploads happen before the timing.
// Outputs are checked: every round must give the same values, and integrated loudness, loudness
// range and true peak must match ffmpeg's within 0.1 LU / 0.1 dB, on the long file and on the
// five true-peak sines of EBU Tech 3341 (quarter, sixth and eighth of the rate, on and off their
// crests, one over full scale).
#include "../BenchSupport.h"
#include "analysis/AnalysisAPI.h"
#include "platform/Settings.h"

#include <QCoreApplication>
#include <QCoro/QCoroTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

using namespace hoplin;
using namespace std::chrono_literals;

namespace {

constexpr int kRounds = 6;
constexpr double kAimMeter = 1.0, kAimDecode = 3.0;
constexpr double kTolerance = 0.1;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Times {
    std::vector<double> wall, cpu;
};

struct Values {
    std::optional<double> integrated, lra, truePeak;
};

// Seconds of CPU of this process's reaped children.
double childCpu()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Seconds of CPU of a running process and its reaped children (the service's ffprobe and ffmpeg).
double processCpu(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
    double ticks = 0;
    for (int field = 11; field <= 14 && field < fields.size(); ++field) // utime stime cutime cstime
        ticks += fields[field].toDouble();
    return ticks / double(sysconf(_SC_CLK_TCK));
}

// Runs ffmpeg with `args` after "-nostdin -i audio"; adds its wall and CPU seconds to `times`
// (when given) and returns its standard output, or nothing on failure.
std::optional<QByteArray> ffmpeg(const QString &audio, const QStringList &args, Times *times = nullptr)
{
    QProcess run;
    run.setStandardErrorFile(QProcess::nullDevice());
    const double cpu = childCpu();
    QElapsedTimer wall;
    wall.start();
    run.start(QStringLiteral("ffmpeg"), QStringList{"-nostdin", "-i", audio} + args);
    if (!run.waitForFinished(-1) || run.exitStatus() != QProcess::NormalExit || run.exitCode() != 0)
        return std::nullopt;
    if (times) {
        times->wall.push_back(double(wall.elapsed()) / 1000);
        times->cpu.push_back(childCpu() - cpu);
    }
    return run.readAllStandardOutput();
}

// ffmpeg's own reading, from its frame metadata (three decimals; its summary has one).
std::optional<Values> ffmpegValues(const QString &audio)
{
    const auto out =
        ffmpeg(audio, {"-v", "error", "-af", "ebur128=peak=true:metadata=1,ametadata=print:file=-", "-f", "null", "-"});
    if (!out)
        return std::nullopt;
    const auto last = [&](const char *key) -> std::optional<double> {
        const QRegularExpression line(QStringLiteral(R"(lavfi\.r128\.%1=(\S+))").arg(QLatin1String(key)));
        std::optional<double> value;
        for (auto it = line.globalMatch(QString::fromUtf8(*out)); it.hasNext();)
            value = it.next().captured(1).toDouble();
        return value;
    };
    const auto peak = last("true_peak");
    return Values{last("I"), last("LRA"),
                  peak && *peak > 0 ? std::optional<double>(20 * std::log10(*peak)) : std::nullopt};
}

QCoro::Task<Values> serviceRun(QString uploadID, QString token, qint64 serverPid, Times *times)
{
    const double cpu = processCpu(serverPid);
    QElapsedTimer wall;
    wall.start();
    const QString jobID = co_await APIClient::processUpload(uploadID, QStringLiteral("audio_info"), token);
    for (;;) {
        const JobInfo job = co_await APIClient::jobInfo(jobID, token);
        if (job.isFinal()) {
            if (job.status != QStringLiteral("COMPLETED") || !job.analysis || !job.analysis->loudness)
                throw APIError::decoding(QStringLiteral("job %1 ended %2").arg(jobID, job.status.value_or(QString())));
            if (times) {
                times->wall.push_back(double(wall.elapsed()) / 1000);
                times->cpu.push_back(processCpu(serverPid) - cpu);
            }
            const AnalysisLoudness &l = *job.analysis->loudness;
            co_return Values{l.integratedLufs, l.lraLu, l.truePeakDbfs};
        }
        co_await QCoro::sleepFor(10ms);
    }
}

bool make(const QString &path, const QStringList &args)
{
    QProcess run;
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(QStringLiteral("ffmpeg"), QStringList{"-v", "error", "-nostdin", "-y"} + args + QStringList{path});
    if (run.waitForFinished(-1) && run.exitCode() == 0)
        return true;
    std::fprintf(stderr, "could not make %s: %s\n", qPrintable(path), run.readAll().constData());
    return false;
}

// Whether the service's values match ffmpeg's; prints both.
bool matches(const char *what, const Values &service, const std::optional<Values> &reference)
{
    const auto text = [](const std::optional<double> &v) { return v ? QString::number(*v, 'f', 3) : QString("-"); };
    const auto near = [](const std::optional<double> &a, const std::optional<double> &b) {
        return a.has_value() == b.has_value() && (!a || std::fabs(*a - *b) <= kTolerance);
    };
    const bool ok = reference && near(service.integrated, reference->integrated) && near(service.lra, reference->lra) &&
                    near(service.truePeak, reference->truePeak);
    const Values r = reference.value_or(Values{});
    std::printf("%-26s service I %s LRA %s TP %s | ffmpeg I %s LRA %s TP %s -> %s\n", what,
                qPrintable(text(service.integrated)), qPrintable(text(service.lra)), qPrintable(text(service.truePeak)),
                qPrintable(text(r.integrated)), qPrintable(text(r.lra)), qPrintable(text(r.truePeak)),
                ok ? "match" : "DIFFER");
    return ok;
}

void summary(const char *side, const Times &t)
{
    std::printf("%-24s wall median %.2f s (spread %.2f-%.2f), CPU median %.2f s (spread %.2f-%.2f)\n", side,
                median(t.wall), *std::min_element(t.wall.begin(), t.wall.end()),
                *std::max_element(t.wall.begin(), t.wall.end()), median(t.cpu),
                *std::min_element(t.cpu.begin(), t.cpu.end()), *std::max_element(t.cpu.begin(), t.cpu.end()));
}

// The median and spread of the per-round ratios a / b, against `aim` where there is one.
double ratio(const char *what, const std::vector<double> &a, const std::vector<double> &b, double aim = 0)
{
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.size(); ++i)
        ratios.push_back(a[i] / b[i]);
    const double m = median(ratios);
    std::printf("service / %-20s %.2fx (rounds %.2f-%.2f)", what, m, *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()));
    if (aim > 0)
        std::printf(", aim <= %.1fx -> %s", aim, m <= aim ? "met" : "MISSED");
    std::printf("\n");
    return m;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    hoplin::bench::useHome(home.path());
    QCoreApplication app(argc, argv);

    // Two independent pink noises with a slow swell, 16-bit so the file fits the upload limit.
    const QString audio = home.filePath(QStringLiteral("ten-minutes.wav"));
    if (!make(audio, {"-f", "lavfi", "-i", "anoisesrc=d=600:c=pink:r=48000:a=0.25:seed=1", "-f", "lavfi", "-i",
                      "anoisesrc=d=600:c=pink:r=48000:a=0.25:seed=2", "-filter_complex",
                      "[0][1]amerge=inputs=2,volume='0.5+0.5*sin(t/20)':eval=frame", "-c:a", "pcm_s16le"}))
        return 1;
    // Tech 3341 cases 15 to 19: frequency as a fraction of the rate, phase, amplitude; a 5 ms
    // fade-in, since a sine that starts on a step rings between its samples.
    struct Sine {
        const char *name, *expression;
    };
    const Sine sines[] = {{"3341-15", "0.5*sin(2*PI*12000*t)"},
                          {"3341-16", "0.5*sin(2*PI*12000*t+PI/4)"},
                          {"3341-17", "0.5*sin(2*PI*8000*t+PI/3)"},
                          {"3341-18", "0.5*sin(2*PI*6000*t+3*PI/8)"},
                          {"3341-19", "1.4142*sin(2*PI*12000*t+PI/4)"}};
    QStringList sineFiles;
    for (const Sine &sine : sines) {
        sineFiles << home.filePath(QStringLiteral("%1.wav").arg(QLatin1String(sine.name)));
        if (!make(sineFiles.last(), {"-f", "lavfi", "-i",
                                     QStringLiteral("aevalsrc='%1|%1':s=48000:d=5").arg(QLatin1String(sine.expression)),
                                     "-af", "afade=t=in:d=0.005", "-c:a", "pcm_f32le"}))
            return 1;
    }

    QProcess server;
    const QString address = hoplin::bench::startServer(server, QStringLiteral(HOPLIN_SERVER_BIN));
    if (address.isEmpty())
        return 1;
    Settings::shared().setValue(keys::baseURL, address);

    Times service, meter, decode;
    std::vector<Values> rounds;
    std::vector<std::pair<const char *, Values>> sineValues;
    QString failure;
    QTimer::singleShot(0, &app, [&] {
        [](QString audio, QStringList sineFiles, qint64 pid, Times &service, Times &meter, Times &decode,
           std::vector<Values> &rounds, std::vector<std::pair<const char *, Values>> &sineValues, const Sine *sines,
           QString &failure) -> QCoro::Task<> {
            try {
                const QString token = (co_await APIClient::activate(QStringLiteral("hoplin-demo-key"))).accessToken;
                for (int i = 0; i < sineFiles.size(); ++i) {
                    const QString upload = co_await APIClient::uploadAudio(sineFiles[i], token);
                    sineValues.emplace_back(sines[i].name, co_await serviceRun(upload, token, pid, nullptr));
                }
                QStringList uploads;
                for (int i = 0; i <= kRounds; ++i)
                    uploads << co_await APIClient::uploadAudio(audio, token);
                // One untimed run of each warms the page cache and the tools.
                ffmpeg(audio, {"-af", "ebur128=peak=true", "-f", "null", "-"});
                ffmpeg(audio, {"-f", "null", "-"});
                rounds.push_back(co_await serviceRun(uploads[kRounds], token, pid, nullptr));
                for (int round = 0; round < kRounds; ++round) {
                    const auto timeMeter = [&] {
                        if (!ffmpeg(audio, {"-af", "ebur128=peak=true", "-f", "null", "-"}, &meter))
                            throw APIError::decoding(QStringLiteral("ffmpeg ebur128 failed"));
                    };
                    const auto timeDecode = [&] {
                        if (!ffmpeg(audio, {"-f", "null", "-"}, &decode))
                            throw APIError::decoding(QStringLiteral("ffmpeg decode failed"));
                    };
                    if (round % 2 == 0) {
                        rounds.push_back(co_await serviceRun(uploads[round], token, pid, &service));
                        timeMeter();
                        timeDecode();
                    } else {
                        timeDecode();
                        timeMeter();
                        rounds.push_back(co_await serviceRun(uploads[round], token, pid, &service));
                    }
                }
            } catch (const Error &error) {
                failure = error.description();
            }
            QCoreApplication::quit();
        }(audio, sineFiles, server.processId(), service, meter, decode, rounds, sineValues, sines, failure);
    });
    app.exec();
    server.terminate();
    server.waitForFinished(5000);

    if (!failure.isEmpty() || int(service.wall.size()) != kRounds) {
        std::fprintf(stderr, "benchmark failed: %s\n", qPrintable(failure));
        return 1;
    }
    bool valuesOk = true;
    for (const Values &v : rounds) {
        valuesOk = valuesOk && v.integrated == rounds[0].integrated && v.lra == rounds[0].lra &&
                   v.truePeak == rounds[0].truePeak;
    }
    std::printf("values: %s across the %zu service runs\n", valuesOk ? "identical" : "DIFFERENT", rounds.size());
    valuesOk = matches("10-minute stereo 48 kHz:", rounds[0], ffmpegValues(audio)) && valuesOk;
    for (int i = 0; i < int(sineValues.size()); ++i)
        valuesOk =
            matches(sineValues[std::size_t(i)].first, sineValues[std::size_t(i)].second, ffmpegValues(sineFiles[i])) &&
            valuesOk;

    std::printf("%d rounds, ABC/CBA:\n", kRounds);
    for (int i = 0; i < kRounds; ++i)
        std::printf("round %d: service %.2f s, ffmpeg ebur128=peak=true %.2f s, ffmpeg decode %.2f s\n", i + 1,
                    service.wall[std::size_t(i)], meter.wall[std::size_t(i)], decode.wall[std::size_t(i)]);
    summary("service analysis", service);
    summary("ffmpeg ebur128=peak=true", meter);
    summary("ffmpeg decode", decode);
    const bool fast = ratio("ebur128=peak=true", service.wall, meter.wall, kAimMeter) <= kAimMeter;
    const bool floor = ratio("decode", service.wall, decode.wall, kAimDecode) <= kAimDecode;
    // CPU seconds for the record: the service's decoder and meter run side by side.
    ratio("ebur128 (CPU)", service.cpu, meter.cpu);
    ratio("decode (CPU)", service.cpu, decode.cpu);
    return valuesOk && fast && floor ? 0 : 1;
}
