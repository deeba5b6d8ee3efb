#include "Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QSysInfo>
#include <utility>

namespace hoplin::platform {

QString appDataDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Hoplin");
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
