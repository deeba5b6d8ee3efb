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
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

namespace hoplin {

using namespace update;

namespace {

constexpr qint64 kSuccessSpacing = 86400;    // no scheduled check within a day of a success
constexpr qint64 kAttemptSpacing = 21600;    // nor within six hours of an attempt

} // namespace

QCoro::Task<Manifest> UpdateManager::fetchManifest(QUrl url)
{
    QNetworkReply *reply = APIClient::network().get(updateRequest(url));
    co_await qCoro(reply).waitForFinished();
    reply->deleteLater();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() && reply->error() != QNetworkReply::NoError)
        throw TransportError(int(reply->error()), reply->errorString());
    if (!status.isValid() || status.toInt() != 200)
        throw appError(3, QStringLiteral("The update server is unavailable."));
    const QByteArray body = reply->readAll();

    if (!m_publicKey.isEmpty()) {
        // A detached signature beside the manifest; without a valid one nothing in it is trusted.
        QUrl signatureURL = url;
        signatureURL.setPath(url.path() + QStringLiteral(".sig"));
        QNetworkReply *signatureReply = APIClient::network().get(updateRequest(signatureURL));
        co_await qCoro(signatureReply).waitForFinished();
        signatureReply->deleteLater();
        const bool ok = signatureReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200 &&
                        verifyManifestSignature(body, signatureReply->readAll(), m_publicKey);
        if (!ok)
            throw appError(15, QStringLiteral("The update description is not signed by the publisher."));
    }
    co_return Manifest::decode(body);
}

QCoro::Task<Phase> UpdateManager::check()
{
    if (m_phase.kind == Phase::Kind::Downloading || m_phase.kind == Phase::Kind::Installing)
        co_return phaseCopy();
    QPointer self(this);
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
    // A download or an installation that began while this check waited is not disturbed.
    if (m_phase.kind == Phase::Kind::Downloading || m_phase.kind == Phase::Kind::Installing)
        co_return phaseCopy();

    if (!manifest) {
        setPhase(Phase::error(failure));
        log(QStringLiteral("check failed: ") + failure);
        co_return phaseCopy();
    }
    const std::optional<Version> version = Version::parse(manifest->version);
    if (!version) {
        log(QStringLiteral("manifest version is malformed — ignored"));
        setAvailability(false, std::nullopt);
        setPhase(Phase::upToDate());
        co_return phaseCopy();
    }
    if (!isManifestWellFormed(*manifest, url)) {
        setPhase(Phase::error(QStringLiteral("The update server sent an invalid update description.")));
        co_return phaseCopy();
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
    co_return phaseCopy();
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
