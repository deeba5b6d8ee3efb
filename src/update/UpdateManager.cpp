#include "UpdateManager.h"

#include "InstallHelper.h"
#include "PropertyList.h"
#include "Version.h"
#include "diagnostics/ActiveJobs.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Archive.h"
#include "platform/Platform.h"
#include "platform/Settings.h"
#include "platform/Sha256.h"
#include "service/APIClient.h"
#include "service/Async.h"
#include "service/Error.h"
#include "updateconfig.h"
#include "version.h"

#include <QCoreApplication>
#include <QCoro/QCoroNetworkReply>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTimer>
#include <QUuid>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace hoplin {

namespace {

constexpr auto kBundleName = "Hoplin Desktop.app";
constexpr auto kBundleIdentifier = "com.hoplin.desktop";
constexpr qsizetype kWriteChunk = 0x40000;   // the image reaches the disk in 256 KiB writes
constexpr int kRequestTimeoutMs = 60 * 1000; // manifest and image alike
constexpr qint64 kSuccessSpacing = 86400;    // no scheduled check within a day of a success
constexpr qint64 kAttemptSpacing = 21600;    // nor within six hours of an attempt

std::optional<QString> g_systemVersionOverride;
bool g_hasSystemVersionOverride = false;

void log(const QString &message)
{
    DiagnosticsLogger::shared().log(QStringLiteral("update"), message);
}

QString freshUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

Version installedVersion()
{
    return Version::parse(QLatin1String(version::kVersion)).value_or(Version{});
}

QNetworkRequest updateRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(kRequestTimeoutMs);
    return request;
}

// Errors that come from an HTTP status rather than from the transfer: the answer itself arrived.
bool isStatusError(QNetworkReply::NetworkError error)
{
    const int code = int(error);
    return (code >= 201 && code <= 299) || (code >= 401 && code <= 499);
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Deletes a file, link or folder tree; failures are ignored (callers only tidy up).
void removePath(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

// Copies a bundle tree: folders, regular files with their permissions, relative links as links.
// Returns what went wrong, or an empty text.
QString copyTree(const QString &from, const QString &to)
{
    const QFileInfo source(from);
    if (source.isSymLink()) {
        const QString target = source.symLinkTarget();
        const QByteArray link = QFile::encodeName(QFileInfo(from).dir().relativeFilePath(target));
        if (::symlink(link.constData(), QFile::encodeName(to).constData()) != 0)
            return systemError();
        return {};
    }
    if (source.isDir()) {
        if (!QDir().mkdir(to))
            return QStringLiteral("Could not create %1.").arg(to);
        const QStringList entries =
            QDir(from).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString &entry : entries) {
            const QString failure = copyTree(from + QLatin1Char('/') + entry, to + QLatin1Char('/') + entry);
            if (!failure.isEmpty())
                return failure;
        }
        return {};
    }
    if (!source.isFile())
        return QStringLiteral("%1 is not a regular file.").arg(source.fileName());
    QFile file(from);
    if (!file.copy(to))
        return file.errorString();
    return {};
}

// "Mounting" the image: it is an archive holding the bundle at its top level, unpacked with the
// secure flags into a private folder that is then made read-only. None when it cannot be read.
std::optional<QString> mount(const QString &dmgPath)
{
    const QString folder = QDir::tempPath() + QStringLiteral("/hoplin-image-") + freshUuid();
    if (!QDir().mkpath(folder))
        return std::nullopt;
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    ExtractLimits limits;
    limits.maxEntries = 100000;
    const ExtractResult result = extractArchive(dmgPath, folder, limits);
    if (!result.ok) {
        log(QStringLiteral("image refused: ") + result.error);
        QDir(folder).removeRecursively();
        return std::nullopt;
    }
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    return folder;
}

void unmount(const QString &mountPoint)
{
    QFile::setPermissions(mountPoint, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QDir(mountPoint).removeRecursively();
}

QString currentSystemVersion()
{
    if (g_hasSystemVersionOverride)
        return g_systemVersionOverride.value_or(QString());
    return QSysInfo::productVersion();
}

} // namespace

UpdateManager &UpdateManager::shared()
{
    static auto *instance = new UpdateManager();
    return *instance;
}

UpdateManager::UpdateManager(QObject *parent)
    : QObject(parent)
    , m_publicKey(QString::fromLatin1(update::kManifestPublicKey))
{
}

UpdateManager::~UpdateManager() = default;

void UpdateManager::setPhase(Phase phase)
{
    if (m_phase == phase)
        return;
    m_phase = std::move(phase);
    emit phaseChanged();
}

void UpdateManager::setShowSheet(bool show)
{
    if (m_showSheet == show)
        return;
    m_showSheet = show;
    emit showSheetChanged(show);
}

void UpdateManager::setAvailability(bool available, std::optional<QString> version)
{
    if (m_updateAvailable == available && m_latestVersion == version)
        return;
    m_updateAvailable = available;
    m_latestVersion = std::move(version);
    emit availabilityChanged();
}

void UpdateManager::setSystemVersionForTesting(std::optional<QString> version)
{
    g_systemVersionOverride = std::move(version);
    g_hasSystemVersionOverride = true;
}

QString UpdateManager::statusText() const
{
    const QString current =
        QStringLiteral("%1 (%2)").arg(QLatin1String(version::kVersion)).arg(version::kBuild);
    switch (m_phase.kind) {
    case Phase::Kind::Idle:
        return QStringLiteral("Not checked yet — you have %1.").arg(current);
    case Phase::Kind::Checking:
        return QStringLiteral("Checking for updates…");
    case Phase::Kind::UpToDate:
        return QStringLiteral("You're up to date — Hoplin Desktop %1.").arg(current);
    case Phase::Kind::Available:
        return QStringLiteral("Version %1 is available.").arg(m_phase.manifest->version);
    case Phase::Kind::Downloading:
        return QStringLiteral("Downloading update… %1%").arg(int(m_phase.fraction * 100));
    case Phase::Kind::Downloaded:
        return QStringLiteral("Version %1 is downloaded and verified.").arg(m_phase.manifest->version);
    case Phase::Kind::Installing:
        return QStringLiteral("Installing…");
    case Phase::Kind::Error:
        return m_phase.message;
    }
    return {};
}

QUrl UpdateManager::manifestURL() const
{
    const QString text = Settings::shared().string(QString::fromLatin1(keys::updateManifestURL));
    if (!text.isEmpty()) {
        const QUrl url(text, QUrl::StrictMode);
        if (url.isValid() && !url.scheme().isEmpty())
            return url;
    }
    QUrl url = APIClient::baseURL();
    QString path = url.path();
    if (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path + QStringLiteral("/tools/desktop/latest.json"));
    return url;
}

// ---------------------------------------------------------------------------------------------
// Checking

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

// ---------------------------------------------------------------------------------------------
// Downloading

QCoro::Task<> UpdateManager::download(Manifest manifest)
{
    QPointer self(this);
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
        QFile::remove(path);
        setPhase(Phase::error(QStringLiteral("The download failed its SHA-256 check.")));
        co_return;
    }
    setPhase(Phase::downloaded(manifest, path));
    log(QStringLiteral("downloaded + SHA-256 verified: ") + path);
}

