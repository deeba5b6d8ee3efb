// A 128 MiB analysis upload to a local hoplin-server through APIClient::uploadAudio against
// `curl -F` of the same file to the same service, interleaved ABBA: the time of each (median and
// spread of the rounds, and of the per-round ratio, aim at most 1.15), the growth of the process's
// peak resident memory during the app's uploads (the body is streamed from its temporary file, so
// at most 32 MiB) and the longest main-thread stall while it uploads. The app sends the body while
// it is still being written; the time of writing it alone is printed beside, for scale.
// Usage: bench_upload [rounds, default 6]
#include "../BenchSupport.h"
#include "analysis/AnalysisAPI.h"
#include "platform/Settings.h"

#include "../BenchMemory.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <unistd.h>

using namespace hoplin;
using hoplin::bench::resetPeak;
using hoplin::bench::statusKiB;

namespace {

constexpr qint64 kFileBytes = 128 * 1024 * 1024;
constexpr double kAimMiB = 32.0;
constexpr double kAimRatio = 1.15;

struct AppRound {
    double seconds = -1;
    double growthMiB = 0;
    bool peakReset = false;
    double longestGapMs = 0;
    QString uploadID;
    QString failure;
};

QCoro::Task<> upload(QString audio, QString token, AppRound &round, QEventLoop &done)
{
    bench::StallMeter meter;
    try {
        const qint64 before = statusKiB("VmRSS");
        round.peakReset = resetPeak();
        QElapsedTimer wall;
        wall.start();
        meter.start();
        round.uploadID = co_await APIClient::uploadAudio(audio, token);
        round.longestGapMs = meter.stop();
        round.seconds = wall.nsecsElapsed() / 1e9;
        round.growthMiB = (statusKiB("VmHWM") - before) / 1024.0;
    } catch (const Error &error) {
        round.failure = error.description();
    }
    done.quit();
}

AppRound appRound(const QString &audio, const QString &token)
{
    AppRound round;
    QEventLoop loop;
    auto task = upload(audio, token, round, loop);
    if (round.seconds < 0 && round.failure.isEmpty())
        loop.exec();
    return round;
}

// Seconds, or -1 when the service did not answer 200 with an upload id.
double curlRound(const QString &audio, const QString &origin, const QString &token)
{
    QElapsedTimer wall;
    wall.start();
    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-sS"), QStringLiteral("--fail"), QStringLiteral("-H"),
                                        QStringLiteral("Authorization: Bearer ") + token, QStringLiteral("-F"),
                                        QStringLiteral("file=@%1;type=application/octet-stream").arg(audio),
                                        origin + QString::fromLatin1(APIClient::uploadPath)});
    if (!curl.waitForFinished(-1) || curl.exitStatus() != QProcess::NormalExit || curl.exitCode() != 0)
        return -1;
    const double seconds = wall.nsecsElapsed() / 1e9;
    const QJsonValue id = QJsonDocument::fromJson(curl.readAllStandardOutput()).object().value(QStringLiteral("upload_id"));
    return id.isString() && !id.toString().isEmpty() ? seconds : -1;
}

// Seconds to assemble the body file alone, the first half of the app's upload.
double bodyRound(const QString &audio)
{
    const QString body = Multipart::temporaryBodyPath();
    QElapsedTimer wall;
    wall.start();
    try {
        Multipart::writeBody(audio, body, Multipart::makeBoundary());
    } catch (const Error &) {
        QFile::remove(body);
        return -1;
    }
    const double seconds = wall.nsecsElapsed() / 1e9;
    const bool whole = QFileInfo(body).size() > kFileBytes;
    QFile::remove(body);
    return whole ? seconds : -1;
}

