#include "AppTab.h"

namespace hoplin {

QString tabTitle(AppTab tab)
{
    switch (tab) {
    case AppTab::Analysis:
        return QStringLiteral("Correction");
    case AppTab::Cinema:
        return QStringLiteral("Cinema");
    case AppTab::Convert:
        return QStringLiteral("Convert");
    case AppTab::AudioInfo:
        return QStringLiteral("Analysis");
    }
    return {};
}

AppTab tabFromSetting(const QString &value)
{
    // Compared lower-cased, so "MediaInfo" and "mediainfo" open the same tab.
    const QString name = value.toLower();
    if (name == u"convert")
        return AppTab::Convert;
    if (name == u"cinema")
        return AppTab::Cinema;
    if (name == u"audioanalysis" || name == u"analysis-tab" || name == u"mediainfo")
        return AppTab::AudioInfo;
    return AppTab::Analysis;
}

} // namespace hoplin
