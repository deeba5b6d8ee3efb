// The service's whole analysis of a 10-minute stereo 48 kHz file (probe, decode, loudness and
// sample statistics) against ffmpeg's own ebur128 filter with true peak on the same file, in the
// same run. Aim: the service takes at most 1.0x the time of
//   ffmpeg -i f.wav -af ebur128=peak=true -f null -
// Uploads happen before the timing; each side runs three times, alternating, and the medians count.
#include "../BenchSupport.h"
#include "analysis/AnalysisAPI.h"
#include "platform/Settings.h"

#include <QCoreApplication>
#include <QCoro/QCoroTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>

using namespace hoplin;
using namespace std::chrono_literals;

namespace {

constexpr int kRounds = 3;
constexpr double kAim = 1.0;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double ffmpegSeconds(const QString &audio)
{
    QProcess ffmpeg;
    ffmpeg.setStandardOutputFile(QProcess::nullDevice());
    ffmpeg.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer wall;
    wall.start();
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-nostdin", "-i", audio, "-af", "ebur128=peak=true", "-f", "null", "-"});
    if (!ffmpeg.waitForFinished(-1) || ffmpeg.exitCode() != 0)
        return -1;
    return wall.elapsed() / 1000.0;
}

QCoro::Task<double> serviceSeconds(QString uploadID, QString token)
{
    QElapsedTimer wall;
    wall.start();
    const QString jobID = co_await APIClient::processUpload(uploadID, QStringLiteral("audio_info"), token);
    for (;;) {
        const JobInfo job = co_await APIClient::jobInfo(jobID, token);
        if (job.isFinal())
            co_return job.status == QStringLiteral("COMPLETED") && job.analysis ? wall.elapsed() / 1000.0 : -1;
        co_await QCoro::sleepFor(10ms);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    hoplin::bench::useHome(home.path());
    QCoreApplication app(argc, argv);

    const QString audio = home.filePath(QStringLiteral("ten-minutes.wav"));
    {
        // Two independent pink noises with a slow swell, 16-bit so the file fits the upload limit.
        QProcess make;
        make.setProcessChannelMode(QProcess::MergedChannels);
        make.start(QStringLiteral("ffmpeg"),
                   {"-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                    "anoisesrc=d=600:c=pink:r=48000:a=0.25:seed=1", "-f", "lavfi", "-i",
                    "anoisesrc=d=600:c=pink:r=48000:a=0.25:seed=2", "-filter_complex",
                    "[0][1]amerge=inputs=2,volume='0.5+0.5*sin(t/20)':eval=frame", "-c:a", "pcm_s16le", audio});
        if (!make.waitForFinished(-1) || make.exitCode() != 0) {
            std::fprintf(stderr, "could not make the test file: %s\n", make.readAll().constData());
            return 1;
        }
    }

    QProcess server;
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start(QStringLiteral(HOPLIN_SERVER_BIN), {"--port", "0", "--quiet"});
    if (!server.waitForStarted() || !server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "hoplin-server did not start\n");
        return 1;
    }
    Settings::shared().setValue(keys::baseURL, QString::fromUtf8(server.readLine()).trimmed());

    std::vector<double> service, plain;
    QString failure;
    QTimer::singleShot(0, &app, [&] {
        [](QString audio, std::vector<double> &service, std::vector<double> &plain, QString &failure) -> QCoro::Task<> {
            try {
                const QString token = (co_await APIClient::activate(QStringLiteral("hoplin-demo-key"))).accessToken;
                QStringList uploads;
                for (int i = 0; i < kRounds; ++i)
                    uploads << co_await APIClient::uploadAudio(audio, token);
                ffmpegSeconds(audio); // warms the page cache and the tools for both sides
                for (int i = 0; i < kRounds; ++i) {
                    plain.push_back(ffmpegSeconds(audio));
                    auto measured = serviceSeconds(uploads[i], token);
                    service.push_back(co_await std::move(measured));
                }
            } catch (const Error &error) {
                failure = error.description();
            }
            QCoreApplication::quit();
        }(audio, service, plain, failure);
    });
    app.exec();
    server.terminate();
    server.waitForFinished(5000);

    if (!failure.isEmpty() || service.size() != kRounds || std::count(service.begin(), service.end(), -1.0) ||
        std::count(plain.begin(), plain.end(), -1.0)) {
        std::fprintf(stderr, "benchmark failed: %s\n", qPrintable(failure));
        return 1;
    }
    for (int i = 0; i < kRounds; ++i)
        std::printf("round %d: ffmpeg ebur128 %.2f s, service analysis %.2f s\n", i + 1, plain[i], service[i]);
    const double ratio = median(service) / median(plain);
    std::printf("10-minute stereo 48 kHz: ffmpeg ebur128=peak=true %.2f s, service %.2f s (medians) -> %.2fx\n",
                median(plain), median(service), ratio);
    std::printf("aim: <= %.1fx -> %s\n", kAim, ratio <= kAim ? "met" : "MISSED");
    return ratio <= kAim ? 0 : 1;
}
