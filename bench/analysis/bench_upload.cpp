// Memory and main-thread responsiveness of a 128 MiB analysis upload to a local hoplin-server: the
// body must be streamed from its temporary file, so the process's peak resident memory may grow by
// at most 32 MiB while it is assembled and sent.
#include "../BenchSupport.h"
#include "analysis/AnalysisAPI.h"
#include "platform/Settings.h"

#include "../BenchMemory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>

using namespace hoplin;
using hoplin::bench::resetPeak;
using hoplin::bench::statusKiB;

namespace {

constexpr qint64 kFileBytes = 128 * 1024 * 1024;
constexpr double kAimMiB = 32.0;

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    hoplin::bench::useHome(home.path());
    QCoreApplication app(argc, argv);

    QProcess server;
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start(QStringLiteral(HOPLIN_SERVER_BIN),
                 {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--quiet")});
    if (!server.waitForStarted() || !server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "hoplin-server did not start\n");
        return 1;
    }
    Settings::shared().setValue(keys::baseURL, QString::fromUtf8(server.readLine()).trimmed());

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

    QString token;
    QString uploadID;
    QString failure;
    qint64 rssBefore = 0;
    qint64 longestGapMs = 0;
    double seconds = 0;
    bool peakReset = false;

    QElapsedTimer tick;
    QTimer meter;
    meter.setInterval(1);
    QObject::connect(&meter, &QTimer::timeout, [&] { longestGapMs = std::max(longestGapMs, tick.restart()); });

    QTimer::singleShot(0, &app, [&] {
        [](QString audio, QString &token, QString &uploadID, QString &failure, qint64 &rssBefore, bool &peakReset,
           double &seconds, QTimer &meter, QElapsedTimer &tick) -> QCoro::Task<> {
            try {
                token = (co_await APIClient::activate(QStringLiteral("hoplin-demo-key"))).accessToken;
                rssBefore = statusKiB("VmRSS");
                peakReset = resetPeak();
                QElapsedTimer wall;
                wall.start();
                tick.start();
                meter.start();
                uploadID = co_await APIClient::uploadAudio(audio, token);
                meter.stop();
                seconds = wall.elapsed() / 1000.0;
            } catch (const Error &error) {
                failure = error.description();
            }
            QCoreApplication::quit();
        }(audio, token, uploadID, failure, rssBefore, peakReset, seconds, meter, tick);
    });
    app.exec();
    const qint64 peakAfter = statusKiB("VmHWM");
    server.terminate();
    server.waitForFinished(5000);

    if (!failure.isEmpty() || uploadID.isEmpty()) {
        std::fprintf(stderr, "upload failed: %s\n", qPrintable(failure));
        return 1;
    }
    const double growthMiB = (peakAfter - rssBefore) / 1024.0;
    std::printf("upload of %lld MiB: %.2f s (%.0f MiB/s), upload id %s\n", kFileBytes >> 20, seconds,
                (kFileBytes >> 20) / std::max(seconds, 0.001), qPrintable(uploadID));
    std::printf("resident memory: %.1f MiB before, peak %.1f MiB during (peak %s) -> growth %.1f MiB\n",
                rssBefore / 1024.0, peakAfter / 1024.0,
                peakReset ? "reset before the upload" : "NOT reset: whole-run peak", growthMiB);
    std::printf("longest event-loop gap during the upload: %lld ms\n", longestGapMs);
    const bool met = peakReset && growthMiB <= kAimMiB;
    std::printf("aim: growth <= %.0f MiB -> %s\n", kAimMiB, met ? "met" : "MISSED");
    return met ? 0 : 1;
}