QString activate()
{
    QString token;
    QEventLoop loop;
    auto task = [](QString &token, QEventLoop &loop) -> QCoro::Task<> {
        try {
            token = (co_await APIClient::activate(QStringLiteral("hoplin-demo-key"))).accessToken;
        } catch (const Error &error) {
            std::fprintf(stderr, "sign-in failed: %s\n", qPrintable(error.description()));
        }
        loop.quit();
    }(token, loop);
    loop.exec();
    return token;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    hoplin::bench::useHome(home.path());
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(2, atoi(argv[1])) : 6;

    QProcess server;
    const QString origin = bench::startServer(server, QStringLiteral(HOPLIN_SERVER_BIN));
    if (origin.isEmpty())
        return 1;
    Settings::shared().setValue(keys::baseURL, origin);

    // Real bytes, not a hole, so reading the file costs what it costs for a user's file.
    const QString audio = home.filePath(QStringLiteral("large.wav"));
    {
        QFile file(audio);
        if (!file.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(audio));
            return 1;
        }
        QByteArray block(1024 * 1024, Qt::Uninitialized);
        for (qint64 written = 0; written < kFileBytes; written += block.size()) {
            for (int i = 0; i < block.size(); ++i)
                block[i] = char((written + i) * 31 >> 3);
            file.write(block);
        }
    }
    const QString token = activate();
    if (token.isEmpty())
        return 1;

    bench::Rounds appTimes, curlTimes, ratios, growth, gaps, bodyTimes;
    bool peakReset = true;
    for (int round = 0; round < rounds; ++round) {
        AppRound a;
        double c = -1;
        const bool appFirst = bench::firstSideFirst(round);
        // Each upload starts with no dirty pages of the previous ones still waiting for the disk.
        const auto app = [&] {
            ::sync();
            a = appRound(audio, token);
        };
        const auto cli = [&] {
            ::sync();
            c = curlRound(audio, origin, token);
        };
        if (appFirst) {
            app();
            cli();
        } else {
            cli();
            app();
        }
        const double b = bodyRound(audio);
        if (!a.failure.isEmpty() || a.uploadID.isEmpty() || c < 0 || b < 0) {
            std::fprintf(stderr, "round %d: %s\n", round + 1,
                         c < 0   ? "curl's upload failed"
                         : b < 0 ? "the body file could not be written"
                                 : qPrintable(QStringLiteral("upload failed: ") + a.failure));
            return 1;
        }
        peakReset = peakReset && a.peakReset;
        std::printf("round %d (%s first): app %.2f s, curl -F %.2f s, ratio %.3f, peak growth %.1f MiB, longest gap "
                    "%.1f ms\n",
                    round + 1, appFirst ? "app" : "curl", a.seconds, c, a.seconds / c, a.growthMiB, a.longestGapMs);
        std::fflush(stdout);
        bodyTimes.add(b);
        appTimes.add(a.seconds);
        curlTimes.add(c);
        ratios.add(a.seconds / c);
        growth.add(a.growthMiB);
        gaps.add(a.longestGapMs);
    }
    server.terminate();
    server.waitForFinished(5000);
    if (!QDir(QDir::tempPath()).entryList({QStringLiteral("hoplin-upload-*.multipart")}, QDir::Files).isEmpty()) {
        std::fprintf(stderr, "a temporary upload body was left behind\n");
        return 1;
    }

    const double mib = double(kFileBytes >> 20);
    std::printf("upload of %.0f MiB, median of %d ABBA rounds (low..high), every upload answered with an id\n", mib,
                rounds);
    std::printf("  app (body sent as written): %s s  %.0f MiB/s\n", appTimes.text("%.2f").c_str(),
                mib / appTimes.median());
    std::printf("    writing the body file alone: %s s\n", bodyTimes.text("%.2f").c_str());
    std::printf("  curl -F:                    %s s  %.0f MiB/s\n", curlTimes.text("%.2f").c_str(),
                mib / curlTimes.median());
    const bool fast = ratios.median() <= kAimRatio;
    std::printf("  ratio app / curl: %s (aim <= %.2fx) -> %s\n", ratios.text().c_str(), kAimRatio,
                fast ? "met" : "MISSED");
    std::printf("  resident memory growth during an upload: %s MiB, largest %.1f (peak %s)\n",
                growth.text("%.1f").c_str(), growth.high(),
                peakReset ? "reset before each upload" : "NOT reset: whole-run peak");
    std::printf("  longest event-loop gap during an upload: %s ms, worst %.1f\n", gaps.text("%.1f").c_str(),
                gaps.high());
    const bool small = peakReset && growth.high() <= kAimMiB;
    std::printf("  aim: growth <= %.0f MiB -> %s\n", kAimMiB, small ? "met" : "MISSED");
    return small && fast ? 0 : 1;
}
