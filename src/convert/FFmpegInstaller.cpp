#include "FFmpegInstaller.h"

#include "FFmpegLocator.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "diagnostics/TemporaryJournal.h"
#include "platform/Archive.h"
#include "platform/Platform.h"
#include "platform/Sha256.h"
#include "service/APIClient.h"
#include "service/Async.h"
#include "service/Error.h"

#include <QCoro/QCoroNetworkReply>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStringDecoder>
#include <QUuid>

namespace hoplin {

namespace {

// Thrown at a waiting point once the user cancelled; never shown.
struct Cancelled {};

QString lastComponent(const QUrl &url)
{
    return url.fileName();
}

// A download counts only when it was answered with 200.
void requireOK(QNetworkReply *reply, const QUrl &url)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        throw TransportError(int(reply->error()), reply->errorString());
    if (status.toInt() != 200)
        throw appError(2, QStringLiteral("Download failed (%1).").arg(lastComponent(url)));
}

QNetworkRequest plainGet(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setTransferTimeout(int(APIClient::requestTimeout().count()));
    return request;
}

} // namespace

struct FFmpegInstaller::Run {
    bool cancelled = false;
    QPointer<QNetworkReply> reply; // the download in flight, aborted on cancel
    void check() const
    {
        if (cancelled)
            throw Cancelled{};
    }
};

FFmpegInstaller::Locations FFmpegInstaller::Locations::standard()
{
    Locations locations;
    locations.primaryZip = APIClient::endpoint(QStringLiteral("/tools/ffmpeg/ffmpeg.zip"));
    locations.primarySum = APIClient::endpoint(QStringLiteral("/tools/ffmpeg/SHA256SUMS"));
    locations.fallbackZip = APIClient::endpoint(QStringLiteral("/mirror/ffmpeg/ffmpeg.zip"));
    locations.fallbackSum = QUrl(locations.fallbackZip.toString() + QStringLiteral(".sha256"));
    return locations;
}

FFmpegInstaller::FFmpegInstaller(Locations locations, QObject *parent)
    : QObject(parent)
    , m_locations(std::move(locations))
{
}

FFmpegInstaller::~FFmpegInstaller()
{
    cancel();
}

QString FFmpegInstaller::progressText() const
{
    switch (m_phase) {
    case Phase::Downloading:
        return QStringLiteral("Downloading ffmpeg…");
    case Phase::Extracting:
        return platform::localText(QStringLiteral("Installing into Application Support/Hoplin/FFmpegTools…"));
    case Phase::Failed:
        return m_failure;
    case Phase::Idle:
        break;
    }
    return {};
}

void FFmpegInstaller::setPhase(Phase phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    emit phaseChanged();
}

void FFmpegInstaller::cancel()
{
    if (!m_run)
        return;
    m_run->cancelled = true;
    if (m_run->reply)
        m_run->reply->abort(); // resumes the waiting download, which then sees the flag
    m_run.reset();
    if (m_phase == Phase::Downloading || m_phase == Phase::Extracting)
        setPhase(Phase::Idle);
}

std::shared_ptr<FFmpegInstaller::Run> FFmpegInstaller::startRun(Phase phase)
{
    cancel();
    m_failure.clear();
    setPhase(phase);
    m_run = std::make_shared<Run>();
    return m_run;
}

void FFmpegInstaller::finish(const std::shared_ptr<Run> &run, const QString &installed)
{
    if (run != m_run)
        return;
    m_run.reset();
    m_installed = installed;
    setPhase(Phase::Idle);
    emit installedChanged(installed);
}

void FFmpegInstaller::fail(const std::shared_ptr<Run> &run, const QString &message)
{
    if (run != m_run)
        return;
    m_run.reset();
    m_failure = QStringLiteral("Could not install ffmpeg: ") + message;
    DiagnosticsLogger::shared().log(QStringLiteral("convert"), m_failure);
    setPhase(Phase::Failed);
}

void FFmpegInstaller::installRecommended()
{
    auto run = startRun(Phase::Downloading);
    runRecommended(run);
}

void FFmpegInstaller::adopt(const QString &path)
{
    auto run = startRun(Phase::Extracting);
    runAdopt(run, path);
}

QCoro::Task<> FFmpegInstaller::runRecommended(std::shared_ptr<Run> run)
{
    QPointer self(this);
    QString installed;
    QString failure;
    const std::pair<QUrl, QUrl> sources[] = {{m_locations.primaryZip, m_locations.primarySum},
                                             {m_locations.fallbackZip, m_locations.fallbackSum}};
    for (const auto &[zip, sum] : sources) {
        try {
            installed = co_await attempt(run, zip, sum);
            failure.clear();
            break;
        } catch (const Cancelled &) {
            co_return; // cancel() already put the phase back
        } catch (const std::exception &error) {
            failure = QString::fromUtf8(error.what());
        }
        if (!self || run->cancelled)
            co_return;
        // A failed primary attempt stays silent: the fallback follows at once.
        DiagnosticsLogger::shared().log(
            QStringLiteral("convert"),
            QStringLiteral("ffmpeg download from %1 failed: %2").arg(zip.toString(), failure));
        setPhase(Phase::Downloading);
    }
    if (!self)
        co_return;
    if (failure.isEmpty())
        finish(run, installed);
    else
        fail(run, failure);
}

