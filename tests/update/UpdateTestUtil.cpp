#include "UpdateTestUtil.h"

#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "update/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace hoplin::test {

QString testKeyPath(const QString &name)
{
    return QStringLiteral(HOPLIN_TEST_KEYS "/") + name;
}

void trustTestAuthority()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    auto authorities = configuration.caCertificates();
    authorities << QSslCertificate::fromPath(testKeyPath(QStringLiteral("ca.pem")));
    configuration.setCaCertificates(authorities);
    QSslConfiguration::setDefaultConfiguration(configuration);
}

QString signingPublicKeyHex()
{
    QFile file(testKeyPath(QStringLiteral("signing.pub.hex")));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).trimmed() : QString();
}

bool startUpdateServer(LocalServer &server, const QString &image, QStringList extra)
{
    extra << QStringLiteral("--tls-cert") << testKeyPath(QStringLiteral("server.pem")) << QStringLiteral("--tls-key")
          << testKeyPath(QStringLiteral("server.key")) << QStringLiteral("--update-image") << image
          << QStringLiteral("--update-version") << QStringLiteral("1.2.23") << QStringLiteral("--update-build")
          << QStringLiteral("26");
    return server.start(extra);
}

bool startUpdateService(LocalServer &server, const QByteArray &imageBytes)
{
    trustTestAuthority();
    Settings::shared().setValue(QString::fromLatin1(keys::hoplinDiag), true);
    DiagnosticsLogger::shared().startIfEnabled();
    if (!startUpdateServer(server, writeFile(testHome() + QStringLiteral("/image.dmg"), imageBytes)))
        return false;
    Settings::shared().setValue(QString::fromLatin1(keys::updateManifestURL),
                                server.url(QStringLiteral("/tools/desktop/latest.json")).toString());
    return true;
}

QByteArray manifestJson(const QString &version, int build, const QString &dmg, const QString &sha256)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("version"), version},
                                     {QStringLiteral("build"), build},
                                     {QStringLiteral("dmg"), dmg},
                                     {QStringLiteral("sha256"), sha256}})
        .toJson(QJsonDocument::Compact);
}

void setServedManifest(LocalServer &server, std::optional<QByteArray> manifest, std::optional<QByteArray> signature)
{
    QJsonObject body;
    if (manifest)
        body.insert(QStringLiteral("manifest"), QString::fromUtf8(*manifest));
    if (signature)
        body.insert(QStringLiteral("signature"), QString::fromUtf8(*signature));
    server.adminCall("POST", QStringLiteral("update"), QJsonDocument(body).toJson());
}

QString makeBundle(const QString &parent, const QVariantMap &info, const QByteArray &executable)
{
    const QString app = parent + QStringLiteral("/Hoplin Desktop.app");
    writeFile(app + QStringLiteral("/Contents/Info.plist"), writePropertyList(info));
    QFile binary(writeFile(app + QStringLiteral("/Contents/MacOS/hoplin-desktop"), executable));
    binary.setPermissions(binary.permissions() | QFileDevice::ExeOwner);
    return app;
}

QVariantMap bundleInfo(const QString &version, const QString &build)
{
    return {{QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.hoplin.desktop")},
            {QStringLiteral("CFBundleShortVersionString"), version},
            {QStringLiteral("CFBundleVersion"), build}};
}

bool packImage(const QString &root, const QString &imagePath)
{
    QProcess tar;
    tar.setWorkingDirectory(root);
    const QStringList entries = QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    tar.start(QStringLiteral("tar"), QStringList{QStringLiteral("czf"), imagePath, QStringLiteral("--")} + entries);
    return tar.waitForFinished(30000) && tar.exitStatus() == QProcess::NormalExit && tar.exitCode() == 0;
}

} // namespace hoplin::test
