#include "DropRouter.h"

namespace hoplin {

DropRouter &DropRouter::shared()
{
    static DropRouter *instance = new DropRouter();
    return *instance;
}

bool DropRouter::route(const QList<QUrl> &files, const QPointF &point) const
{
    // Without a Correction handler (web tabs off or not made yet) Cinema still gets the drop.
    // A copy, so a handler may replace itself while it runs.
    const Handler handler = (m_correctionActive && m_correctionHandler) ? m_correctionHandler : m_cinemaHandler;
    if (!handler)
        return false;
    handler(files, point);
    return true;
}

DropRouter::PageDrop DropRouter::dropOnPage(bool ownTabSelected, const QList<QUrl> &files) const
{
    if (ownTabSelected)
        return PageDrop::HandleHere;
    if (!m_webTabActive)
        return PageDrop::Refused;
    // The location on a hidden page means nothing to the web page.
    route(files, QPointF(0, 0));
    return PageDrop::Forwarded;
}

} // namespace hoplin
