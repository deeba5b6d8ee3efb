#include "Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QSysInfo>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace hoplin::platform {

QString appDataDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Hoplin");
}

QString updatesDirectory()
{
    return appDataDirectory() + QStringLiteral("/Updates");
}

QString downloadsDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
}

QString resourceDirectory()
{
    const QString program = QCoreApplication::applicationDirPath();
    for (const QString &candidate :
         {program + QStringLiteral("/../Resources"), program + QStringLiteral("/resources")}) {
        if (QFileInfo(candidate).isDir())
            return QDir::cleanPath(candidate);
    }
    return {};
}

bool installedByPackageManager(const QString &executable, const QString &dpkgInfo)
{
    const QString real = QFileInfo(executable).canonicalFilePath();
    if (real.isEmpty())
        return false;
    const QStringList lists = QDir(dpkgInfo).entryList(
        {QStringLiteral("hoplin-desktop.list"), QStringLiteral("hoplin-desktop:*.list")}, QDir::Files);
    for (const QString &name : lists) {
        QFile list(dpkgInfo + QLatin1Char('/') + name);
        if (!list.open(QIODevice::ReadOnly))
            continue;
        while (!list.atEnd()) {
            QByteArray line = list.readLine();
            if (line.endsWith('\n'))
                line.chop(1);
            // The listed path may run through a link (/lib on a merged /usr): compare real paths.
            if (!line.isEmpty() && QFileInfo(QFile::decodeName(line)).canonicalFilePath() == real)
                return true;
        }
    }
    return real.startsWith(QLatin1String("/usr/")) &&
           ::access(QFile::encodeName(QFileInfo(real).path()).constData(), W_OK) != 0;
}

qint64 availableBytes(const QString &folder)
{
    struct statvfs info {};
    if (::statvfs(QFile::encodeName(folder).constData(), &info) != 0)
        return -1;
    return qint64(info.f_bavail) * qint64(info.f_frsize);
}

QString systemName()
{
    return QStringLiteral("Linux");
}

QString systemVersion()
{
    return QStringLiteral("%1 (kernel %2)").arg(QSysInfo::prettyProductName(), QSysInfo::kernelVersion());
}

QString localText(const QString &text)
{
    // Longest phrases first, so "your Mac's Keychain" wins over "Keychain".
    static const std::pair<const char *, const char *> table[] = {
        {"Drag Hoplin Desktop from the mounted disk image into your Applications folder.",
         "Move the new Hoplin Desktop.app from the Updates folder into place yourself."},
        {"your Mac's Keychain", "your keyring"},
        {"your Mac", "your computer"},
        {"this Mac", "this computer"},
        {"then Homebrew.", "then Homebrew and the system's ffmpeg."},
        {"Application Support/", "~/.local/share/"},
        {"Application Support", "the data folder"},
        {"Show in Finder", "Show in File Manager"},
        {"Reveal in Finder", "Show in File Manager"},
        {"in Finder", "in the file manager"},
        {"Finder", "File Manager"},
        {"Keychain", "keyring"},
        {"macOS", "Linux"},
        {"uncaught NSException", "uncaught exception"},
    };
    QString result = text;
    for (const auto &[from, to] : table)
        result.replace(QLatin1String(from), QLatin1String(to));
    return result;
}

} // namespace hoplin::platform
