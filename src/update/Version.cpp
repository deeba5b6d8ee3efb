#include "Version.h"

#include <QStringList>

namespace hoplin {

namespace {

std::optional<int> parsePart(const QString &part)
{
    QStringView digits(part);
    if (digits.startsWith(QLatin1Char('+')))
        digits = digits.mid(1);
    if (digits.isEmpty())
        return std::nullopt;
    for (QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    bool ok = false;
    const int value = digits.toInt(&ok);
    return ok ? std::optional<int>(value) : std::nullopt;
}

} // namespace

std::optional<Version> Version::parse(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() > 3)
        return std::nullopt;
    int values[3] = {0, 0, 0};
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const auto value = parsePart(parts[i]);
        if (!value)
            return std::nullopt;
        values[i] = *value;
    }
    return Version{values[0], values[1], values[2]};
}

QString Version::toString() const
{
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(patch);
}

bool isNewerRelease(const Version &version, int build, const Version &installed, int installedBuild)
{
    if (version != installed)
        return version > installed;
    return build > installedBuild;
}

} // namespace hoplin
