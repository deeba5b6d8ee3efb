#pragma once

#include <QList>
#include <QString>

namespace hoplin {

// The main window's tabs, in tab-bar order. `Analysis` is the Correction web page and `AudioInfo`
// the Analysis page: the case names are the service's page names, the titles what users see.
enum class AppTab { Analysis, Cinema, Convert, AudioInfo };

inline constexpr AppTab kAllTabs[] = {AppTab::Analysis, AppTab::Cinema, AppTab::Convert, AppTab::AudioInfo};

// "Correction", "Cinema", "Convert", "Analysis".
QString tabTitle(AppTab tab);

// The tab the "tab" setting asks for; unknown or missing values give the Correction tab.
AppTab tabFromSetting(const QString &value);

// Whether the tab shows one of the service's web pages.
inline bool isWebTab(AppTab tab)
{
    return tab == AppTab::Analysis || tab == AppTab::Cinema;
}

} // namespace hoplin
