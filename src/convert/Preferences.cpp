#include "Preferences.h"

#include "FFmpegLocator.h"
#include "platform/Settings.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <algorithm>

namespace hoplin::Preferences {

QString rawValue(ExportLocation location)
{
    return location == ExportLocation::CustomFolder ? QStringLiteral("customFolder")
                                                    : QStringLiteral("sameAsSource");
}

ExportLocation exportLocation()
{
    return Settings::shared().string(QLatin1String(keys::exportLocation)) == u"customFolder"
               ? ExportLocation::CustomFolder
               : ExportLocation::SameAsSource;
}

std::optional<QString> exportDirectory(const QString &sourcePath)
{
    if (exportLocation() == ExportLocation::SameAsSource) {
        const QString clean = QDir::cleanPath(sourcePath);
        const qsizetype slash = clean.lastIndexOf(u'/');
        if (slash < 0)
            return QStringLiteral(".");
        return slash == 0 ? QStringLiteral("/") : clean.left(slash);
    }
    return customExportFolder();
}

std::optional<QString> customExportFolder()
{
    const QString folder =
        trimSpacesAndTabs(Settings::shared().string(QLatin1String(keys::exportFolderPath)));
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return std::nullopt;
    return QDir::cleanPath(folder);
}

std::optional<QString> effectiveFFmpeg()
{
    const QString override =
        trimSpacesAndTabs(Settings::shared().string(QLatin1String(keys::ffmpegPathOverride)));
    if (!override.isEmpty() && FFmpegLocator::isExecutable(override))
        return override;
    return FFmpegLocator::locatedFFmpeg();
}

int maxConversionsAtOnce()
{
    return std::max(1, QThread::idealThreadCount());
}

int conversionsAtOnce()
{
    return std::clamp(Settings::shared().integer(QLatin1String(keys::conversionsAtOnce)), 1, maxConversionsAtOnce());
}

QString trimSpacesAndTabs(const QString &text)
{
    qsizetype start = 0, end = text.size();
    while (start < end && (text[start] == u' ' || text[start] == u'\t'))
        ++start;
    while (end > start && (text[end - 1] == u' ' || text[end - 1] == u'\t'))
        --end;
    return text.mid(start, end - start);
}

} // namespace hoplin::Preferences
