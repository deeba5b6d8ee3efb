// Memory of a local hoplin-server while one client signs in again and again: once the client's
// sessions are full, further activations must not grow the service. Reads the server's
// resident size from /proc between rounds; times nothing.
//
//   bench_sessions [path of a hoplin-server binary]   (default: the one built here)
#include "BenchMemory.h"
#include "BenchSupport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace hoplin;

namespace {

constexpr int kWarmUp = 1000;
constexpr int kRounds = 4;
constexpr int kPerRound = 5000;
// The median growth of a round; the first rounds also warm the allocator's per-thread pools.
constexpr double kAimKiB = 1024;

struct Activation {
    int status = 0;
    QByteArray accessToken;
};

Activation call(QNetworkAccessManager &manager, const QUrl &url, const QByteArray &body, const QByteArray &bearer = {})
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!bearer.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + bearer);
    QNetworkReply *reply = body.isNull() ? manager.get(request) : manager.post(request, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    Activation result{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), {}};
    result.accessToken = QJsonDocument::fromJson(reply->readAll()).object().value("access_token").toString().toUtf8();
    reply->deleteLater();
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    bench::useHome(home.path());
    QCoreApplication app(argc, argv);
    const QString binary = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(HOPLIN_SERVER_BIN);

    QProcess server;
    const QUrl origin(bench::startServer(server, binary));
    if (origin.isEmpty())
        return 1;
    const QUrl activate = origin.resolved(QUrl("/v1/auth/activate"));
    const QUrl presets = origin.resolved(QUrl("/v1/presets"));
    const QByteArray body = R"({"api_key":"hoplin-demo-key","installation_label":"bench"})";
    QNetworkAccessManager manager;

    bool ok = true;
    QByteArray first;
    for (int i = 0; i < kWarmUp && ok; ++i) {
        const Activation a = call(manager, activate, body);
        ok = a.status == 200;
        if (i == 0)
            first = a.accessToken;
    }
    const qint64 start = bench::statusKiB("VmRSS", server.processId());
    std::vector<double> growth;
    for (int round = 0; round < kRounds && ok; ++round) {
        const qint64 before = bench::statusKiB("VmRSS", server.processId());
        for (int i = 0; i < kPerRound && ok; ++i)
            ok = call(manager, activate, body).status == 200;
        growth.push_back(double(bench::statusKiB("VmRSS", server.processId()) - before));
    }
    const qint64 end = bench::statusKiB("VmRSS", server.processId());
    // The output check: every activation answered, the oldest session is gone, a new one works.
    const Activation last = call(manager, activate, body);
    const bool oldestRevoked = call(manager, presets, QByteArray(), first).status == 401;
    const bool newestWorks = call(manager, presets, QByteArray(), last.accessToken).status == 200;
    server.terminate();
    server.waitForFinished(5000);

    QString rounds;
    for (double kib : growth)
        rounds += QStringLiteral(" %1").arg(kib, 0, 'f', 0);
    std::sort(growth.begin(), growth.end());
    const double median = growth.empty() ? 0 : (growth[(growth.size() - 1) / 2] + growth[growth.size() / 2]) / 2;
    std::printf("server resident size: %lld KiB after %d warm-up activations, %lld KiB after %d more\n",
                static_cast<long long>(start), kWarmUp, static_cast<long long>(end), kRounds * kPerRound);
    std::printf("growth per round of %d (KiB, in order):%s; median %.0f KiB, spread %.0f..%.0f KiB\n", kPerRound,
                qPrintable(rounds), median, growth.empty() ? 0 : growth.front(), growth.empty() ? 0 : growth.back());
    std::printf("answers: %s; oldest session revoked: %s; newest works: %s\n", ok ? "all 200" : "FAILED",
                oldestRevoked ? "yes" : "no", newestWorks ? "yes" : "no");
    const bool met = ok && oldestRevoked && newestWorks && median <= kAimKiB;
    std::printf("aim: median growth per round of %d activations at most %.0f KiB -> %s\n", kPerRound, kAimKiB,
                met ? "met" : "MISSED");
    return met ? 0 : 1;
}