QCoro::Task<> FFmpegInstaller::runAdopt(std::shared_ptr<Run> run, QString path)
{
    QPointer self(this);
    try {
        const QString installed = co_await FFmpegLocator::adoptBinary(path);
        if (!self || run->cancelled)
            co_return;
        finish(run, installed);
    } catch (const std::exception &error) {
        if (self && !run->cancelled)
            fail(run, QString::fromUtf8(error.what()));
    }
}

QCoro::Task<QString> FFmpegInstaller::attempt(std::shared_ptr<Run> run, QUrl zip, QUrl sum)
{
    QPointer self(this);
    const QString folder = QDir::tempPath() + QLatin1Char('/') + workingFolderPrefix() +
                           QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const TemporaryJournal::Entry journalEntry(folder);
    if (!QDir().mkpath(folder))
        throw appError(3, QStringLiteral("Could not extract the ffmpeg archive."));
    QDir(folder).mkdir(QStringLiteral("x"));
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString archive = folder + QStringLiteral("/ffmpeg.zip");

    // The working folder goes on every path out of here, thrown or returned.
    struct Cleanup {
        QString path;
        ~Cleanup() { QDir(path).removeRecursively(); }
    } cleanup{folder};

    const QString actual = co_await fetchToFile(run, zip, archive);
    const QByteArray sums = co_await fetchSmall(run, sum);
    if (!self)
        throw Cancelled{};
    const QString expected = FFmpegLocator::parseChecksum(APIClient::bodyText(sums));
    // Nothing reaches the archive reader before the digest matches.
    if (expected.isEmpty() || expected != actual)
        throw appError(1, QStringLiteral("Downloaded ffmpeg failed its SHA-256 check."));
    setPhase(Phase::Extracting);
    const QString installed = co_await extractAndAdopt(run, folder, archive);
    co_return installed;
}

QCoro::Task<QByteArray> FFmpegInstaller::fetchSmall(std::shared_ptr<Run> run, QUrl url)
{
    QNetworkReply *reply = APIClient::network().get(plainGet(url));
    run->reply = reply;
    co_await qCoro(reply).waitForFinished();
    reply->deleteLater();
    run->check();
    requireOK(reply, url);
    co_return reply->readAll();
}

QCoro::Task<QString> FFmpegInstaller::fetchToFile(std::shared_ptr<Run> run, QUrl url, QString path)
{
    QPointer self(this);
    auto file = std::make_shared<QFile>(path);
    if (!file->open(QIODevice::WriteOnly))
        throw appError(3, QStringLiteral("Could not extract the ffmpeg archive."));
    auto hash = std::make_shared<Sha256>();
    auto writeFailed = std::make_shared<bool>(false);

    QNetworkReply *reply = APIClient::network().get(plainGet(url));
    reply->setReadBufferSize(1 << 20);
    run->reply = reply;
    // Stream to disk as it arrives, hashing on the way; only an answer of 200 counts.
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, file, hash, writeFailed] {
        if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
            return;
        const QByteArray chunk = reply->readAll();
        hash->addData(chunk);
        if (file->write(chunk) != chunk.size())
            *writeFailed = true;
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, this, &FFmpegInstaller::downloadProgress);
    co_await qCoro(reply).waitForFinished();
    reply->deleteLater();
    run->check();
    requireOK(reply, url);
    const QByteArray rest = reply->readAll();
    hash->addData(rest);
    if (file->write(rest) != rest.size() || *writeFailed || !file->flush())
        throw appError(3, QStringLiteral("Could not extract the ffmpeg archive."));
    file->close();
    co_return hash->hexDigest();
}

QCoro::Task<QString> FFmpegInstaller::extractAndAdopt(std::shared_ptr<Run> run, QString folder, QString archive)
{
    const QString target = folder + QStringLiteral("/x");
    // Named, not a temporary: GCC 12 destroys lambda temporaries inside co_await twice.
    auto unpack = [archive, target] { return extractArchive(archive, target); };
    const ExtractResult result = co_await runInBackground(std::move(unpack));
    run->check();
    if (!result.ok) {
        DiagnosticsLogger::shared().log(QStringLiteral("convert"),
                                        QStringLiteral("ffmpeg archive refused: ") + result.error);
        throw appError(3, QStringLiteral("Could not extract the ffmpeg archive."));
    }
    const QString binary = target + QStringLiteral("/ffmpeg");
    const QFileInfo info(binary);
    if (!info.exists() || info.isDir())
        throw appError(4, QStringLiteral("The archive did not contain an ffmpeg binary."));
    const QString installed = co_await FFmpegLocator::adoptBinary(binary);
    run->check();
    co_return installed;
}

} // namespace hoplin