// Streams the image to "hoplin-update-{uuid}.dmg" in 256 KiB writes, hashing on the way; the
// HTTP status is not judged here (a wrong body fails the digest). Every redirect must lead to an
// allowed host. A failed transfer deletes the partial file.
QCoro::Task<QString> UpdateManager::streamToFile(QUrl url, QString *digest)
{
    QPointer self(this);
    const QString path = QDir::tempPath() + QStringLiteral("/hoplin-update-") + freshUuid() + QStringLiteral(".dmg");
    auto file = std::make_shared<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw appError(2, file->errorString());

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
        stream->failure = QStringLiteral("The download was redirected to %1, which is not an allowed host.")
                              .arg(target.host().isEmpty() ? target.toString() : target.host());
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
    // Takes what the reply holds; every full chunk is written and, with a known length, published.
    const auto drain = [this, self, reply, stream, writeFilled, total] {
        while (stream->failure.isEmpty()) {
            const qint64 got = reply->read(stream->chunk.data() + stream->filled, kWriteChunk - stream->filled);
            if (got <= 0)
                break;
            stream->filled += got;
            if (stream->filled < kWriteChunk)
                continue;
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
    if (stream->failure.isEmpty() && stream->filled > 0)
        writeFilled();
    file->close();
    if (stream->failure.isEmpty() && file->error() != QFileDevice::NoError)
        stream->failure = file->errorString();
    if (!stream->failure.isEmpty()) {
        QFile::remove(path);
        throw appError(2, stream->failure);
    }
    if (self && total() > 0)
        setPhase(Phase::downloading(1.0));
    *digest = stream->hash.hexDigest();
    co_return path;
}

// ---------------------------------------------------------------------------------------------
// Installing

std::optional<QString> UpdateManager::bundleContaining(const QString &executableDir)
{
    QDir dir(executableDir);
    if (dir.dirName() != QLatin1String("MacOS") || !dir.cdUp() || dir.dirName() != QLatin1String("Contents"))
        return std::nullopt;
    if (!QFileInfo(dir.filePath(QStringLiteral("Info.plist"))).isFile() || !dir.cdUp())
        return std::nullopt;
    if (!dir.dirName().endsWith(QLatin1String(".app")))
        return std::nullopt;
    return dir.absolutePath();
}

std::optional<QString> UpdateManager::bundlePath() const
{
    if (m_hasBundleOverride)
        return m_bundleOverride;
    return bundleContaining(QCoreApplication::applicationDirPath());
}

QString UpdateManager::updatesDirectory()
{
    return platform::appDataDirectory() + QStringLiteral("/Updates");
}

QString UpdateManager::helperLogPath()
{
    return updatesDirectory() + QStringLiteral("/install.log");
}

QString UpdateManager::helperScriptText()
{
    return installHelperScript();
}

void UpdateManager::installAndRelaunch(const Manifest &manifest, const QString &stagedDMGPath)
{
    if (!ActiveJobs::shared().isEmpty()) {
        setPhase(Phase::error(QStringLiteral("Stop active conversions/analysis before installing the update.")));
        return;
    }
    const std::optional<QString> bundle = bundlePath();
    log(QStringLiteral("installAndRelaunch version=%1 dmg=%2 current=%3")
            .arg(manifest.version, stagedDMGPath, bundle.value_or(QStringLiteral("(no bundle)"))));
    if (!bundle) {
        // Nothing on disk is touched: a build tree or a system package is updated by other means.
        setPhase(Phase::error(QStringLiteral("Install failed: this copy of Hoplin Desktop does not run from an "
                                             "installed application bundle, so it cannot replace itself.")));
        return;
    }
    setPhase(Phase::installing());
    detach(runInstall(manifest, stagedDMGPath, *bundle), QStringLiteral("update"), QStringLiteral("install"));
}

QCoro::Task<> UpdateManager::runInstall(Manifest manifest, QString dmgPath, QString bundle)
{
    QPointer self(this);
    struct Outcome {
        StagedApp staged;
        QString failure;
    };
    auto stage = [manifest, dmgPath, updates = updatesDirectory()]() -> Outcome {
        try {
            return {prepareStagedApp(manifest, dmgPath, updates), {}};
        } catch (const Error &error) {
            return {{}, error.description()};
        } catch (const std::exception &error) {
            return {{}, QString::fromUtf8(error.what())};
        }
    };
    const Outcome outcome = co_await runInBackground(std::move(stage));
    if (!self)
        co_return;
    if (!outcome.failure.isEmpty()) {
        setPhase(Phase::error(QStringLiteral("Install failed: ") + outcome.failure));
        log(QStringLiteral("install failed: ") + outcome.failure);
        co_return;
    }
    performSwap(bundle, outcome.staged);
}

StagedApp UpdateManager::prepareStagedApp(const Manifest &manifest, const QString &dmgPath, const QString &updatesDir)
{
    // However the manifest was obtained, an older release never replaces this one.
    const std::optional<Version> version = Version::parse(manifest.version);
    if (!version || !isNewerRelease(*version, manifest.build, installedVersion(), version::kBuild)) {
        throw appError(12, QStringLiteral("The update (%1 build %2) is not newer than this version (%3 build %4).")
                               .arg(manifest.version)
                               .arg(manifest.build)
                               .arg(QLatin1String(version::kVersion))
                               .arg(version::kBuild));
    }
    const std::optional<QString> mountPoint = mount(dmgPath);
    if (!mountPoint)
        throw appError(5, QStringLiteral("Could not open the update disk image."));
    struct Unmount {
        QString path;
        ~Unmount() { unmount(path); }
    } unmountOnExit{*mountPoint};

    const QString imageApp = *mountPoint + QLatin1Char('/') + QLatin1String(kBundleName);
    const QFileInfo imageInfo(imageApp);
    if (!imageInfo.exists() || !imageInfo.isDir() || imageInfo.isSymLink())
        throw appError(6, QStringLiteral("The update disk image has no app bundle."));
    validateBundleIdentity(imageApp, manifest);

    if (!QDir().mkpath(updatesDir))
        throw appError(2, QStringLiteral("Could not create %1.").arg(updatesDir));
    const QString stagingDir = updatesDir + QLatin1Char('/') + freshUuid();
    if (!QDir().mkpath(stagingDir))
        throw appError(2, QStringLiteral("Could not create %1.").arg(stagingDir));
    const QString stagedApp = stagingDir + QLatin1Char('/') + QLatin1String(kBundleName);
    const QString failure = copyTree(imageApp, stagedApp);
    if (!failure.isEmpty())
        throw appError(2, failure);
    return {stagedApp, stagingDir};
}

void UpdateManager::validateBundleIdentity(const QString &appPath, const Manifest &manifest)
{
    QFile file(appPath + QStringLiteral("/Contents/Info.plist"));
    std::optional<QVariant> plist;
    if (file.open(QIODevice::ReadOnly))
        plist = parsePropertyList(file.read(1 << 20));
    if (!plist || plist->typeId() != QMetaType::QVariantMap)
        throw appError(7, QStringLiteral("The update bundle has no readable Info.plist."));
    const QVariantMap info = plist->toMap();
    const auto text = [&info](const char *key) {
        const QVariant value = info.value(QString::fromLatin1(key));
        return value.typeId() == QMetaType::QString ? value.toString() : QString();
    };
    const QVariant identifier = info.value(QStringLiteral("CFBundleIdentifier"));
    if (identifier.typeId() != QMetaType::QString || identifier.toString() != QLatin1String(kBundleIdentifier))
        throw appError(8, QStringLiteral("The update bundle is not Hoplin Desktop."));
    const QString bundleVersion = text("CFBundleShortVersionString");
    if (bundleVersion != manifest.version) {
        throw appError(9, QStringLiteral("The update bundle version (%1) does not match the manifest (%2).")
                              .arg(bundleVersion, manifest.version));
    }
    const QString bundleBuild = text("CFBundleVersion");
    if (bundleBuild != QString::number(manifest.build)) {
        throw appError(10, QStringLiteral("The update bundle build (%1) does not match the manifest (%2).")
                               .arg(bundleBuild)
                               .arg(manifest.build));
    }
    if (manifest.minMacos && !manifest.minMacos->isEmpty()) {
        const std::optional<Version> needed = Version::parse(*manifest.minMacos);
        const std::optional<Version> running = Version::parse(currentSystemVersion());
        if (needed && running && *running < *needed) {
            throw appError(11, platform::localText(QStringLiteral("This update needs macOS %1 or newer."))
                                   .arg(*manifest.minMacos));
        }
    }
}

void UpdateManager::swapInStagedApp(const QString &currentApp, const QString &stagedApp)
{
    const QString old = currentApp + QStringLiteral(".hoplin-old");
    removePath(old);
    if (std::rename(QFile::encodeName(currentApp).constData(), QFile::encodeName(old).constData()) != 0)
        throw appError(13, QStringLiteral("Could not move the current app aside — ") + systemError());
    const QString failure = copyTree(stagedApp, currentApp);
    if (!failure.isEmpty()) {
        removePath(currentApp);
        std::rename(QFile::encodeName(old).constData(), QFile::encodeName(currentApp).constData());
        throw appError(14, QStringLiteral("Copy failed and the previous version was restored — ") + failure);
    }
    removePath(old);
}

void UpdateManager::performSwap(const QString &currentApp, const StagedApp &staged)
{
    const QString parent = QFileInfo(currentApp).absolutePath();
    if (::access(QFile::encodeName(parent).constData(), W_OK) != 0) {
        setPhase(Phase::error(
            QStringLiteral("Downloaded %1, but %2 is not writable. ").arg(QFileInfo(staged.app).fileName(), parent) +
            platform::localText(
                QStringLiteral("Drag Hoplin Desktop from the mounted disk image into your Applications folder."))));
        return;
    }
    try {
        swapInStagedApp(currentApp, staged.app);
    } catch (const Error &error) {
        const QString message = QStringLiteral("Install failed and the previous version was restored — ") +
                                error.description();
        setPhase(Phase::error(message));
        log(QStringLiteral("install failed: ") + error.description());
        return;
    }

    // From here on the new version is in place; a failure only stops the relaunch.
    const QString script = QDir::tempPath() + QStringLiteral("/hoplin-install-") + freshUuid() + QStringLiteral(".sh");
    QSaveFile scriptFile(script);
    const bool written = scriptFile.open(QIODevice::WriteOnly) && scriptFile.write(helperScriptText().toUtf8()) >= 0 &&
                         scriptFile.commit();
    const QFileDevice::Permissions executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                                QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
    if (!written || !QFile::setPermissions(script, executable)) {
        setPhase(Phase::error(QStringLiteral("Install failed: ") + scriptFile.errorString()));
        return;
    }
    QDir().mkpath(updatesDirectory());

    QProcess helper;
    helper.setProgram(QStringLiteral("/bin/bash"));
    helper.setArguments({script, currentApp, QLatin1String(version::kAppName),
                         QString::number(QCoreApplication::applicationPid()), staged.stagingDir, helperLogPath()});
    helper.setStandardInputFile(QProcess::nullDevice());
    helper.setStandardOutputFile(QProcess::nullDevice());
    helper.setStandardErrorFile(QProcess::nullDevice());
    if (!helper.startDetached()) {
        setPhase(Phase::error(QStringLiteral("Install failed: the installer could not start — ") + helper.errorString()));
        return;
    }
    log(QStringLiteral("install helper spawned: ") + script);

    if (m_quit) {
        m_quit();
        return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    // The helper waits for this process; end it even if the quit is refused.
    QTimer::singleShot(3000, [] {
        DiagnosticsLogger::shared().finalLog(QStringLiteral("update"), QStringLiteral("exiting for the update"));
        ::_exit(0);
    });
}

} // namespace hoplin
