// Download and verification of a 256 MiB update image from a local hoplin-server over HTTPS,
// against `curl -o` followed by `openssl dgst -sha256` on the same file in the same run (the same
// SHA-256 code the updater uses, so the comparison is of the download, not of two hash tools).
// Rounds alternate ABBA; prints the median and spread of both times and of their per-round ratio
// (aim: at most 1.3), and the growth of the process's peak resident memory during a download (it
// must stay flat: the image is streamed in 256 KiB writes, never held).
#include "../BenchSupport.h"
#include "platform/Settings.h"
#include "update/UpdateManager.h"

#include "../BenchMemory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdio>

using namespace hoplin;
using hoplin::bench::resetPeak;
using hoplin::bench::statusKiB;

namespace {

constexpr qint64 kImageBytes = 256 * 1024 * 1024;
constexpr int kRounds = 6;
const QString kKeys = QStringLiteral(HOPLIN_TEST_KEYS);

bool writeImage(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qint64 written = 0; written < kImageBytes; written += block.size()) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        if (file.write(block) != block.size())
            return false;
    }
    return true;
}

// One download through the updater; seconds, or -1 when it did not end verified.
double updaterRound(UpdateManager &manager, const Manifest &manifest, qint64 *peakGrowthKiB)
{
    resetPeak();
    const qint64 before = statusKiB("VmRSS");
    QEventLoop loop;
    QObject::connect(&manager, &UpdateManager::phaseChanged, &loop, [&] {
        const auto kind = manager.phase().kind;
        if (kind == Phase::Kind::Downloaded || kind == Phase::Kind::Error)
            loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    auto task = manager.download(manifest);
    if (manager.phase().kind == Phase::Kind::Downloading)
        loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    *peakGrowthKiB = std::max(*peakGrowthKiB, statusKiB("VmHWM") - before);
    if (manager.phase().kind != Phase::Kind::Downloaded) {
        std::fprintf(stderr, "download failed: %s\n", qPrintable(manager.phase().message));
        return -1;
    }
    QFile::remove(manager.phase().path);
    return seconds;
}

double curlRound(const QUrl &url, const QString &target, const QString &expected)
{
    QElapsedTimer timer;
    timer.start();
    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-sS"), QStringLiteral("--cacert"), kKeys + QStringLiteral("/ca.pem"),
                                        QStringLiteral("-o"), target, url.toString()});
    if (!curl.waitForFinished(-1) || curl.exitCode() != 0)
        return -1;
    QProcess sum;
    sum.start(QStringLiteral("openssl"), {QStringLiteral("dgst"), QStringLiteral("-sha256"), QStringLiteral("-r"), target});
    if (!sum.waitForFinished(-1) || sum.exitCode() != 0)
        return -1;
    const double seconds = timer.nsecsElapsed() / 1e9;
    // "-r" prints "{hex} *{file}", like sha256sum.
    const bool matches = sum.readAllStandardOutput().startsWith(expected.toLower().toLatin1());
    QFile::remove(target);
    return matches ? seconds : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/.config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path() + QStringLiteral("/.local/share")));
    QCoreApplication app(argc, argv);

    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(configuration.caCertificates() +
                                    QSslCertificate::fromPath(kKeys + QStringLiteral("/ca.pem")));
    QSslConfiguration::setDefaultConfiguration(configuration);

    const QString image = home.filePath(QStringLiteral("image.dmg"));
    if (!writeImage(image)) {
        std::fprintf(stderr, "cannot write the test image\n");
        return 1;
    }
    QProcess server;
    server.start(QStringLiteral(HOPLIN_SERVER_BIN),
                 {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--quiet"), QStringLiteral("--tls-cert"),
                  kKeys + QStringLiteral("/server.pem"), QStringLiteral("--tls-key"), kKeys + QStringLiteral("/server.key"),
                  QStringLiteral("--update-image"), image});
    if (!server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "hoplin-server did not start\n");
        return 1;
    }
    const QUrl origin(QString::fromUtf8(server.readLine()).trimmed());
    const QUrl manifestURL(origin.toString() + QStringLiteral("/tools/desktop/latest.json"));
    Settings::shared().setValue(QString::fromLatin1(keys::updateManifestURL), manifestURL.toString());

    UpdateManager manager;
    std::optional<Manifest> manifest;
    {
        QEventLoop loop;
        auto fetchInto = [](UpdateManager &from, QUrl url, std::optional<Manifest> &out, QEventLoop &done) -> QCoro::Task<> {
            try {
                auto task = from.fetchManifest(url);
                out = co_await std::move(task);
            } catch (const std::exception &error) {
                std::fprintf(stderr, "manifest: %s\n", error.what());
            }
            done.quit();
        };
        auto fetching = fetchInto(manager, manifestURL, manifest, loop);
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        if (!manifest)
            loop.exec();
    }
    if (!manifest) {
        server.kill();
        server.waitForFinished();
        return 1;
    }

    const int rounds = argc > 1 ? std::max(2, atoi(argv[1])) : kRounds;
    bench::Rounds updater, reference, ratios;
    qint64 peakGrowth = 0;
    for (int round = 0; round < rounds; ++round) {
        double a = -1, b = -1;
        const bool updaterFirst = bench::firstSideFirst(round);
        if (updaterFirst) {
            a = updaterRound(manager, *manifest, &peakGrowth);
            b = curlRound(QUrl(manifest->dmg), home.filePath(QStringLiteral("curl.dmg")), manifest->sha256);
        } else {
            b = curlRound(QUrl(manifest->dmg), home.filePath(QStringLiteral("curl.dmg")), manifest->sha256);
            a = updaterRound(manager, *manifest, &peakGrowth);
        }
        if (a < 0 || b < 0) {
            std::fprintf(stderr, "round %d: %s did not end with the expected digest\n", round + 1,
                         a < 0 ? "the updater" : "curl + openssl");
            server.kill();
            server.waitForFinished();
            return 1;
        }
        std::printf("round %d (%s first): updater %.2f s, curl + openssl dgst %.2f s, ratio %.3f\n", round + 1,
                    updaterFirst ? "updater" : "curl", a, b, a / b);
        std::fflush(stdout);
        updater.add(a);
        reference.add(b);
        ratios.add(a / b);
    }
    server.terminate();
    server.waitForFinished(5000);

    const double mib = double(kImageBytes) / (1024 * 1024);
    std::printf("256 MiB image over HTTPS, median of %d ABBA rounds (low..high), every digest checked\n", rounds);
    std::printf("  updater (stream, 256 KiB writes, EVP SHA-256): %s s  %.0f MiB/s\n", updater.text("%.2f").c_str(),
                mib / updater.median());
    std::printf("  curl -o, then openssl dgst -sha256:             %s s  %.0f MiB/s\n", reference.text("%.2f").c_str(),
                mib / reference.median());
    std::printf("  ratio updater / curl + openssl: %s (aim <= 1.30): %s\n", ratios.text().c_str(),
                ratios.median() <= 1.3 ? "met" : "NOT met");
    std::printf("  peak resident memory growth during a download: %.1f MiB (largest of the rounds)\n",
                peakGrowth / 1024.0);
    return 0;
}
