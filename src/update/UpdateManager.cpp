#include "UpdateManager.h"

#include "UpdateShared.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "diagnostics/TemporaryJournal.h"
#include "platform/Platform.h"
#include "platform/Settings.h"
#include "service/APIClient.h"
#include "updateconfig.h"
#include "version.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <cerrno>
#include <cstring>

namespace hoplin {

namespace update {

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

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QString newImageBase()
{
    return QDir::tempPath() + QStringLiteral("/hoplin-update-") + freshUuid();
}

QString imagePathOf(const QString &base)
{
    return base + QStringLiteral(".dmg");
}

void discardImage(const QString &path)
{
    const QFileInfo info(path);
    if (info.path() != QDir::tempPath() || !info.fileName().endsWith(QLatin1String(".dmg")))
        return;
    const QString base = path.chopped(4);
    if (!TemporaryJournal::isOurs(base) || !base.startsWith(QDir::tempPath() + QStringLiteral("/hoplin-update-")))
        return;
    QFile::remove(path);
    TemporaryJournal::shared().remove(base);
}

} // namespace update

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

bool UpdateManager::installedByPackageManager() const
{
    if (m_packagedOverride)
        return *m_packagedOverride;
    static const bool packaged = platform::installedByPackageManager(QCoreApplication::applicationFilePath());
    return packaged;
}

QString UpdateManager::packageManagerNotice()
{
    return QStringLiteral("This copy of Hoplin Desktop was installed by your system's package manager, so its updates "
                          "come from there too. Please update the hoplin-desktop package the way you update the rest "
                          "of your system.");
}

} // namespace hoplin
