// The image download: streamed to the temporary folder, hashed on the way, verified.
#include "UpdateManager.h"

#include "UpdateShared.h"
#include "diagnostics/TemporaryJournal.h"
#include "platform/Platform.h"
#include "platform/Sha256.h"
#include "service/APIClient.h"
#include "service/Error.h"

#include <QCoro/QCoroNetworkReply>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

namespace hoplin {

using namespace update;

namespace {

// Errors that come from an HTTP status rather than from the transfer: the answer itself arrived.
bool isStatusError(QNetworkReply::NetworkError error)
{
    const int code = int(error);
    return (code >= 201 && code <= 299) || (code >= 401 && code <= 499);
}

} // namespace

QCoro::Task<> UpdateManager::download(Manifest manifest)
{
    QPointer self(this);
    if (installedByPackageManager()) {
        setPhase(Phase::error(packageManagerNotice()));
        co_return;
    }
    if (!isAllowedDownloadURL(manifest.dmg, manifestURL())) {
        setPhase(Phase::error(QStringLiteral("The update link is invalid.")));
        co_return;
    }
    setPhase(Phase::downloading(0));

    QString digest;
    QString path;
    QString failure;
    try {
        auto stream = streamToFile(QUrl(manifest.dmg), &digest);
        path = co_await std::move(stream);
    } catch (const Error &error) {
        failure = error.description();
    }
    if (!self)
        co_return;
    if (!failure.isEmpty()) {
        setPhase(Phase::error(QStringLiteral("Download failed: ") + failure));
        log(QStringLiteral("download failed: ") + failure);
        co_return;
    }
    if (digest != manifest.sha256.toLower()) {
        discardImage(path);
        setPhase(Phase::error(QStringLiteral("The download failed its SHA-256 check.")));
        co_return;
    }
    setPhase(Phase::downloaded(manifest, path));
    log(QStringLiteral("downloaded + SHA-256 verified: ") + path);
}

// Streams the image to "hoplin-update-{uuid}.dmg" in 256 KiB writes, hashing on the way; the
// HTTP status is not judged here (a wrong body fails the digest). Every redirect must lead to an
// allowed address. It stops past the size ceiling or before the folder's free space would fall
// under the floor. A failed transfer deletes the partial file.
QCoro::Task<QString> UpdateManager::streamToFile(QUrl url, QString *digest)
{
    QPointer self(this);
    const QString base = newImageBase();
    const QString path = imagePathOf(base);
    auto file = std::make_shared<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw appError(2, file->errorString());
    TemporaryJournal::shared().add(base); // a crash leaves no image behind either

    // One 256 KiB chunk, filled straight from the reply and written whole: no copies, no growth.
    struct Stream {
        QByteArray chunk = QByteArray(kWriteChunk, Qt::Uninitialized);
        qsizetype filled = 0;
        qint64 written = 0;
        Sha256 hash;
        QString failure;
    };
    auto stream = std::make_shared<Stream>();
    const QUrl manifestAddress = manifestURL();

    QNetworkRequest request = updateRequest(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    QNetworkReply *reply = APIClient::network().get(request);
    reply->setReadBufferSize(4 << 20);

    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply, stream, manifestAddress](const QUrl &target) {
        if (isAllowedDownloadURL(target, manifestAddress)) {
            emit reply->redirectAllowed();
            return;
        }
        const QUrl::FormattingOptions origin = QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery |
                                               QUrl::RemoveFragment;
        stream->failure = QStringLiteral("The download was redirected to %1, which is not an allowed address.")
                              .arg(target.toString(origin));
        reply->abort();
    });
    const auto writeFilled = [file, stream] {
        stream->hash.addData(stream->chunk.constData(), stream->filled);
        if (file->write(stream->chunk.constData(), stream->filled) != stream->filled && stream->failure.isEmpty())
            stream->failure = file->errorString();
        stream->written += stream->filled;
        stream->filled = 0;
    };
    const auto total = [reply] {
        bool ok = false;
        const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&ok);
        return ok ? length : 0;
    };
    // What the image may take: at most the ceiling, and never the folder's last free bytes.
    const QString folder = QFileInfo(path).path();
    const auto limitFailure = [stream, total, folder, ceiling = m_imageCeiling, floor = m_freeSpaceFloor] {
        const qint64 expected = total();
        if (std::max(expected, stream->written + stream->filled) > ceiling) {
            return QStringLiteral("The update image is larger than %1.")
                .arg(QLocale::c().formattedDataSize(ceiling, 0, QLocale::DataSizeIecFormat));
        }
        const qint64 free = platform::availableBytes(folder);
        const qint64 coming = std::max(expected - stream->written, stream->filled);
        if (free >= 0 && free - coming < floor) {
            return QStringLiteral("There is not enough free space in %1: the update image would leave less than %2.")
                .arg(folder, QLocale::c().formattedDataSize(floor, 0, QLocale::DataSizeIecFormat));
        }
        return QString();
    };
    // Takes what the reply holds; every full chunk is written and, with a known length, published.
    const auto drain = [this, self, reply, stream, writeFilled, total, limitFailure] {
        while (stream->failure.isEmpty()) {
            const qint64 got = reply->read(stream->chunk.data() + stream->filled, kWriteChunk - stream->filled);
            if (got <= 0)
                break;
            stream->filled += got;
            if (stream->filled < kWriteChunk)
                continue;
            stream->failure = limitFailure();
            if (!stream->failure.isEmpty())
                break;
            writeFilled();
            const qint64 expected = total();
            if (self && expected > 0)
                setPhase(Phase::downloading(std::min(double(stream->written) / double(expected), 1.0)));
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, stream, drain] {
        drain();
        if (!stream->failure.isEmpty())
            reply->abort();
    });

    co_await qCoro(reply).waitForFinished();
    reply->deleteLater();
    drain();
    if (stream->failure.isEmpty() && reply->error() != QNetworkReply::NoError && !isStatusError(reply->error()))
        stream->failure = reply->errorString();
    if (stream->failure.isEmpty() && stream->filled > 0) {
        stream->failure = limitFailure();
        if (stream->failure.isEmpty())
            writeFilled();
    }
    file->close();
    if (stream->failure.isEmpty() && file->error() != QFileDevice::NoError)
        stream->failure = file->errorString();
    if (!stream->failure.isEmpty()) {
        discardImage(path);
        throw appError(2, stream->failure);
    }
    if (self && total() > 0)
        setPhase(Phase::downloading(1.0));
    *digest = stream->hash.hexDigest();
    co_return path;
}

} // namespace hoplin
