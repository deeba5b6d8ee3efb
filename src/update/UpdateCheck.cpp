// The manifest fetch, the check and its schedule.
#include "UpdateManager.h"

#include "UpdateShared.h"
#include "Version.h"
#include "platform/Settings.h"
#include "service/APIClient.h"
#include "service/Async.h"
#include "service/Error.h"
#include "version.h"

#include <QCoro/QCoroNetworkReply>
#include <QCoro/QCoroSignal>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

namespace hoplin {

using namespace update;

namespace {

constexpr qint64 kSuccessSpacing = 86400;    // no scheduled check within a day of a success
constexpr qint64 kAttemptSpacing = 21600;    // nor within six hours of an attempt
constexpr qint64 kDescriptionLimit = 1 << 20; // a real description is a few hundred bytes
constexpr qint64 kSignatureLimit = 4096;

struct BoundedBody {
    QByteArray bytes;
    bool tooLarge = false;
};

// Collects a reply's body as it arrives, at most `limit` bytes: past it the transfer is aborted,
// so an endless answer costs no more memory than the limit.
QCoro::Task<BoundedBody> receiveBounded(QNetworkReply *reply, qint64 limit)
{
    auto body = std::make_shared<BoundedBody>();
    reply->setReadBufferSize(64 * 1024);
    const auto take = [reply, body, limit] {
        while (!body->tooLarge && reply->bytesAvailable() > 0) {
            body->bytes += reply->read(limit + 1 - body->bytes.size());
            if (body->bytes.size() > limit) {
                body->tooLarge = true;
                reply->abort();
            }
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, take);
    co_await qCoro(reply).waitForFinished();
    take();
    BoundedBody result = *body;
    co_return result;
}

} // namespace

QCoro::Task<Manifest> UpdateManager::fetchManifest(QUrl url)
{
    QNetworkReply *reply = APIClient::network().get(updateRequest(url));
    auto receive = receiveBounded(reply, kDescriptionLimit);
    const BoundedBody body = co_await std::move(receive);
    reply->deleteLater();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() && reply->error() != QNetworkReply::NoError)
        throw TransportError(int(reply->error()), reply->errorString());
    if (!status.isValid() || status.toInt() != 200)
        throw appError(3, QStringLiteral("The update server is unavailable."));
    if (body.tooLarge)
        throw appError(16, QStringLiteral("The update description is too large."));

    if (!m_publicKey.isEmpty()) {
        // A detached signature beside the manifest; without a valid one nothing in it is trusted.
        QUrl signatureURL = url;
        signatureURL.setPath(url.path() + QStringLiteral(".sig"));
        QNetworkReply *signatureReply = APIClient::network().get(updateRequest(signatureURL));
        auto receiveSignature = receiveBounded(signatureReply, kSignatureLimit);
        const BoundedBody signature = co_await std::move(receiveSignature);
        signatureReply->deleteLater();
        const bool ok = signatureReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200 &&
                        !signature.tooLarge && verifyManifestSignature(body.bytes, signature.bytes, m_publicKey);
        if (!ok)
            throw appError(15, QStringLiteral("The update description is not signed by the publisher."));
    }
    co_return Manifest::decode(body.bytes);
}

bool UpdateManager::checkLeavesPhase() const
{
    return m_phase.kind == Phase::Kind::Downloading || m_phase.kind == Phase::Kind::Downloaded ||
           m_phase.kind == Phase::Kind::Installing;
}

QCoro::Task<Phase> UpdateManager::check()
{
    if (checkLeavesPhase())
        co_return phaseCopy();
    QPointer self(this);
    if (m_checking) {
        // The check under way answers this one too: the description is fetched once.
        co_await qCoro(this, &UpdateManager::checkFinished);
        if (!self)
            co_return Phase::idle();
        co_return phaseCopy();
    }
    m_checking = true;
    setPhase(Phase::checking());
    Settings::shared().setValue(QString::fromLatin1(keys::lastUpdateCheckAttempt), now());

    const QUrl url = manifestURL();
    std::optional<Manifest> manifest;
    QString failure;
    try {
        auto fetch = fetchManifest(url);
        manifest = co_await std::move(fetch);
    } catch (const Error &error) {
        failure = error.description();
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!self)
        co_return Phase::error(failure);
    m_checking = false;
    // A download or an installation that began while this check waited is not disturbed.
    if (!checkLeavesPhase())
        concludeCheck(url, manifest, failure);
    emit checkFinished();
    co_return phaseCopy();
}

void UpdateManager::concludeCheck(const QUrl &url, const std::optional<Manifest> &manifest, const QString &failure)
{
    if (!manifest) {
        setPhase(Phase::error(failure));
        log(QStringLiteral("check failed: ") + failure);
        return;
    }
    const std::optional<Version> version = Version::parse(manifest->version);
    if (!version) {
        log(QStringLiteral("manifest version is malformed — ignored"));
        setAvailability(false, std::nullopt);
        setPhase(Phase::upToDate());
        return;
    }
    if (!isManifestWellFormed(*manifest, url)) {
        setPhase(Phase::error(QStringLiteral("The update server sent an invalid update description.")));
        return;
    }
    if (isNewerRelease(*version, manifest->build, installedVersion(), version::kBuild)) {
        setAvailability(true, manifest->version);
        setPhase(Phase::available(*manifest));
        log(QStringLiteral("update available: %1 (build %2) vs current %3 (%4)")
                .arg(manifest->version)
                .arg(manifest->build)
                .arg(QLatin1String(version::kVersion))
                .arg(version::kBuild));
    } else {
        setAvailability(false, std::nullopt);
        setPhase(Phase::upToDate());
        log(QStringLiteral("up to date (%1 build %2)").arg(manifest->version).arg(manifest->build));
    }
    Settings::shared().setValue(QString::fromLatin1(keys::lastUpdateCheckSuccess), now());
}

void UpdateManager::autoCheck()
{
    const QDateTime current = now();
    Settings &settings = Settings::shared();
    // A date in the future counts as recent: the difference is negative.
    const auto recent = [&](const char *key, qint64 spacing) {
        const QDateTime date = settings.date(QString::fromLatin1(key));
        return date.isValid() && date.secsTo(current) < spacing;
    };
    if (recent(keys::lastUpdateCheckSuccess, kSuccessSpacing) || recent(keys::lastUpdateCheckAttempt, kAttemptSpacing))
        return;
    settings.setValue(QString::fromLatin1(keys::lastUpdateCheckAttempt), current);
    // check() itself sets updateAvailable and latestVersion from what it finds.
    detach(check(), QStringLiteral("update"), QStringLiteral("scheduled check"));
}

} // namespace hoplin
